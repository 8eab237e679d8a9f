# Dependencies of the Windows cross build: zlib of mingw-w64, Boost.Regex header-only
# (Debian's 1.81 headers unpacked into the build tree), GoogleTest built from its sources,
# and the system libraries of the Windows platform layer.

find_package(Threads REQUIRED)
set(ZLIB_USE_STATIC_LIBS ON)  # no zlib1.dll beside the programs
find_package(ZLIB REQUIRED)
# The 64-bit gz functions (gzseek64, gzoffset64 ...).
set_property(TARGET ZLIB::ZLIB APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS _LFS64_LARGEFILE=1)

include(${CMAKE_CURRENT_LIST_DIR}/BoostRegexHeaders.cmake)

if(TRAWLEX_TESTS)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
endif()

# libgcrypt for the seal, static (libgcrypt-mingw-w64-dev), with libgpg-error after it.
find_library(GCRYPT_STATIC_LIBRARY NAMES libgcrypt.a REQUIRED)
find_library(GPG_ERROR_STATIC_LIBRARY NAMES libgpg-error.a REQUIRED)

# What the Windows platform layer calls.
set(TRAWLEX_PLATFORM_LIBRARIES ${GCRYPT_STATIC_LIBRARY} ${GPG_ERROR_STATIC_LIBRARY} ws2_32 bcrypt netapi32 iphlpapi ole32 uuid shell32 advapi32 user32 wtsapi32)
