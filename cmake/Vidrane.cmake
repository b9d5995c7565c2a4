# Build-wide settings and the helpers the subdirectories use.

if(VIDRANE_SANITIZE)
  set(_san "-fsanitize=${VIDRANE_SANITIZE}" -fno-omit-frame-pointer)
  if(VIDRANE_SANITIZE MATCHES "undefined")
    list(APPEND _san -fno-sanitize-recover=undefined)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
      # The host and the plug-in meet at a C interface, each side declaring it in types of its own
      # (the reference host never includes the plug-in's headers): the same functions by their
      # binary interface, which this check compares by C++ type.
      list(APPEND _san -fno-sanitize=function)
    endif()
  endif()
  add_compile_options(${_san})
  add_link_options(${_san})
endif()

if(VIDRANE_FLAVOUR STREQUAL "apple-on-linux")
  # Blocks, as clang compiles them on a Mac by default; the stand-in brings their runtime.
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "The Apple flavour needs clang (blocks): configure with CC=clang CXX=clang++")
  endif()
  add_compile_options(-fblocks)
endif()

# Warnings everywhere; errors only in the plug-in itself.
function(vidrane_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
  endif()
endfunction()
function(vidrane_strict_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
endfunction()

set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)

if(WIN32 AND CMAKE_CROSSCOMPILING)
  # Windows programs run under wine, each in the build tree's own prefix.
  set(VIDRANE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/wine-run ${VIDRANE_WINEPREFIX})
  # GoogleTest programs run through wine-gtest, which tells wine not starting one from a failure.
  set(VIDRANE_GTEST_RUNNER sh ${CMAKE_SOURCE_DIR}/cmake/wine-gtest ${VIDRANE_WINEPREFIX})
endif()

if(VIDRANE_BUILD_TESTS AND NOT VIDRANE_FLAVOUR STREQUAL "macos")
  # GoogleTest from Debian's source copy, so it is built with the same compiler and sanitizers
  # as the code it tests (and with mingw for the Windows tree).
  set(VIDRANE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${VIDRANE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# vidrane_add_gtest(NAME n SOURCES ... [LIBS ...] [LABELS ...] [PULSE])
# PULSE: on Windows the program runs within a private PulseAudio server of two null sinks
# (tests/audio/with-pulse.sh), whose sinks wine offers as endpoints.
# Label "threads" marks binaries whose tests exercise more than one thread; the
# ThreadSanitizer tree runs exactly those.
function(vidrane_add_gtest)
  cmake_parse_arguments(T "PULSE" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  add_executable(${T_NAME} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/ProgramStart.cpp)
  target_link_libraries(${T_NAME} PRIVATE GTest::gtest_main ${T_LIBS})
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  vidrane_warnings(${T_NAME})
  if(WIN32)
    # One process per binary under wine: starting wine for every single test costs too much.
    if(T_PULSE)
      # Real endpoints: the server is up before the program starts, as the plug-in reads its
      # devices once.
      add_test(NAME ${T_NAME}
        COMMAND sh ${PROJECT_SOURCE_DIR}/tests/audio/with-pulse.sh ${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}-pulse
                ${VIDRANE_GTEST_RUNNER} $<TARGET_FILE:${T_NAME}> --gtest_brief=1)
      list(APPEND T_LABELS wine-audio)
    else()
      add_test(NAME ${T_NAME} COMMAND ${VIDRANE_GTEST_RUNNER} $<TARGET_FILE:${T_NAME}> --gtest_brief=1)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  else()
    include(GoogleTest)
    gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  endif()
endfunction()
