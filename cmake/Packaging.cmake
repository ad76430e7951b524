# A Debian package of what `cmake --install` installs: the libraries, the
# headers, the CMake package, the pkg-config file, the tools and their man
# pages, and the Python module when it is built; not tarvex-bench, which
# needs ZeroMQ (cmake/DebianLayout.cmake adjusts the staged tree to
# Debian's places).  `cpack -G DEB` in the build directory writes it
# (tarvex_<version>_<arch>.deb); `cpack -G TGZ` a tarball of the tree as
# `cmake --install` lays it out.
install(FILES LICENSE CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME tarvex)
set(CPACK_PACKAGE_VENDOR "Tarvex developers")
set(CPACK_PACKAGE_CONTACT "Tarvex developers <tarvex-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "point-to-point link for data-acquisition records over TCP or local stream sockets")
# The Python module, when built, is for one interpreter version: the
# package needs that python3 and numpy, whose arrays the module hands out.
set(python_depends "")
set(python_text "")
if(TARGET tarvex_python AND Python3_EXECUTABLE)
  execute_process(COMMAND ${Python3_EXECUTABLE} -c "import sys; print('%d.%d %d.%d' % (sys.version_info[0], sys.version_info[1], sys.version_info[0], sys.version_info[1] + 1))"
    OUTPUT_VARIABLE python_versions OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(status EQUAL 0)
    separate_arguments(python_versions)
    list(GET python_versions 0 python_this)
    list(GET python_versions 1 python_next)
    set(python_depends "python3 (>= ${python_this}), python3 (<< ${python_next}), python3-numpy")
    set(python_text ",\nand the Python module tarvex for Python ${python_this} (/usr/lib/python3/dist-packages)")
  endif()
endif()
set(CPACK_PACKAGE_DESCRIPTION
    "Tarvex carries data-acquisition records (events, slow data, images, spectra) between two
processes over one stream connection. The package holds the shared libraries, the headers,
the CMake package and pkg-config file for building against them, the command-line tools
tarvex-demo, tarvex-dump and tarvex-send${python_text}.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_LICENSE Apache-2.0)
# The package's own libraries are found beside the tools (run path), the
# system's are declared from what the binaries need.
# (dpkg-shlibdeps adds its findings to CPACK_DEBIAN_PACKAGE_DEPENDS.)
find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
if(DPKG_SHLIBDEPS_EXECUTABLE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${python_depends}")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  if(python_depends)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ${python_depends}")
  endif()
endif()
# The .deb only: a tarball keeps the layout of `cmake --install`.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackProjectConfig.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
  "if(CPACK_GENERATOR STREQUAL \"DEB\")\n"
  "  set(CPACK_PRE_BUILD_SCRIPTS \"${CMAKE_CURRENT_SOURCE_DIR}/cmake/DebianLayout.cmake\")\n"
  "endif()\n")
include(CPack)
