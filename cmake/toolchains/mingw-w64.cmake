# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix thread model), run under Wine.
#   cmake --preset windows
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MORVANIX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MORVANIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MORVANIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MORVANIX_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MORVANIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Fully static: with only the GCC and C++ runtimes static the programs still need the
# winpthread DLL, and without it they exit silently under Wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests and test discovery run the .exe files through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# Threads get the stack size of the executable's header (2 MiB by default with mingw-w64);
# 8 MiB, as on Linux, so that both builds have the same room for deep library calls.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--stack,8388608")
