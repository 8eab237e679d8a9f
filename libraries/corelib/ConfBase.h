#pragma once
// The configuration store: the agent "conf-base" that owns the process's configuration tree
// and its keywords, and answers "conf" messages through the hub.
//
//   ("conf", "data", "clear-old" or "")  ConfDataParam     load a serialised tree (replace / merge)
//   ("conf", "keyword", "")              ConfKeywordParam  register keyword -> path
//   ("conf", "rawpath", "")              ConfKeywordParam  keyword carries a raw path; path gets
//                                                          the processed path
//   ("conf", "query", "")                ConfQueryParam    read, set, create or remove one entry
//
// Keywords in paths: with "target" registered for "trawlex.target.dir", "%target%" is that
// path; "%unknown%.x" stays; an unterminated "a%target" gives "a".
// References in string, dir and file values: "${path}" is replaced by the referenced entry's
// value when read, recursively; a loop makes the whole value "[ERROR:CIRCULAR-REFERENCE]", an
// expansion past maximumExpandedLength "[ERROR:REFERENCE-TOO-LONG]".

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "corelib/ConfNode.h"
#include "corelib/Exception.h"
#include "corelib/Ims.h"
#include "corelib/Logger.h"
#include "corelib/ParamStream.h"
#include "corelib/PathTools.h"

namespace KelvraCorelib {

// "keyword" and "rawpath" messages.
class ConfKeywordParam : public ImsMessageParameter {
public:
    ConfKeywordParam() = default;
    ConfKeywordParam(const std::string& keyword, const std::string& path) : keyword(keyword), path(path) {}
    ~ConfKeywordParam() override = default;

    std::string keyword;  // without percent signs ("rawpath": the raw path)
    std::string path;     // the configuration path ("rawpath": written by the store)
};

// "query" messages. The caller's storage behind value has the type of requestedType:
//   1 bool, 2 int64_t, 3 uint64_t, 4 double, 5/10/11 std::string, 6 DateTime,
//   7 int64_t (read only: the date-time count of 2000-01-01 at the time of day), 8 TimeZone,
//   9 TimeSpan, 12 ConfStringList (list sets with "ltype" "str": std::string to split),
//   13 ConfStringList (read only: child names); 14 and 15 need none.
class ConfQueryParam : public ImsMessageParameter {
public:
    // requestedType codes beyond the node types.
    static constexpr int32_t createEntry = 14;
    static constexpr int32_t removeEntry = 15;

    // status codes.
    static constexpr int32_t statusNotAnswered = 0;
    static constexpr int32_t statusDone = 1;
    static constexpr int32_t statusNotFound = 3;
    static constexpr int32_t statusWrongType = 4;
    static constexpr int32_t statusUnknownType = 5;
    static constexpr int32_t statusBadListKind = 6;
    static constexpr int32_t statusInvalidPath = 7;
    static constexpr int32_t statusRemoveFailed = 8;

    ConfQueryParam(const std::string& path, int32_t requestedType, void* value, bool isSet)
        : path(path), requestedType(requestedType), value(value), isSet(isSet)
    {
    }
    ~ConfQueryParam() override = default;

    std::string path;                         // raw path, may hold %keyword% references
    const std::string* description = nullptr;  // create: text of the attribute "description"
    int32_t createType = 0;                   // create: type of the new entry
    int32_t requestedType = 0;                // node type code, createEntry or removeEntry
    void* value = nullptr;                    // caller's storage, see above
    char listSeparator = '\n';                // list sets
    std::map<std::string, std::string> listAttributes;  // list sets: "ltype" = "str" or "list"
    bool isSet = false;                       // set family (set, create, remove) or read
    int32_t status = statusNotAnswered;
};

// "data" messages: a tree in the serial form of ConfNode::writeTo. The sender owns the stream.
class ConfDataParam : public ImsMessageParameter {
public:
    explicit ConfDataParam(StreamBase* stream = nullptr) : stream(stream) {}
    ~ConfDataParam() override = default;

    StreamBase* stream = nullptr;  // not owning
};

class ConfBase : public ImsAgent {
public:
    KELVRA_ERROR_CLASS(ConfBase_FailedToSetHooks);
    KELVRA_ERROR_CLASS(ProcessString_CircularReference);
    KELVRA_ERROR_CLASS(ProcessString_ReferenceTooLong);

    // Upper bound of an expanded value, and of the references one expansion may resolve.
    static constexpr size_t maximumExpandedLength = size_t(64) * 1024 * 1024;
    static constexpr size_t maximumExpandedReferences = size_t(1) << 20;

    static constexpr const char* circularReferenceText = "[ERROR:CIRCULAR-REFERENCE]";
    static constexpr const char* referenceTooLongText = "[ERROR:REFERENCE-TOO-LONG]";

    // Hooks ("conf", "query" | "data" | "keyword" | "rawpath", ""), tier 1. Throws
    // ConfBase_FailedToSetHooks (with the hub's error nested) when a hook cannot be set.
    ConfBase();
    ~ConfBase() override;

    int32_t handleMessage(const ImsMessage& message) override;
    int32_t handleHookedMessage(uint64_t hookId, const ImsMessage& message) override;

    // Replaces each %keyword% by its registered path, in one pass (see the top of this file).
    std::string processPath(const std::string& rawPath) const;
    // The root for an empty raw path, else root->find(processPath(raw)); null when absent.
    ConfNodeHandle lookup(const std::string& rawPath) const;
    // The value text of a string, dir or file node with its ${...} references expanded (the
    // value of the other types as getAsText). Never throws; failures give the error texts.
    std::string expandedValue(const ConfNode& node);

    // Handlers of the four message groups; results notHandled, handled or handledFinal.
    int32_t cache(const ImsMessage& message);
    int32_t registerKeyword(const ImsMessage& message);
    int32_t handleRawPath(const ImsMessage& message);
    int32_t query(const ImsMessage& message);

    Logger logger;  // module "confbase"
    ConfNodeHandle root;
    std::map<std::string, std::string> keywords;
    uint64_t queryHookId = 0;
    uint64_t dataHookId = 0;
    uint64_t keywordHookId = 0;
    uint64_t rawPathHookId = 0;
    // Path rules of dir and file values; the platform's own in the program.
    PathStyle pathStyle = PathStyle::Native;

private:
    // Throws ProcessString_CircularReference or ProcessString_ReferenceTooLong.
    std::string expand(const std::string& text, const ConfNode& start);
    int32_t set(ConfQueryParam& param);
    int32_t get(ConfQueryParam& param);
    void removeHooks();
};

}  // namespace KelvraCorelib
