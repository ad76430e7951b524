# A Debian package of everything `cmake --install` installs: the libraries,
# the headers, the CMake package, the pkg-config file, the tools and their
# man pages.  `cpack -G DEB` in the build directory writes it
# (tarvex_<version>_<arch>.deb); `cpack -G TGZ` a tarball of the same tree.
install(FILES LICENSE CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME tarvex)
set(CPACK_PACKAGE_VENDOR "Tarvex developers")
set(CPACK_PACKAGE_CONTACT "Tarvex developers <tarvex-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "point-to-point link for data-acquisition records over TCP or local stream sockets")
set(CPACK_PACKAGE_DESCRIPTION
    "Tarvex carries data-acquisition records (events, slow data, images, spectra) between two
processes over one stream connection. The package holds the shared libraries, the headers,
the CMake package and pkg-config file for building against them, and the command-line tools
tarvex-demo, tarvex-dump, tarvex-send and tarvex-bench.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PACKAGE_LICENSE Apache-2.0)
# The package's own libraries are found beside the tools (run path), the
# system's are declared from what the binaries need.
find_program(DPKG_SHLIBDEPS_EXECUTABLE dpkg-shlibdeps)
if(DPKG_SHLIBDEPS_EXECUTABLE)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
include(CPack)
