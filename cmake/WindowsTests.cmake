# Test sources that call POSIX directly (their headers) are not built for Windows; the list
# goes to the configure log.
function(skip_posix_sources list_name)
  set(kept)
  foreach(source ${${list_name}})
    file(STRINGS ${source} posix_includes
         REGEX "#include <(unistd|spawn|dirent|fcntl|pwd|grp|poll|signal|pthread|sys/[a-z_]+)\\.h>")
    if(posix_includes)
      get_filename_component(name ${source} NAME)
      message(STATUS "Windows build skips the POSIX-specific ${name}")
    else()
      list(APPEND kept ${source})
    endif()
  endforeach()
  set(${list_name} ${kept} PARENT_SCOPE)
endfunction()

# setenv, unsetenv and mkdtemp for the portable tests.
add_compile_options(-include ${PROJECT_SOURCE_DIR}/tests/windows/PosixCompat.h)
