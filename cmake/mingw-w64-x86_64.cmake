# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TRAWLEX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TRAWLEX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRAWLEX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TRAWLEX_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TRAWLEX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained program: the C and C++ runtimes and winpthreads linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests and helper programs run under wine.
find_program(TRAWLEX_WINE NAMES wine wine64)
if(TRAWLEX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TRAWLEX_WINE})
endif()
