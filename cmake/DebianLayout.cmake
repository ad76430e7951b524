# Run by CPack (CPACK_PRE_BUILD_SCRIPTS, see Packaging.cmake) on the staged
# tree of the Debian package, before the package is made from it.  What
# `cmake --install` lays out for a site is adjusted to Debian's places:
#
# - tarvex-bench stays out: it needs ZeroMQ, which the link does not, and
#   it is a developer's tool (run it from a build tree);
# - the Python module goes to /usr/lib/python3/dist-packages, where Debian's
#   interpreter looks (the install rule follows the interpreter's scheme for
#   the build's prefix, /usr/local, which names /usr/lib/python3.X/...
#   under /usr, a directory nobody searches); it is as deep as before, so
#   its relative run path to /usr/lib holds;
# - the documentation goes to /usr/share/doc/tarvex, the package's name,
#   with the copyright file there.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${root}")
  message(FATAL_ERROR "DebianLayout: no staged tree at ${root}")
endif()

file(GLOB bench "${root}/bin/tarvex-bench" "${root}/share/man/man1/tarvex-bench.1*")
if(bench)
  file(REMOVE ${bench})
endif()

file(GLOB modules "${root}/lib/python3*/*-packages/tarvex*.so")
foreach(module IN LISTS modules)
  get_filename_component(name "${module}" NAME)
  get_filename_component(from "${module}" DIRECTORY)
  set(to "${root}/lib/python3/dist-packages")
  if(NOT from STREQUAL to)
    file(MAKE_DIRECTORY "${to}")
    file(RENAME "${module}" "${to}/${name}")
    file(REMOVE_RECURSE "${from}")
    get_filename_component(python_dir "${from}" DIRECTORY)
    file(GLOB left "${python_dir}/*")
    if(NOT left)
      file(REMOVE_RECURSE "${python_dir}")
    endif()
  endif()
endforeach()

set(doc "${root}/share/doc/tarvex")
if(IS_DIRECTORY "${root}/share/doc/Tarvex" AND NOT IS_DIRECTORY "${doc}")
  file(RENAME "${root}/share/doc/Tarvex" "${doc}")
endif()
file(MAKE_DIRECTORY "${doc}")
file(WRITE "${doc}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Tarvex
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: the Tarvex developers
License: Apache-2.0
 Licensed under the Apache License, Version 2.0 (the \"License\"); you may not
 use this software except in compliance with the License.  You may obtain a
 copy of the License at http://www.apache.org/licenses/LICENSE-2.0
 .
 Unless required by applicable law or agreed to in writing, software
 distributed under the License is distributed on an \"AS IS\" BASIS, WITHOUT
 WARRANTIES OR CONDITIONS OF ANY KIND, either express or implied.  See the
 License for the specific language governing permissions and limitations
 under the License.
 .
 On Debian systems, the complete text of the Apache License, Version 2.0, is
 in /usr/share/common-licenses/Apache-2.0; it is also in
 /usr/share/doc/tarvex/LICENSE.
")
