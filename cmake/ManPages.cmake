# Man pages of the tools, made from their --help and --version with
# help2man when it is installed (Debian: help2man), compressed with gzip as
# man pages are installed, and installed to man1.  Without help2man the
# tools are built and installed without them.
find_program(HELP2MAN_EXECUTABLE help2man)
find_program(GZIP_EXECUTABLE gzip)
option(TARVEX_MAN_PAGES "Generate the tools' man pages with help2man" ON)

# One line each for the NAME section.
set(TARVEX_MAN_NAME_tarvex-demo "run the Tarvex two-process demo over loopback")
set(TARVEX_MAN_NAME_tarvex-dump "print the records that arrive on a Tarvex link")
set(TARVEX_MAN_NAME_tarvex-send "send synthetic or saved records over a Tarvex link")
set(TARVEX_MAN_NAME_tarvex-bench "measure a Tarvex link against raw sockets")

set(TARVEX_MAN_PAGES_BUILT OFF)
if(NOT TARVEX_MAN_PAGES OR NOT TARGET tarvex-dump)
  return()
endif()
if(NOT HELP2MAN_EXECUTABLE)
  message(STATUS "help2man not found (Debian: help2man): the tools are installed without man pages")
  return()
endif()

set(pages)
foreach(tool tarvex-demo tarvex-dump tarvex-send tarvex-bench)
  if(NOT TARGET ${tool})
    continue()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/man1/${tool}.1)
  set(compress)
  set(installed ${page})
  if(GZIP_EXECUTABLE)
    # -n: no name or time stamp inside, so that a rebuild gives the same bytes.
    set(compress COMMAND ${GZIP_EXECUTABLE} -9 -n -f -k ${page} BYPRODUCTS ${page})
    set(installed ${page}.gz)
  endif()
  add_custom_command(OUTPUT ${installed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man/man1
    COMMAND ${HELP2MAN_EXECUTABLE} --no-info --no-discard-stderr --section 1
            --name "${TARVEX_MAN_NAME_${tool}}" --output ${page} $<TARGET_FILE:${tool}>
    ${compress}
    DEPENDS ${tool}
    COMMENT "Man page of ${tool}"
    VERBATIM)
  list(APPEND pages ${installed})
endforeach()
add_custom_target(tarvex-man-pages ALL DEPENDS ${pages})
install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
set(TARVEX_MAN_PAGES_BUILT ON)
