#include "corelib/ConfBase.h"

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

namespace KelvraCorelib {

namespace {

bool isExpandable(int32_t type)
{
    return type == ConfNodeType::String || type == ConfNodeType::Dir || type == ConfNodeType::File;
}

// The text held by a data stream, for the merge warning.
std::string streamText(const StreamBase* stream)
{
    if (const auto* serial = dynamic_cast<const StringStream*>(stream))
        return serial->serial;
    return std::string();
}

}  // namespace

ConfBase::ConfBase() : ImsAgent("conf-base")
{
    logger.setModuleName("confbase");
    try {
        queryHookId = setMessageHook(false, "conf", "query", "", 1);
        dataHookId = setMessageHook(false, "conf", "data", "", 1);
        keywordHookId = setMessageHook(false, "conf", "keyword", "", 1);
        rawPathHookId = setMessageHook(false, "conf", "rawpath", "", 1);
    } catch (const Exception& caught) {
        // The destructor does not run for a failed constructor: hooks already set must go
        // now, or the hub would call into a dead agent.
        removeHooks();
        throw ConfBase_FailedToSetHooks(KELVRA_HERE, caught);
    }
}

ConfBase::~ConfBase()
{
    removeHooks();
    root.reset();
    keywords.clear();
}

void ConfBase::removeHooks()
{
    for (uint64_t* id : {&queryHookId, &dataHookId, &keywordHookId, &rawPathHookId}) {
        try {
            if (*id != 0)
                removeMessageHook(*id);
        } catch (const Exception&) {
            // Dropped: the agent is going either way.
        }
        *id = 0;
    }
}

int32_t ConfBase::handleHookedMessage(uint64_t hookId, const ImsMessage& message)
{
    if (hookId != 0 &&
        (hookId == queryHookId || hookId == dataHookId || hookId == keywordHookId || hookId == rawPathHookId))
        return handleMessage(message);
    return notHandled;
}

int32_t ConfBase::handleMessage(const ImsMessage& message)
{
    if (message.generalType != "conf")
        return notHandled;
    if (message.groupType == "query")
        return query(message);
    if (message.groupType == "data")
        return cache(message);
    if (message.groupType == "keyword")
        return registerKeyword(message);
    if (message.groupType == "rawpath")
        return handleRawPath(message);
    return notHandled;
}

// ---------------------------------------------------------------------------- paths

std::string ConfBase::processPath(const std::string& rawPath) const
{
    std::string output;
    std::string keyword;
    bool inside = false;
    for (const char c : rawPath) {
        if (!inside) {
            if (c == '%') {
                inside = true;
                keyword.clear();
            } else {
                output += c;
            }
        } else if (c != '%') {
            keyword += c;
        } else {
            const auto found = keywords.find(keyword);
            if (found != keywords.end())
                output += found->second;
            else
                output += "%" + keyword + "%";
            inside = false;
        }
    }
    // A reference still open at the end is dropped.
    return output;
}

ConfNodeHandle ConfBase::lookup(const std::string& rawPath) const
{
    if (rawPath.empty())
        return root;
    if (!root)
        return ConfNodeHandle();
    return root->find(processPath(rawPath));
}

// ---------------------------------------------------------------------------- expansion

std::string ConfBase::expand(const std::string& text, const ConfNode& start)
{
    // An explicit stack of the values being expanded, innermost last: a chain of references
    // of any length never deepens the call stack. A node is on the stack at most once.
    struct Frame {
        std::string text;
        size_t position;
        const ConfNode* node;
    };
    std::vector<Frame> pending;
    std::unordered_set<const ConfNode*> visited{&start};
    pending.push_back(Frame{text, 0, &start});
    std::string output;
    size_t references = 0;

    const auto append = [&output](const std::string& piece, size_t from, size_t count) {
        const size_t length = std::min(count, piece.size() - from);
        if (output.size() + length > maximumExpandedLength)
            throw ProcessString_ReferenceTooLong(std::string(), KELVRA_HERE);
        output.append(piece, from, length);
    };

    while (!pending.empty()) {
        Frame& frame = pending.back();
        const size_t open = frame.text.find("${", frame.position);
        if (open == std::string::npos) {
            append(frame.text, frame.position, std::string::npos);
            visited.erase(frame.node);
            pending.pop_back();
            continue;
        }
        append(frame.text, frame.position, open - frame.position);
        const size_t close = frame.text.find('}', open + 2);
        if (close == std::string::npos) {
            append(frame.text, open, std::string::npos);
            visited.erase(frame.node);
            pending.pop_back();
            continue;
        }
        const std::string name = frame.text.substr(open + 2, close - open - 2);
        frame.position = close + 1;
        // Each reference counts, so that values that expand to little but through very many
        // references (a = ${b}${b}, b = ${c}${c}, ... ending in "") are bounded as well.
        if (++references > maximumExpandedReferences)
            throw ProcessString_ReferenceTooLong(std::string(), KELVRA_HERE);
        const ConfNodeHandle node = lookup(name);
        if (!node) {
            append("${" + name + "}", 0, std::string::npos);
        } else if (isExpandable(node->type)) {
            if (visited.count(node.get()) != 0)
                throw ProcessString_CircularReference(std::string(), KELVRA_HERE);
            visited.insert(node.get());
            // frame is not used past this point: the push may move it.
            pending.push_back(Frame{node->getAsText(pathStyle), 0, node.get()});
        } else {
            append(node->getAsText(pathStyle), 0, std::string::npos);
        }
    }
    return output;
}

std::string ConfBase::expandedValue(const ConfNode& node)
{
    const std::string text = node.getAsText(pathStyle);
    if (!isExpandable(node.type))
        return text;
    try {
        return expand(text, node);
    } catch (const ProcessString_CircularReference&) {
        return circularReferenceText;
    } catch (const ProcessString_ReferenceTooLong&) {
        // Failure shown in the value itself; the read still succeeds.
        logger.warning("@conf-base.expand.reference-too-long{Expanding configuration entry \"%\" exceeds % bytes or "
                       "% references};",
                       ParamStream() << node.getPath() << uint64_t(maximumExpandedLength)
                                     << uint64_t(maximumExpandedReferences));
        return referenceTooLongText;
    }
}

// ---------------------------------------------------------------------------- handlers

int32_t ConfBase::cache(const ImsMessage& message)
{
    logger.debug("ConfBase::cache: Handling incoming message");
    auto* param = dynamic_cast<ConfDataParam*>(message.parameter);
    if (param == nullptr || param->stream == nullptr)
        return notHandled;
    logger.trace("ConfBase::cache: Unstreaming cache message data");
    // Read completely before the store is touched: a broken stream leaves the tree as it was.
    ConfNodeHandle fresh = createRoot();
    fresh->readFrom(*param->stream);

    if (message.messageType == "clear-old" || (root && root->name.empty())) {
        root = std::move(fresh);
        logger.debug("ConfBase::cache: Replaced old configuration data");
        return handled;
    }
    if (!root)
        root = createRoot();
    if (!root->merge(*fresh)) {
        logger.warning("@config.cache.merge{Failed to merge new configuration data with old}; (New data stream: %)",
                       ParamStream() << streamText(param->stream));
        return notHandled;
    }
    logger.debug("ConfBase::cache: Merged new configuration data with old");
    return handled;
}

int32_t ConfBase::registerKeyword(const ImsMessage& message)
{
    logger.trace("ConfBase::registerKeyword: Handling incoming message");
    auto* param = dynamic_cast<ConfKeywordParam*>(message.parameter);
    if (param == nullptr)
        return notHandled;
    logger.trace("ConfBase::registerKeyword: Extacting keyword details from message");
    logger.trace("ConfBase::registerKeyword: Keyword=\"%\", Path=\"%\"", ParamStream() << param->keyword << param->path);
    keywords[param->keyword] = param->path;
    return handled;
}

int32_t ConfBase::handleRawPath(const ImsMessage& message)
{
    logger.trace("ConfBase::processPath: Handling incoming message");
    auto* param = dynamic_cast<ConfKeywordParam*>(message.parameter);
    if (param == nullptr)
        return notHandled;
    logger.trace("ConfBase::processPath: Extacting path details from message");
    logger.trace("ConfBase::processPath: Raw path=\"%\"", ParamStream() << param->keyword);
    param->path = processPath(param->keyword);
    return handled;
}

int32_t ConfBase::query(const ImsMessage& message)
{
    logger.trace("ConfBase::query: Handling incoming message");
    auto* param = dynamic_cast<ConfQueryParam*>(message.parameter);
    if (param == nullptr)
        return notHandled;
    logger.trace("ConfBase::query: Extacting query details from message");
    return param->isSet ? set(*param) : get(*param);
}

int32_t ConfBase::set(ConfQueryParam& param)
{
    logger.trace("ConfBase::set: Path=\"%\"", ParamStream() << param.path);
    if (!root)
        root = createRoot();

    if (param.requestedType == ConfQueryParam::createEntry) {
        if (param.path.empty()) {
            param.status = ConfQueryParam::statusInvalidPath;
            return handled;
        }
        const ConfNodeHandle node = root->findOrCreate(processPath(param.path), param.createType);
        if (!node || node == root) {
            param.status = ConfQueryParam::statusInvalidPath;
            return handled;
        }
        if (param.description != nullptr && !param.description->empty())
            node->setAttribute("description", *param.description);
        param.status = ConfQueryParam::statusDone;
        return handled;
    }

    if (param.requestedType == ConfQueryParam::removeEntry) {
        const ConfNodeHandle node = lookup(param.path);
        if (!node || node == root) {
            param.status = ConfQueryParam::statusInvalidPath;
            return handled;
        }
        try {
            node->getParent().removeChild(node->name);
            param.status = ConfQueryParam::statusDone;
        } catch (const Exception&) {
            param.status = ConfQueryParam::statusRemoveFailed;
        }
        return handled;
    }

    const ConfNodeHandle node = lookup(param.path);
    if (!node) {
        param.status = ConfQueryParam::statusNotFound;
        return handled;
    }
    if (node->type != param.requestedType) {
        param.status = ConfQueryParam::statusWrongType;
        return handled;
    }
    // No setters exist for datetime and time-of-day; without storage nothing can be set.
    if (param.requestedType < ConfNodeType::Bool || param.requestedType > ConfNodeType::List ||
        param.requestedType == ConfNodeType::DateTime || param.requestedType == ConfNodeType::TimeOfDay ||
        param.value == nullptr) {
        param.status = ConfQueryParam::statusUnknownType;
        return handled;
    }
    void* value = param.value;
    switch (param.requestedType) {
    case ConfNodeType::Bool:
        node->setBool(*static_cast<const bool*>(value));
        break;
    case ConfNodeType::Int:
        node->setInt(*static_cast<const int64_t*>(value));
        break;
    case ConfNodeType::UInt:
        node->setUInt(*static_cast<const uint64_t*>(value));
        break;
    case ConfNodeType::Float:
        node->setFloat(*static_cast<const double*>(value));
        break;
    case ConfNodeType::String:
        node->setString(*static_cast<const std::string*>(value));
        break;
    case ConfNodeType::TimeZone:
        node->setTimeZone(*static_cast<const TimeZone*>(value));
        break;
    case ConfNodeType::TimeSpan:
        node->setTimeSpan(*static_cast<const TimeSpan*>(value));
        break;
    case ConfNodeType::Dir:
        node->setDir(*static_cast<const std::string*>(value));
        break;
    case ConfNodeType::File:
        node->setFile(*static_cast<const std::string*>(value));
        break;
    case ConfNodeType::List: {
        const auto kind = param.listAttributes.find("ltype");
        const std::string listKind = kind == param.listAttributes.end() ? std::string() : kind->second;
        if (listKind == "str") {
            node->setListFromText(*static_cast<const std::string*>(value), param.listSeparator);
        } else if (listKind == "list") {
            node->setList(*static_cast<const ConfStringList*>(value), param.listSeparator);
        } else {
            param.status = ConfQueryParam::statusBadListKind;
            return handled;
        }
        break;
    }
    default:
        break;
    }
    param.status = ConfQueryParam::statusDone;
    return handled;
}

int32_t ConfBase::get(ConfQueryParam& param)
{
    logger.trace("ConfBase::get: Path=\"%\"", ParamStream() << param.path);
    if (!root) {
        param.status = ConfQueryParam::statusNotFound;
        return handled;
    }
    const ConfNodeHandle node = lookup(param.path);
    if (!node) {
        param.status = ConfQueryParam::statusNotFound;
        return handled;
    }
    const int32_t requested = param.requestedType;
    if (requested != ConfNodeType::SubEntries && requested != node->type) {
        param.status = ConfQueryParam::statusWrongType;
        return handled;
    }
    if (requested < ConfNodeType::Bool || requested > ConfNodeType::SubEntries || param.value == nullptr) {
        param.status = ConfQueryParam::statusUnknownType;
        return handled;
    }
    void* value = param.value;
    switch (requested) {
    case ConfNodeType::Bool:
        *static_cast<bool*>(value) = node->getBool();
        break;
    case ConfNodeType::Int:
        *static_cast<int64_t*>(value) = node->getInt();
        break;
    case ConfNodeType::UInt:
        *static_cast<uint64_t*>(value) = node->getUInt();
        break;
    case ConfNodeType::Float:
        *static_cast<double*>(value) = node->getFloat();
        break;
    case ConfNodeType::DateTime:
        *static_cast<DateTime*>(value) = node->getDateTime();
        break;
    case ConfNodeType::TimeOfDay:
        *static_cast<int64_t*>(value) = node->getTimeOfDay().toCount();
        break;
    case ConfNodeType::TimeZone:
        *static_cast<TimeZone*>(value) = node->getTimeZone();
        break;
    case ConfNodeType::TimeSpan:
        *static_cast<TimeSpan*>(value) = node->getTimeSpan();
        break;
    case ConfNodeType::List:
        *static_cast<ConfStringList*>(value) = node->getList();
        break;
    case ConfNodeType::SubEntries:
        *static_cast<ConfStringList*>(value) = node->getChildNames();
        break;
    case ConfNodeType::String:
    case ConfNodeType::Dir:
    case ConfNodeType::File:
        *static_cast<std::string*>(value) = expandedValue(*node);
        break;
    default:
        break;
    }
    param.status = ConfQueryParam::statusDone;
    return handledFinal;
}

}  // namespace KelvraCorelib
