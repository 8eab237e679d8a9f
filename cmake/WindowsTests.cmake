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

# Cases that assert POSIX behaviour or need what wine lacks; each is left out under wine
# through GoogleTest's filter:
#   shell scripts or std::system with POSIX commands and helpers: CollectorSpans, ProgramEntryProcess,
#   Verify, DataLogErrors.WriteFailures, DataLogConcurrency
#   a working name longer than MAX_PATH fails before its backup: DataLogAppend.BackupFailure
#   TZ rules by zone name ("Europe/Berlin"), which the C runtime does not read: TimeZoneTest
#   the folder store of the POSIX registry, and writes into every hive: WinRegistryTest, SystemBaseTest
#   (the real registry also gives a string set without its zero byte back with one)
#   a directory made read-only (Windows has no write permission for folders): FileOperationsTest
#   (its cases that make symbolic links run without those parts: wine cannot make links)
#   local groups (wine reports none): PlatformProbes
#   gzip seeks past 2 GiB (the zlib of mingw-w64 has 32-bit offsets): FileTest.CompressedSeek
#   the Linux install layout, manual pages rendered with groff: InstallTest
set(TRAWLEX_WINDOWS_TEST_FILTERS
  "CollectorSpansTest=-CollectorSpans.MonthsAndYearsCountByTheirAverageLength"
  "ProgramEntryTest=-ProgramEntryProcess.*"
  "VerifyTest=-*"
  "InstallTest=-*"
  "DataLogTest=-DataLogAppend.BackupFailureUnderBothModes:DataLogErrors.WriteFailuresUnderBothModes:DataLogConcurrency.*"
  "TimeZoneTest=-TimeZoneTest.LocalZone*:TimeZoneTest.ClockCountsPast2038:TimeZoneTest.KelvraTzOverridesTheLocalZoneForTheWholeProcess"
  "WinRegistryTest=-WinRegistryTest.QueryValueRepeatsWithTheReportedSize:WinRegistryTest.HiveNamesAreExact:WinRegistryTest.NamesAreCaseInsensitiveAndStayInsideTheStore:WinRegistryTest.CurrentUserIsTheUsersKeyUnderUsers:WinRegistryTest.DamagedStoreReadsAsNotFoundOrFailsToWrite:RegistryStoreFolder.*"
  "SystemBaseTest=-SystemBaseTest.*"
  "FileOperationsTest=-FileOperationsTest.SetAttributes"
  "FileTest=-FileTest.CompressedSeekKeepsSixtyFourBits"
  "SystemValuesTest=-PlatformProbes.AnswerOnThisMachine"
)

function(apply_windows_test_filters)
  foreach(entry ${TRAWLEX_WINDOWS_TEST_FILTERS})
    string(FIND "${entry}" "=" split)
    string(SUBSTRING "${entry}" 0 ${split} test_name)
    math(EXPR rest "${split} + 1")
    string(SUBSTRING "${entry}" ${rest} -1 filter)
    if(TEST ${test_name})
      if(filter STREQUAL "-*")
        set_tests_properties(${test_name} PROPERTIES DISABLED TRUE)
      else()
        set_tests_properties(${test_name} PROPERTIES ENVIRONMENT "GTEST_FILTER=${filter}")
      endif()
    endif()
  endforeach()
endfunction()
