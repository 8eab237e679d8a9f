#include "corelib/ConfAgent.h"

#include <memory>
#include <new>

#include "corelib/ConfBase.h"
#include "corelib/ConfNode.h"
#include "corelib/FileTools.h"
#include "corelib/Logger.h"
#include "corelib/MatchGlob.h"
#include "corelib/ParamStream.h"
#include "corelib/PathTools.h"

namespace KelvraCorelib {

namespace {

constexpr const char* outOfMemoryText = "@out-of-memory{Out of memory};";

// A value ending in ".lnk" stands for the link's target.
std::string followShortcut(const std::string& path)
{
    return isShortcut(path) ? resolveShortcut(path) : path;
}

}  // namespace

ConfAgent::ConfAgent() : ImsAgent("conf-agent") {}

void ConfAgent::registerKeyword(const std::string& keyword, const std::string& path)
{
    std::unique_ptr<ConfKeywordParam> param;
    try {
        param = std::make_unique<ConfKeywordParam>(keyword, path);
    } catch (const std::bad_alloc&) {
        throw Keyword_OutOfMemory(outOfMemoryText, KELVRA_HERE);
    }
    // The parameter stays ours: freed on every way out, the error included.
    ImsMessage message("conf", "keyword", "", param.get());
    if (!sendMessage(message))
        throw Keyword_ImsNotWorking(
            "@conf-agent.keyword.ims-not-working{Failed to register keyword \"%\" = \"%\" because IMS isn't working};",
            KELVRA_HERE, ParamStream() << keyword << path);
}

// The query itself; storage has the C++ type of requestedType. With `missing` given, an entry
// that is not there sets it instead of throwing.
static void runQuery(ConfAgent& agent, const std::string& path, int32_t requestedType, void* storage,
                     bool* missing = nullptr)
{
    ImsMessage message("conf", "query", "");
    ConfQueryParam* param = nullptr;
    try {
        param = new ConfQueryParam(path, requestedType, storage, false);
    } catch (const std::bad_alloc&) {
        throw ConfAgent::Query_OutOfMemory(outOfMemoryText, KELVRA_HERE);
    }
    message.parameter = param;
    message.ownsParameter = true;
    if (!agent.sendMessage(message))
        throw ConfAgent::Query_ImsNotWorking(
            "@conf-agent.query.ims-not-working{Failed to query configuration entry \"%\" because IMS isn't working};",
            KELVRA_HERE, ParamStream() << path);

    switch (param->status) {
    case ConfQueryParam::statusNotFound:
        if (missing != nullptr) {
            *missing = true;
            return;
        }
        throw ConfAgent::Query_NotFound("@conf-agent.query.not-found{Configuration entry \"%\" was not found};",
                                        KELVRA_HERE, ParamStream() << path);
    case ConfQueryParam::statusWrongType:
        throw ConfAgent::Query_WrongType(
            "@conf-agent.query.wrong-type{Configuration entry \"%\" is not of requested type (%)};", KELVRA_HERE,
            ParamStream() << path << typeName(requestedType));
    case ConfQueryParam::statusUnknownType:
        throw ConfAgent::Query_UnknownType("@conf-agent.query.unknown-type{Got request for configuration entry \"%\" "
                                           "of type %, but no such type is defined};",
                                           KELVRA_HERE, ParamStream() << path << typeName(requestedType));
    case ConfQueryParam::statusInvalidPath:
        throw ConfAgent::Query_InvalidPath("@conf-agent.query.invalid-path{Invalid configuration node path \"%\"};",
                                           KELVRA_HERE, ParamStream() << path);
    case ConfQueryParam::statusRemoveFailed:
        throw ConfAgent::Query_FailedToRemove(
            "@conf-agent.query.failed-to-remove{Failed to remove configuration node at \"%\"};", KELVRA_HERE,
            ParamStream() << path);
    default:
        // Done, and also not answered (0) and a bad list kind (6): the storage is the result.
        break;
    }
}

std::string ConfAgent::queryString(const std::string& path)
{
    std::string value;
    runQuery(*this, path, ConfNodeType::String, &value);
    return value;
}

TimeSpan ConfAgent::queryTimeSpan(const std::string& path)
{
    TimeSpan value;
    runQuery(*this, path, ConfNodeType::TimeSpan, &value);
    return value;
}

bool ConfAgent::findTimeSpan(const std::string& path, TimeSpan& value)
{
    bool missing = false;
    TimeSpan found;
    runQuery(*this, path, ConfNodeType::TimeSpan, &found, &missing);
    if (missing)
        return false;
    value = found;
    return true;
}

std::string ConfAgent::queryDir(const std::string& path)
{
    std::string value;
    runQuery(*this, path, ConfNodeType::Dir, &value);
    return value;
}

std::string ConfAgent::queryFile(const std::string& path)
{
    std::string value;
    runQuery(*this, path, ConfNodeType::File, &value);
    return value;
}

void ConfAgent::queryForTest(const std::string& path, int32_t requestedType, void* storage)
{
    try {
        runQuery(*this, path, requestedType, storage);
    } catch (const Query_OutOfMemory& caught) {
        throw Test_OutOfMemory(KELVRA_HERE, caught);
    } catch (const Query_ImsNotWorking& caught) {
        throw Test_ImsNotWorking(KELVRA_HERE, caught);
    } catch (const Query_NotFound& caught) {
        throw Test_NotFound(KELVRA_HERE, caught);
    } catch (const Query_WrongType& caught) {
        throw Test_WrongType(KELVRA_HERE, caught);
    } catch (const Query_UnknownType& caught) {
        throw Test_UnknownType(KELVRA_HERE, caught);
    }
}

void ConfAgent::testGlob(const std::string& path, const std::string& glob)
{
    std::string value;
    queryForTest(path, ConfNodeType::String, &value);
    if (!matchGlob(value, glob))
        throw Test_ValueNotMatchingGlob("@conf-agent.test.value-not-matching-blog{Configuration entry \"%\" "
                                        "(value=\"%\") does not match the required \"%\"};",
                                        KELVRA_HERE, ParamStream() << path << value << glob);
}

void ConfAgent::testTimeSpanRange(const std::string& path, const TimeSpan& minimum, const TimeSpan& maximum)
{
    TimeSpan value;
    queryForTest(path, ConfNodeType::TimeSpan, &value);
    if (value.compare(minimum) < 0 || value.compare(maximum) > 0)
        throw Test_ValueOutOfRange("@conf-agent.test.value-out-of-range{Configuration entry \"%\" (value=%) is not "
                                   "within the required range of % through %};",
                                   KELVRA_HERE,
                                   ParamStream() << path << value.toText() << minimum.toText() << maximum.toText());
}

std::string ConfAgent::testDir(const std::string& path, int32_t mode)
{
    std::string dir;
    queryForTest(path, ConfNodeType::Dir, &dir);
    dir = followShortcut(dir);
    if (mode == 0) {
        if (!isDirectory(dir))
            throw Test_DirMustExist("@conf-agent.test.dir-must-exist{Directory \"%\" specified at configuration "
                                    "entry \"%\" does not exist};",
                                    KELVRA_HERE, ParamStream() << dir << path);
    } else if (mode == 1) {
        // The trailing separator makes the last component a directory to create as well.
        if (dir.empty() || !createDirectory(addTrailingSeparator(dir)) || !isDirectory(dir))
            throw Test_DirCouldNotBeCreated("@conf-agent.test.dir-could-not-be-created{Directory \"%\" specified at "
                                            "configuration entry \"%\" does not exist and could not be created;}",
                                            KELVRA_HERE, ParamStream() << dir << path);
    }
    return dir;
}

std::string ConfAgent::testFile(const std::string& path, int32_t mode)
{
    std::string file;
    queryForTest(path, ConfNodeType::File, &file);
    file = followShortcut(file);
    if (mode == 0) {
        if (!isFile(file))
            throw Test_FileMustExist("@conf-agent.test.file-must-exist{File \"%\" specified at configuration entry "
                                     "\"%\" does not exist};",
                                     KELVRA_HERE, ParamStream() << file << path);
    } else if (mode == 1) {
        // touch also succeeds on a directory, which is no file: that is a failure here.
        if (isDirectory(file) || !touch(file) || !isFile(file))
            throw Test_FileCouldNotBeCreated("@conf-agent.test.file-could-not-be-created{File \"%\" specified at "
                                             "configuration entry \"%\" does not exist and could not be created;}",
                                             KELVRA_HERE, ParamStream() << file << path);
    }
    return file;
}

}  // namespace KelvraCorelib
