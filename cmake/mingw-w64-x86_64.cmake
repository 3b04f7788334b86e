# Cross-compiling the Windows program on Debian with MinGW-w64 (package g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-wine -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The posix flavour of the compiler gives std::thread, which some tests use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ORVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVO_MINGW_TRIPLET}-windres)

# Headers, libraries and packages of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ORVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs of the build run under Wine (wine64 is not on PATH in Debian's package).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
