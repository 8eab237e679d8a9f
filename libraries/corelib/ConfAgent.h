#pragma once
// The client side of the configuration store: the agent "conf-agent" reads typed entries,
// registers keywords and tests entries against what the application needs. Every call sends
// one "conf" message through the hub and turns the store's status into a result or an error.
//
//   ConfAgent conf;
//   conf.registerKeyword("target", "trawlex.target.dir");
//   std::string dir = conf.queryDir("%target%");
//   conf.testDir("%target%", 1);                     // created with all missing parents
//   conf.testTimeSpanRange("%interval%", TimeSpan("PT1M"), TimeSpan("P1D"));  // bounds included
//
// Errors name the path as the caller gave it ("%target%"), never the processed one. The agent
// sets no hooks and keeps no configuration data.

#include <cstdint>
#include <string>

#include "corelib/Exception.h"
#include "corelib/Ims.h"
#include "corelib/TimeSpan.h"

namespace KelvraCorelib {

class ConfAgent : public ImsAgent {
public:
    KELVRA_ERROR_CLASS(Keyword_OutOfMemory);
    KELVRA_ERROR_CLASS(Keyword_ImsNotWorking);
    KELVRA_ERROR_CLASS(Query_OutOfMemory);
    KELVRA_ERROR_CLASS(Query_ImsNotWorking);
    KELVRA_ERROR_CLASS(Query_NotFound);
    KELVRA_ERROR_CLASS(Query_WrongType);
    KELVRA_ERROR_CLASS(Query_UnknownType);
    KELVRA_ERROR_CLASS(Query_InvalidPath);
    KELVRA_ERROR_CLASS(Query_FailedToRemove);
    // The next five hold the caught Query_ error nested, with no text of their own.
    KELVRA_ERROR_CLASS(Test_OutOfMemory);
    KELVRA_ERROR_CLASS(Test_ImsNotWorking);
    KELVRA_ERROR_CLASS(Test_NotFound);
    KELVRA_ERROR_CLASS(Test_WrongType);
    KELVRA_ERROR_CLASS(Test_UnknownType);
    KELVRA_ERROR_CLASS(Test_ValueOutOfRange);
    KELVRA_ERROR_CLASS(Test_ValueNotMatchingGlob);
    KELVRA_ERROR_CLASS(Test_DirMustExist);
    KELVRA_ERROR_CLASS(Test_DirCouldNotBeCreated);
    KELVRA_ERROR_CLASS(Test_FileMustExist);
    KELVRA_ERROR_CLASS(Test_FileCouldNotBeCreated);

    ConfAgent();

    // Makes "%keyword%" stand for path in every later configuration path.
    // Throws Keyword_OutOfMemory, Keyword_ImsNotWorking (no store attached).
    void registerKeyword(const std::string& keyword, const std::string& path);

    // Typed reads (string, dir and file values with their ${...} references expanded). Each
    // throws the Query_ error of the store's status: Query_NotFound, Query_WrongType, ...
    std::string queryString(const std::string& path);
    TimeSpan queryTimeSpan(const std::string& path);
    std::string queryDir(const std::string& path);
    std::string queryFile(const std::string& path);
    // The time span at path, or false when there is no such entry (an optional setting);
    // every other condition throws as queryTimeSpan does.
    bool findTimeSpan(const std::string& path, TimeSpan& value);

    // A read of any type into the caller's storage (see ConfQueryParam for its C++ type).
    // Query_OutOfMemory, _ImsNotWorking, _NotFound, _WrongType and _UnknownType come out as
    // the Test_ class of the same condition; Query_InvalidPath and _FailedToRemove as they are.
    void queryForTest(const std::string& path, int32_t requestedType, void* storage);

    // Throws Test_ValueNotMatchingGlob unless the whole string value matches ("*", "?", case
    // matters).
    void testGlob(const std::string& path, const std::string& glob);
    // Throws Test_ValueOutOfRange unless minimum <= value <= maximum.
    void testTimeSpanRange(const std::string& path, const TimeSpan& minimum, const TimeSpan& maximum);
    // Mode 0: the directory must exist (Test_DirMustExist); mode 1: it is created with all
    // missing parents (Test_DirCouldNotBeCreated); other modes only read the entry. A value
    // ending in ".lnk" is replaced by the link's target (resolveShortcut). Returns the
    // directory tested.
    std::string testDir(const std::string& path, int32_t mode);
    // Mode 0: the entry must exist and not be a directory (Test_FileMustExist); mode 1: an
    // empty file is created when none is there, an existing file stays as it is
    // (Test_FileCouldNotBeCreated, also when a directory is in the way). A shortcut is
    // replaced by its target as in testDir. Returns the file tested.
    std::string testFile(const std::string& path, int32_t mode);
};

}  // namespace KelvraCorelib
