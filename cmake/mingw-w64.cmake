# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads
# model, so std::thread and GoogleTest's threading work) and test binaries
# run under Wine.
#
#   cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MAILSHOT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MAILSHOT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MAILSHOT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MAILSHOT_MINGW_TRIPLE}-windres)

# Headers and libraries come from the MinGW sysroot only; programs (code
# generators and the like) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${MAILSHOT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's wine64 package puts the real loader here; /usr/bin/wine is a
# wrapper script from another package that prefers a 32-bit Wine.
set(MAILSHOT_WINE /usr/lib/wine/wine64 CACHE FILEPATH "Wine loader that runs the Windows test binaries")
set(CMAKE_CROSSCOMPILING_EMULATOR ${MAILSHOT_WINE})
