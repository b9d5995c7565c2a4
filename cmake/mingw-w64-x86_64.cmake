# Cross-compiling the Windows plug-in with mingw-w64 (posix threads), static C and C++ runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VIDRANE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${VIDRANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VIDRANE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${VIDRANE_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL      ${VIDRANE_MINGW_PREFIX}-dlltool)
set(CMAKE_OBJDUMP      ${VIDRANE_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${VIDRANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# No libstdc++-6.dll, libgcc_s or libwinpthread-1.dll next to anything we ship or run.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
