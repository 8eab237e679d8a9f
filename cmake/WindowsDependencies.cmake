# Dependencies of the Windows cross build: zlib of mingw-w64, Boost.Regex header-only
# (Debian's 1.81 headers unpacked into the build tree), GoogleTest built from its sources,
# and the system libraries of the Windows platform layer.

find_package(Threads REQUIRED)
set(ZLIB_USE_STATIC_LIBS ON)  # no zlib1.dll beside the programs
find_package(ZLIB REQUIRED)
# The 64-bit gz functions (gzseek64, gzoffset64 ...).
set_property(TARGET ZLIB::ZLIB APPEND PROPERTY INTERFACE_COMPILE_DEFINITIONS _LFS64_LARGEFILE=1)

set(TRAWLEX_BOOST_PACKAGE libboost1.81-dev CACHE STRING "Debian package that provides the Boost headers")
set(boost_root ${CMAKE_BINARY_DIR}/_deps/boost)
if(NOT EXISTS ${boost_root}/usr/include/boost/regex.hpp)
  file(MAKE_DIRECTORY ${boost_root}/download)
  execute_process(COMMAND apt-get download ${TRAWLEX_BOOST_PACKAGE}
                  WORKING_DIRECTORY ${boost_root}/download RESULT_VARIABLE result)
  file(GLOB boost_debs ${boost_root}/download/*.deb)
  if(NOT result EQUAL 0 OR NOT boost_debs)
    message(FATAL_ERROR "apt-get download ${TRAWLEX_BOOST_PACKAGE} failed")
  endif()
  list(GET boost_debs 0 boost_deb)
  execute_process(COMMAND dpkg -x ${boost_deb} ${boost_root} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg -x ${boost_deb} failed")
  endif()
  file(REMOVE_RECURSE ${boost_root}/download)
endif()
add_library(Boost::regex INTERFACE IMPORTED)
set_target_properties(Boost::regex PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${boost_root}/usr/include
                      INTERFACE_INCLUDE_DIRECTORIES ${boost_root}/usr/include)

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
