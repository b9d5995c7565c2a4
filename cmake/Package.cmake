# The Windows package: NDI-Vidrane-<version>-Windows-x64.zip with the DLL and its Read Me side by
# side, as the user drops them into Vantrel's plug-ins folder. Built with everything else, or alone
# with the package-windows target. The macOS bundle is packaged on a Mac (see README.md).
if(NOT VIDRANE_FLAVOUR STREQUAL "windows")
  return()
endif()

set(VIDRANE_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package CACHE INTERNAL "")
set(VIDRANE_PACKAGE ${VIDRANE_PACKAGE_DIR}/NDI-Vidrane-${PROJECT_VERSION}-Windows-x64.zip CACHE INTERNAL "")

# The shipped DLL leaves its debug information behind; the one in the build tree keeps it.
set(_strip "")
if(NOT MSVC)
  find_program(VIDRANE_MINGW_STRIP NAMES ${VIDRANE_MINGW_PREFIX}-strip x86_64-w64-mingw32-strip)
  set(_strip ${VIDRANE_MINGW_STRIP})
endif()

set(_readme ${CMAKE_BINARY_DIR}/plugin/${VIDRANE_README})
add_custom_command(OUTPUT ${VIDRANE_PACKAGE}
  COMMAND ${CMAKE_COMMAND} "-DDLL=$<TARGET_FILE:vidrane_plugin>" "-DREADME=${_readme}"
    "-DPACKAGE=${VIDRANE_PACKAGE}" "-DSTRIP=${_strip}" -P ${PROJECT_SOURCE_DIR}/cmake/MakePackage.cmake
  DEPENDS vidrane_plugin ${_readme} ${PROJECT_SOURCE_DIR}/cmake/MakePackage.cmake
  COMMENT "Packaging NDI-Vidrane-${PROJECT_VERSION}-Windows-x64.zip"
  VERBATIM)
add_custom_target(package-windows ALL DEPENDS ${VIDRANE_PACKAGE})
