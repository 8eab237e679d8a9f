#include "corelib/ConfNode.h"

#include <algorithm>
#include <new>
#include <utility>

#include "corelib/Logger.h"
#include "corelib/StringTools.h"

namespace KelvraCorelib {

namespace {

const char* const typeWords[] = {
    "none",     "bool", "int",  "uint", "float", "string",      "datetime",  "time-of-day",
    "timezone", "timespan", "dir", "file", "list", "sub-entries", "undefined", "undefined",
    "system string", "local int", "local uint", "local float", "local string", "local set",
};

bool isTrueWord(const std::string& text)
{
    return text == "true" || text == "yes" || text == "on" || text == "active" || text == "ok";
}

// Splits the first component off path at offset: the component ends at the next "." or
// the end; offset moves past the ".". last tells whether nothing follows.
std::string nextComponent(const std::string& path, size_t& offset, bool& last)
{
    const size_t dot = path.find('.', offset);
    std::string component;
    if (dot == std::string::npos) {
        component = path.substr(offset);
        offset = path.size();
        last = true;
    } else {
        component = path.substr(offset, dot - offset);
        offset = dot + 1;
        last = offset >= path.size();
    }
    return component;
}

// Name, type, value, list and attributes of source, children aside.
void copyContent(ConfNode& target, const ConfNode& source)
{
    target.name = source.name;
    target.type = source.type;
    if (&source != &target) {
        target.attributes = source.attributes;
        target.list = source.list;
    }
    target.value = source.value;
    target.listSeparator = source.listSeparator;
}

// The children of node in child order (names without a child are passed over).
std::vector<ConfNode*> orderedChildren(const ConfNode& node)
{
    std::vector<ConfNode*> result;
    result.reserve(node.childOrder.size());
    for (const auto& childName : node.childOrder) {
        const auto found = node.children.find(childName);
        if (found != node.children.end() && found->second)
            result.push_back(found->second.get());
    }
    return result;
}

[[noreturn]] void invalidData(const char* what)
{
    throw ConfNode::ReadFrom_InvalidData(
        "@conf-node.read-from.invalid-data{Configuration data is truncated or invalid (expected %)};",
        KELVRA_HERE, ParamStream() << what);
}

void readText(StreamBase& stream, std::string& text, const char* what)
{
    if (!stream.readString(text))
        invalidData(what);
}

uint32_t readCount(StreamBase& stream, const char* what)
{
    uint32_t count = 0;
    if (!stream.readUInt32(count))
        invalidData(what);
    return count;
}

// One node's own part of the serial form; returns its child count.
uint32_t readOwnPart(ConfNode& node, StreamBase& stream)
{
    readText(stream, node.name, "node name");
    if (!stream.readInt32(node.type))
        invalidData("node type");
    readText(stream, node.value, "node value");
    node.list.clear();
    if (node.type == ConfNodeType::List) {
        if (!stream.readChar(node.listSeparator))
            invalidData("list separator");
        // Elements are appended one by one as they arrive: the count is never trusted for
        // an allocation.
        for (uint32_t remaining = readCount(stream, "list count"); remaining > 0; --remaining) {
            std::string element;
            readText(stream, element, "list element");
            node.list.push_back(std::move(element));
        }
    }
    node.attributes.clear();
    for (uint32_t remaining = readCount(stream, "attribute count"); remaining > 0; --remaining) {
        std::string key;
        std::string text;
        readText(stream, key, "attribute key");
        readText(stream, text, "attribute text");
        node.attributes[key] = std::move(text);
    }
    return readCount(stream, "child count");
}

void writeOwnPart(const ConfNode& node, StreamBase& stream, uint32_t childCount)
{
    stream.writeString(node.name);
    stream.writeInt32(node.type);
    stream.writeString(node.value);
    if (node.type == ConfNodeType::List) {
        stream.writeChar(node.listSeparator);
        stream.writeUInt32(static_cast<uint32_t>(node.list.size()));
        for (const auto& element : node.list)
            stream.writeString(element);
    }
    stream.writeUInt32(static_cast<uint32_t>(node.attributes.size()));
    for (const auto& [key, text] : node.attributes) {
        stream.writeString(key);
        stream.writeString(text);
    }
    stream.writeUInt32(childCount);
}

}  // namespace

std::string typeName(int32_t type)
{
    if (type < 0 || type > ConfNodeType::LocalSet)
        return "undefined";
    return typeWords[type];
}

// ---------------------------------------------------------------------------- factories

ConfNodeHandle createNode(const std::string& name, int32_t type)
{
    try {
        return std::make_shared<ConfNode>(name, type);
    } catch (const std::bad_alloc&) {
        throw ConfNode::Factory_OutOfMemory("@out-of-memory{Out of memory};", KELVRA_HERE);
    }
}

ConfNodeHandle createRoot()
{
    return createNode("root", ConfNodeType::None);
}

ConfNodeHandle createCopy(const ConfNode& node)
{
    ConfNodeHandle top = createNode(node.name, node.type);
    try {
        copyContent(*top, node);
        std::vector<std::pair<const ConfNode*, ConfNode*>> pending{{&node, top.get()}};
        while (!pending.empty()) {
            const auto [source, target] = pending.back();
            pending.pop_back();
            for (ConfNode* sourceChild : orderedChildren(*source)) {
                ConfNodeHandle copied = createNode(sourceChild->name, sourceChild->type);
                copyContent(*copied, *sourceChild);
                target->addChild(copied);
                pending.emplace_back(sourceChild, copied.get());
            }
        }
    } catch (const std::bad_alloc&) {
        throw ConfNode::Factory_OutOfMemory("@out-of-memory{Out of memory};", KELVRA_HERE);
    }
    return top;
}

// ---------------------------------------------------------------------------- ConfNode

ConfNode::ConfNode(const std::string& name, int32_t type) : name(name), type(type) {}

ConfNode::~ConfNode()
{
    // Children whose last handle is here are emptied before they go, so that no destructor
    // ever runs one level deeper than this one. Children that live on lose their parent
    // (unless they have been added to another one since).
    std::vector<ConfNodeHandle> pending;
    for (auto& [childName, child] : children) {
        if (child) {
            if (child->parent == this)
                child->parent = nullptr;
            pending.push_back(std::move(child));
        }
    }
    children.clear();
    while (!pending.empty()) {
        ConfNodeHandle node = std::move(pending.back());
        pending.pop_back();
        if (node.use_count() == 1) {
            for (auto& [childName, child] : node->children) {
                if (child) {
                    if (child->parent == node.get())
                        child->parent = nullptr;
                    pending.push_back(std::move(child));
                }
            }
            node->children.clear();
        }
    }
}

std::string ConfNode::getPath() const
{
    std::vector<const std::string*> names;
    size_t length = 0;
    for (const ConfNode* node = this; node != nullptr; node = node->parent) {
        names.push_back(&node->name);
        length += node->name.size() + 1;
    }
    std::string path;
    path.reserve(length);
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!path.empty() || it != names.rbegin())
            path += '.';
        path += **it;
    }
    return path;
}

ConfNode& ConfNode::getParent() const
{
    if (parent == nullptr)
        throw GetParent_NoParent("", KELVRA_HERE);
    return *parent;
}

ConfStringList ConfNode::getChildNames() const
{
    return childOrder;
}

void ConfNode::setAttribute(const std::string& key, const std::string& text)
{
    attributes[key] = text;
}

std::string ConfNode::getAttribute(const std::string& key) const
{
    const auto found = attributes.find(key);
    return found == attributes.end() ? std::string() : found->second;
}

void ConfNode::requireGetType(int32_t required, const char* word) const
{
    if (type != required)
        throw Get_WrongType("@conf-node.get.wrong-type{Trying to get " + std::string(word) + " value from node " +
                                getPath() + " but this node is of type " + typeName(type) + "};",
                            KELVRA_HERE);
}

void ConfNode::requireSetType(int32_t required, const char* word) const
{
    if (type != required)
        throw Set_WrongType("@conf-node.set.wrong-type{Trying to set " + std::string(word) + " value in node " +
                                getPath() + " but this node is of type " + typeName(type) + "};",
                            KELVRA_HERE);
}

// ---- getters

bool ConfNode::getBool() const
{
    requireGetType(ConfNodeType::Bool, "bool");
    return isTrueWord(value);
}

int64_t ConfNode::getInt() const
{
    requireGetType(ConfNodeType::Int, "int");
    return StringTools::parseInt64(value);
}

uint64_t ConfNode::getUInt() const
{
    requireGetType(ConfNodeType::UInt, "uint");
    return StringTools::parseUInt64(value);
}

double ConfNode::getFloat() const
{
    requireGetType(ConfNodeType::Float, "float");
    return StringTools::parseDouble(value);
}

std::string ConfNode::getString() const
{
    requireGetType(ConfNodeType::String, "string");
    return value;
}

DateTime ConfNode::getDateTime() const
{
    requireGetType(ConfNodeType::DateTime, "datetime");
    return DateTimeDetails(value).toDateTime();
}

DateTimeDetails ConfNode::getTimeOfDay() const
{
    requireGetType(ConfNodeType::TimeOfDay, "time-of-day");
    const DateTime instant = DateTimeDetails("2000-01-01T" + value).toDateTime();
    // Broken down again in the zone it was read in, so that the clock time stays the same.
    return instant.toLocalDetails(instant.zone);
}

TimeZone ConfNode::getTimeZone() const
{
    requireGetType(ConfNodeType::TimeZone, "timezone");
    return TimeZone(value);
}

TimeSpan ConfNode::getTimeSpan() const
{
    requireGetType(ConfNodeType::TimeSpan, "timespan");
    return TimeSpan(value);
}

std::string ConfNode::getDir(PathStyle style) const
{
    requireGetType(ConfNodeType::Dir, "dir");
    return stripTrailingSeparators(value, style);
}

std::string ConfNode::getFile(PathStyle style) const
{
    requireGetType(ConfNodeType::File, "file");
    std::string path = value;
    toBackslashes(path, style);
    return path;
}

ConfStringList ConfNode::getList() const
{
    requireGetType(ConfNodeType::List, "list");
    return list;
}

std::string ConfNode::getAsText(PathStyle style) const
{
    try {
        switch (type) {
        case ConfNodeType::Bool:
            return getBool() ? "true" : "false";
        case ConfNodeType::Int:
            return StringTools::formatInt64(getInt());
        case ConfNodeType::UInt:
            return StringTools::formatUInt64(getUInt());
        case ConfNodeType::Float:
            return StringTools::formatDouble(getFloat());
        case ConfNodeType::String:
            return value;
        case ConfNodeType::DateTime:
            return getDateTime().toText(true, false, false);
        case ConfNodeType::TimeOfDay: {
            const std::string text = getTimeOfDay().toText(false, false, false);
            return text.size() > 11 ? text.substr(11, 8) : std::string();
        }
        case ConfNodeType::TimeZone:
            return getTimeZone().toText();
        case ConfNodeType::TimeSpan:
            return getTimeSpan().toText();
        case ConfNodeType::Dir:
            return getDir(style);
        case ConfNodeType::File:
            return getFile(style);
        case ConfNodeType::List:
            return StringTools::join(list, listSeparator);
        default:
            return std::string();
        }
    } catch (...) {
        return std::string();
    }
}

// ---- setters

void ConfNode::setBool(bool newValue)
{
    requireSetType(ConfNodeType::Bool, "bool");
    value = newValue ? "true" : "false";
}

void ConfNode::setInt(int64_t newValue)
{
    requireSetType(ConfNodeType::Int, "int");
    value = StringTools::formatInt64(newValue);
}

void ConfNode::setUInt(uint64_t newValue)
{
    requireSetType(ConfNodeType::UInt, "uint");
    value = StringTools::formatUInt64(newValue);
}

void ConfNode::setFloat(double newValue)
{
    requireSetType(ConfNodeType::Float, "float");
    value = StringTools::formatDouble(newValue);
}

void ConfNode::setString(const std::string& newValue)
{
    requireSetType(ConfNodeType::String, "string");
    value = newValue;
}

void ConfNode::setTimeZone(const TimeZone& newValue)
{
    requireSetType(ConfNodeType::TimeZone, "timezone");
    value = newValue.toText();
}

void ConfNode::setTimeSpan(const TimeSpan& newValue)
{
    requireSetType(ConfNodeType::TimeSpan, "timespan");
    value = newValue.toText();
}

void ConfNode::setDir(const std::string& newValue)
{
    requireSetType(ConfNodeType::Dir, "dir");
    value = newValue;
}

void ConfNode::setFile(const std::string& newValue)
{
    requireSetType(ConfNodeType::File, "file");
    value = newValue;
}

void ConfNode::setListFromText(const std::string& text, char separator)
{
    requireSetType(ConfNodeType::List, "list");
    ConfStringList pieces;
    size_t start = 0;
    for (size_t at = text.find(separator); at != std::string::npos; at = text.find(separator, start)) {
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    if (start < text.size())
        pieces.push_back(text.substr(start));
    list = std::move(pieces);
    listSeparator = separator;
}

void ConfNode::setList(const ConfStringList& newList, char separator)
{
    requireSetType(ConfNodeType::List, "list");
    if (&newList != &list)
        list = newList;
    listSeparator = separator;
}

// ---- children

void ConfNode::addChild(const ConfNodeHandle& child)
{
    if (!child)
        return;
    if (children.count(child->name) != 0)
        throw AddChild_NameAlreadyInUse("@conf-node.add-child.name-already-in-use{Cannot add child node \"" +
                                            child->name + "\" to \"" + getPath() +
                                            "\" because another child with that name already exists};",
                                        KELVRA_HERE);
    childOrder.push_back(child->name);
    try {
        children.emplace(child->name, child);
    } catch (...) {
        childOrder.pop_back();
        throw;
    }
    child->parent = this;
}

void ConfNode::removeChild(const std::string& childName)
{
    const auto found = children.find(childName);
    if (found == children.end())
        throw RemoveChild_NotFound("@conf-node.remove-child.not-found{Cannot remove child node \"" + childName +
                                       "\" from \"" + getPath() + "\" because no such child exists};",
                                   KELVRA_HERE);
    ConfNodeHandle child = std::move(found->second);
    children.erase(found);
    const auto named = std::find(childOrder.begin(), childOrder.end(), childName);
    if (named != childOrder.end())
        childOrder.erase(named);
    if (child && child->parent == this)
        child->parent = nullptr;
}

ConfNodeHandle ConfNode::findChild(const std::string& childName) const
{
    const auto found = children.find(childName);
    return found == children.end() ? ConfNodeHandle() : found->second;
}

void ConfNode::clear()
{
    // Kept aside so that the subtree goes through the destructor's own loop.
    std::map<std::string, ConfNodeHandle> removed;
    removed.swap(children);
    for (auto& [childName, child] : removed) {
        if (child && child->parent == this)
            child->parent = nullptr;
    }
    childOrder.clear();
    attributes.clear();
    list.clear();
    name.clear();
    value.clear();
    type = ConfNodeType::None;
    if (!removed.empty()) {
        // A stand-in owner releases the subtree without recursion.
        ConfNode holder("", ConfNodeType::None);
        holder.children.swap(removed);
    }
}

ConfNodeHandle ConfNode::find(const std::string& path) const
{
    const ConfNode* current = this;
    size_t offset = 0;
    bool last = false;
    while (true) {
        const std::string component = nextComponent(path, offset, last);
        if (component.empty())
            return ConfNodeHandle();
        ConfNodeHandle child = current->findChild(component);
        if (!child || last)
            return child;
        current = child.get();
    }
}

ConfNodeHandle ConfNode::findOrCreate(const std::string& path, int32_t newType)
{
    ConfNode* current = this;
    size_t offset = 0;
    bool last = false;
    while (true) {
        const std::string component = nextComponent(path, offset, last);
        if (component.empty())
            return ConfNodeHandle();
        ConfNodeHandle child = current->findChild(component);
        if (child && last && child->type != newType) {
            current->removeChild(component);
            child.reset();
        }
        if (!child) {
            try {
                child = createNode(component, last ? newType : ConfNodeType::None);
            } catch (const Factory_OutOfMemory&) {
                return ConfNodeHandle();
            }
            current->addChild(child);
        }
        if (last)
            return child;
        current = child.get();
    }
}

void ConfNode::copy(const ConfNode& other)
{
    // Copies are made before any is added, so copying an ancestor of this node is safe.
    std::vector<ConfNodeHandle> copies;
    for (ConfNode* child : orderedChildren(other))
        copies.push_back(createCopy(*child));
    copyContent(*this, other);
    for (const auto& copied : copies)
        addChild(copied);
}

bool ConfNode::merge(const ConfNode& other)
{
    if (name != other.name)
        return false;
    std::vector<std::pair<ConfNode*, const ConfNode*>> pending{{this, &other}};
    while (!pending.empty()) {
        const auto [target, source] = pending.back();
        pending.pop_back();
        if (target->name != source->name)
            continue;
        target->type = source->type;
        target->value = source->value;
        for (const auto& [key, text] : source->attributes)
            target->attributes[key] = text;
        std::vector<std::pair<ConfNode*, const ConfNode*>> next;
        for (ConfNode* sourceChild : orderedChildren(*source)) {
            ConfNodeHandle existing = target->findChild(sourceChild->name);
            if (existing)
                next.emplace_back(existing.get(), sourceChild);
            else
                target->addChild(createCopy(*sourceChild));
        }
        pending.insert(pending.end(), next.rbegin(), next.rend());
    }
    return true;
}

// ---- serial form

void ConfNode::writeTo(StreamBase& stream) const
{
    struct Frame {
        std::vector<ConfNode*> children;
        size_t next = 0;
    };
    std::vector<Frame> pending;
    pending.push_back(Frame{orderedChildren(*this)});
    writeOwnPart(*this, stream, static_cast<uint32_t>(pending.back().children.size()));
    while (!pending.empty()) {
        Frame& frame = pending.back();
        if (frame.next >= frame.children.size()) {
            pending.pop_back();
            continue;
        }
        const ConfNode* child = frame.children[frame.next++];
        Frame childFrame{orderedChildren(*child)};
        writeOwnPart(*child, stream, static_cast<uint32_t>(childFrame.children.size()));
        pending.push_back(std::move(childFrame));
    }
}

void ConfNode::readFrom(StreamBase& stream)
{
    clear();
    struct Frame {
        ConfNode* node;
        uint32_t remaining;
    };
    std::vector<Frame> pending;
    pending.push_back(Frame{this, readOwnPart(*this, stream)});
    while (!pending.empty()) {
        Frame& frame = pending.back();
        if (frame.remaining == 0) {
            pending.pop_back();
            continue;
        }
        --frame.remaining;
        ConfNode* parentNode = frame.node;
        ConfNodeHandle child = createRoot();
        const uint32_t childCount = readOwnPart(*child, stream);
        parentNode->addChild(child);
        pending.push_back(Frame{child.get(), childCount});
    }
}

}  // namespace KelvraCorelib
