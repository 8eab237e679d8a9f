#include "corelib/ConfOldFile.h"

#include <unordered_map>
#include <utility>
#include <vector>

#include "corelib/ConfBase.h"
#include "corelib/File.h"
#include "corelib/FileTools.h"
#include "corelib/ParamStream.h"
#include "corelib/StringTools.h"

namespace KelvraCorelib {

namespace {

const char* const prematureEndTemplate =
    "@conf-old-file.load.premature-end-of-file{Premature end of file in line % in file \"%\"};";
const char* const invalidNodeTemplate =
    "@conf-old-file.load.invalid-node{Invalid configuration node definition in line % in file \"%\"};";
const char* const tooDeepTemplate =
    "@conf-old-file.load.too-deep{Configuration nodes nested deeper than % levels in line % in file \"%\"};";
const char* const fileErrorTemplate = "@conf-old-file.load.file-error{Failed to load file \"%\"};";

// Whitespace skipped between the parts of a definition (the trimming of names and type
// words uses StringTools::whitespaceSet, which adds backspace and form feed).
bool isSkippedWhitespace(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\r' || c == '\n';
}

int32_t typeForWord(const std::string& word)
{
    static const std::unordered_map<std::string, int32_t> types = {
        {"String", ConfNodeType::String},     {"Bool", ConfNodeType::Bool},
        {"Integer", ConfNodeType::Int},       {"Real", ConfNodeType::Float},
        {"DirName", ConfNodeType::Dir},       {"FileName", ConfNodeType::File},
        {"DateTime", ConfNodeType::DateTime}, {"Date", ConfNodeType::DateTime},
        {"Time", ConfNodeType::TimeOfDay},    {"TimeSpan", ConfNodeType::TimeSpan},
        {"NetworkAddress", ConfNodeType::String}, {"NetworkIP", ConfNodeType::String},
        {"NetworkPort", ConfNodeType::Int},
    };
    if (word.empty())
        return ConfNodeType::None;
    const auto found = types.find(word);
    return found == types.end() ? ConfNodeType::String : found->second;
}

// Reads node definitions character by character, one character of look-back.
class DefinitionReader {
public:
    DefinitionReader(File& file, const std::string& fileName) : file(file), fileName(fileName) {}

    // Reads one definition, its children included, into node (a top-level one has depth 1).
    // Throws LoadNode_EndOfNodes for an empty name.
    void readDefinition(ConfNode& node, uint32_t depth)
    {
        skipWhitespace();
        std::string name;
        readUpTo('(', name);
        StringTools::trimRight(name);
        if (name.empty())
            throw ConfOldFile::LoadNode_EndOfNodes();
        if (depth > ConfOldFile::maximumDepth)
            throw ConfOldFile::Load_TooDeep(tooDeepTemplate, KELVRA_HERE,
                                            ParamStream() << uint64_t(ConfOldFile::maximumDepth)
                                                          << file.lineNumber() << fileName);
        std::string word;
        readUpTo(')', word);
        StringTools::trimLeft(StringTools::trimRight(word));
        node.name = std::move(name);
        node.type = typeForWord(word);
        node.value.clear();

        // A missing "=" or quote: the character read in its place is gone, the value empty.
        char c;
        skipWhitespace();
        if (next(c) && c == '=') {
            skipWhitespace();
            if (next(c) && c == '"')
                readUpTo('"', node.value);
        }

        skipWhitespace();
        if (!next(c))
            throw ConfOldFile::Load_PrematureEndOfFile(prematureEndTemplate, KELVRA_HERE, lineAndName());
        if (c != '{')
            throw ConfOldFile::Load_InvalidNode(invalidNodeTemplate, KELVRA_HERE, lineAndName());
        for (;;) {
            if (!next(c))
                throw ConfOldFile::Load_PrematureEndOfFile(prematureEndTemplate, KELVRA_HERE, lineAndName());
            if (isSkippedWhitespace(c))
                continue;
            if (c == '}')
                return;
            putBack(c);
            ConfNodeHandle child = createRoot();
            readDefinition(*child, depth + 1);
            node.addChild(child);
        }
    }

private:
    // False at the end of the file. A read that fails (a damaged compressed stream, or one
    // cut short, which would otherwise pass for a complete file) throws Load_FileError.
    bool next(char& c)
    {
        if (hasPutBack) {
            hasPutBack = false;
            c = putBackChar;
            return true;
        }
        if (file.readChar(c))
            return true;
        if (file.hasFailed() || !file.atEnd())
            throw ConfOldFile::Load_FileError(fileErrorTemplate, KELVRA_HERE, ParamStream() << fileName);
        return false;
    }

    void putBack(char c)
    {
        putBackChar = c;
        hasPutBack = true;
    }

    void skipWhitespace()
    {
        char c;
        while (next(c)) {
            if (!isSkippedWhitespace(c)) {
                putBack(c);
                return;
            }
        }
    }

    // Appends every character up to the delimiter (consumed) or the end of the file.
    void readUpTo(char delimiter, std::string& text)
    {
        char c;
        while (next(c) && c != delimiter)
            text.push_back(c);
    }

    ParamStream lineAndName() const { return ParamStream() << file.lineNumber() << fileName; }

    File& file;
    const std::string& fileName;
    char putBackChar = 0;
    bool hasPutBack = false;
};

// Old durations to P-notation: 15M -> PT15M, 1D12H -> P1DT12H; "P" restarts the result.
std::string convertDuration(const std::string& text)
{
    std::string result = "P";
    std::string buffer;
    bool timePart = false;
    for (const char c : text) {
        switch (c) {
        case 'D':
        case 'd':
            result += buffer;
            result += 'D';
            buffer.clear();
            break;
        case 'H':
        case 'h':
        case 'M':
        case 'm':
        case 'S':
        case 's':
            if (!timePart) {
                result += 'T';
                timePart = true;
            }
            result += buffer;
            result += static_cast<char>(c & ~0x20);
            buffer.clear();
            break;
        case 'P':
            result.assign(1, 'P');
            break;
        default:
            buffer.push_back(c);
            break;
        }
    }
    return result;
}

bool hasReferences(int32_t type)
{
    return type == ConfNodeType::String || type == ConfNodeType::Dir || type == ConfNodeType::File;
}

// The converted values of one parsed tree, each computed once. References are inlined with
// an explicit stack, so that a chain of references of any length never deepens the call
// stack; a reference to a value still being converted (a loop) stays in place.
class ValueConverter {
public:
    ValueConverter(const ConfNode& rawRoot, PathStyle style) : rawRoot(rawRoot), style(style) {}

    // Converts every value of the tree below rawRoot, in definition order.
    void convertAll()
    {
        std::vector<const ConfNode*> pending{&rawRoot};
        while (!pending.empty()) {
            const ConfNode* node = pending.back();
            pending.pop_back();
            convert(*node);
            for (auto name = node->childOrder.rbegin(); name != node->childOrder.rend(); ++name)
                pending.push_back(node->children.at(*name).get());
        }
    }

    // The converted value, moved out (convertAll first; once per node).
    std::string take(const ConfNode& node) { return std::move(entries.at(&node).value); }

private:
    struct Entry {
        bool done = false;
        std::string value;
    };
    struct Frame {
        const ConfNode* node;
        size_t position;  // in node->value, up to which output holds the converted text
        size_t search;    // in node->value, where the search for the next reference goes on
        std::string output;
    };

    void convert(const ConfNode& start)
    {
        if (entries.count(&start) != 0)
            return;
        if (!hasReferences(start.type)) {
            entries[&start] = Entry{true, finish(start, std::string(start.value))};
            return;
        }
        entries[&start] = Entry{};
        std::vector<Frame> frames;
        frames.push_back(Frame{&start, 0, 0, std::string()});
        while (!frames.empty()) {
            // Index, not reference: pushing a frame may move the others.
            const size_t top = frames.size() - 1;
            const ConfNode* first = step(frames[top]);
            if (first != nullptr) {
                entries[first] = Entry{};
                frames.push_back(Frame{first, 0, 0, std::string()});
                continue;
            }
            Frame& frame = frames[top];
            frame.output.append(frame.node->value, frame.position, std::string::npos);
            Entry& entry = entries[frame.node];
            entry.value = finish(*frame.node, std::move(frame.output));
            entry.done = true;
            frames.pop_back();
        }
    }

    // Inlines the references of frame's value until it ends (null) or until a referenced
    // value must be converted first (that node, whose reference is handled again after it).
    const ConfNode* step(Frame& frame)
    {
        const std::string& text = frame.node->value;
        size_t& search = frame.search;
        for (;;) {
            const size_t dollar = text.find('$', search);
            if (dollar == std::string::npos || dollar + 3 >= text.size())
                return nullptr;
            if (text[dollar + 1] != '{') {
                search = dollar + 1;
                continue;
            }
            const size_t close = text.find('}', dollar + 2);
            if (close == std::string::npos)
                return nullptr;
            const ConfNodeHandle target = rawRoot.find(text.substr(dollar + 2, close - dollar - 2));
            search = close + 1;
            if (!target)
                continue;  // stays for the store to expand when the entry is read
            const auto found = entries.find(target.get());
            if (found == entries.end()) {
                if (hasReferences(target->type)) {
                    search = dollar;
                    return target.get();
                }
                convert(*target);
            } else if (!found->second.done) {
                continue;  // a loop: the reference stays
            }
            const std::string& inserted = entries.at(target.get()).value;
            const size_t before = dollar - frame.position;
            // Past either bound the reference stays, for the store to expand or refuse.
            if (frame.output.size() + before + inserted.size() > ConfOldFile::maximumInlinedLength ||
                inlinedTotal + inserted.size() > ConfOldFile::maximumInlinedTotal)
                continue;
            frame.output.append(text, frame.position, before);
            frame.output += inserted;
            inlinedTotal += inserted.size();
            frame.position = close + 1;
        }
    }

    // The conversion by type after inlining.
    std::string finish(const ConfNode& node, std::string text) const
    {
        switch (node.type) {
        case ConfNodeType::Dir:
            return fullNormalise(addTrailingSeparator(text, style), style);
        case ConfNodeType::File:
            return fullNormalise(text, style);
        case ConfNodeType::TimeSpan:
            return convertDuration(text);
        default:
            return text;
        }
    }

    const ConfNode& rawRoot;
    PathStyle style;
    std::unordered_map<const ConfNode*, Entry> entries;
    size_t inlinedTotal = 0;
};

// Copies name, type and attributes, with the converted values, in definition order.
void buildConverted(const ConfNode& source, ConfNode& target, ValueConverter& converter)
{
    target.name = source.name;
    target.type = source.type;
    target.attributes = source.attributes;
    target.value = converter.take(source);
    for (const std::string& name : source.childOrder) {
        ConfNodeHandle child = createRoot();
        buildConverted(*source.children.at(name), *child, converter);
        target.addChild(child);
    }
}

// The caught error as a plain Exception with one more annotation.
[[noreturn]] void throwPlain(const Exception& caught, const std::string& annotation)
{
    Exception plain(caught);
    plain.annotations.push_back(annotation);
    throw plain;
}

}  // namespace

ConfOldFile::ConfOldFile() : ImsAgent("conf-old-file")
{
    logger.setModuleName("conffile");
}

ConfOldFile::~ConfOldFile() = default;

void ConfOldFile::loadIntoMemory(const std::string& fileName)
{
    logger.debug("ConfOldFile::loadIntoMemory: Loading \"%\"", ParamStream() << fileName);
    rawTree.reset();
    tree.reset();
    if (!exists(fileName))
        throw Load_FileNotFound("@conf-old-file.load.file-not-found{Configuration file \"%\" was not found};",
                                KELVRA_HERE, ParamStream() << fileName);
    // A directory opens as a stream on some systems but has nothing to read.
    File file(fileName);
    if (isDirectory(fileName) || !file.openRead())
        throw Load_FileError(fileErrorTemplate, KELVRA_HERE, ParamStream() << fileName);

    rawTree = createRoot();
    try {
        DefinitionReader reader(file, fileName);
        for (;;) {
            ConfNodeHandle node = createRoot();
            reader.readDefinition(*node, 1);
            rawTree->addChild(node);
        }
    } catch (const LoadNode_EndOfNodes&) {
        // The normal end: an empty name, usually at the end of the file.
    } catch (const Load_InvalidNode& caught) {
        rawTree.reset();
        throwPlain(caught, KELVRA_HERE);
    } catch (const Load_PrematureEndOfFile& caught) {
        rawTree.reset();
        throwPlain(caught, KELVRA_HERE);
    } catch (const Load_TooDeep& caught) {
        rawTree.reset();
        throwPlain(caught, KELVRA_HERE);
    } catch (const ConfNode::AddChild_NameAlreadyInUse& caught) {
        rawTree.reset();
        throwPlain(caught, KELVRA_HERE);
    } catch (...) {
        rawTree.reset();
        throw;
    }

    ConfNodeHandle converted = createRoot();
    {
        ValueConverter converter(*rawTree, pathStyle);
        converter.convertAll();
        buildConverted(*rawTree, *converted, converter);
    }
    tree = std::move(converted);
    rawTree.reset();
    logger.debug("ConfOldFile::loadIntoMemory: Successfully loaded");
    file.close();
}

void ConfOldFile::sendToBase(bool clearOld)
{
    logger.debug("ConfOldFile::sendToBase: Sending to local configuration base");
    const char* const failedTemplate =
        "@conf-old-file.load.failed-to-send-to-base{Failed to send configuration data to configuration base};";
    // Nothing loaded: sending an empty tree could replace the store's tree with nothing.
    if (!tree)
        throw Load_FailedToSendToBase(failedTemplate, KELVRA_HERE);
    StringStream stream;
    tree->writeTo(stream);
    ConfDataParam parameter(&stream);
    ImsMessage message("conf", "data", clearOld ? "clear-old" : "", &parameter);
    if (!sendMessage(message))
        throw Load_FailedToSendToBase(failedTemplate, KELVRA_HERE);
    logger.debug("ConfFile::send: Successfully sent");
    tree->clear();
}

void ConfOldFile::load(const std::string& fileName, bool clearOld)
{
    loadIntoMemory(fileName);
    sendToBase(clearOld);
}

}  // namespace KelvraCorelib
