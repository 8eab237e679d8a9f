#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "corelib/ConfBase.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;

namespace fs = std::filesystem;

namespace {

// Sends messages to the store through the process hub, as the configuration agent does.
class Client : public ImsAgent {
public:
    Client() : ImsAgent("conf-test") {}

    bool load(const ConfNode& tree, bool clearOld)
    {
        StringStream stream;
        tree.writeTo(stream);
        return load(stream, clearOld);
    }
    bool load(StringStream& stream, bool clearOld)
    {
        ConfDataParam param(&stream);
        ImsMessage message("conf", "data", clearOld ? "clear-old" : "", &param);
        return sendMessage(message);
    }
    bool keyword(const std::string& keyword, const std::string& path)
    {
        ConfKeywordParam param(keyword, path);
        ImsMessage message("conf", "keyword", "", &param);
        return sendMessage(message);
    }
    std::string rawPath(const std::string& raw)
    {
        ConfKeywordParam param(raw, "");
        ImsMessage message("conf", "rawpath", "", &param);
        EXPECT_TRUE(sendMessage(message));
        return param.path;
    }
    int32_t query(const std::string& path, int32_t type, void* value, bool isSet = false)
    {
        ConfQueryParam param(path, type, value, isSet);
        return send(param);
    }
    int32_t send(ConfQueryParam& param)
    {
        ImsMessage message("conf", "query", "", &param);
        EXPECT_TRUE(sendMessage(message));
        return param.status;
    }
    std::string read(const std::string& path)
    {
        std::string text;
        EXPECT_EQ(query(path, ConfNodeType::String, &text), ConfQueryParam::statusDone) << path;
        return text;
    }
};

const std::string circularReference = "[ERROR:CIRCULAR-REFERENCE]";

// The store's log records of the given level.
struct RecordSink : TestSupport::LogSink {
    explicit RecordSink(const std::string& level) : LogSink("confbase", level) {}
};

ConfNodeHandle entry(const ConfNodeHandle& root, const std::string& path, int32_t type, const std::string& text)
{
    ConfNodeHandle node = root->findOrCreate(path, type);
    node->value = text;
    return node;
}

}  // namespace

TEST(ConfBase, KeywordsAndRawPaths)
{
    ConfBase store;
    Client client;
    EXPECT_TRUE(client.keyword("target", "old.path"));
    EXPECT_TRUE(client.keyword("target", "trawlex.target.dir"));
    client.keyword("a", "first");
    client.keyword("b", "second");
    client.keyword("pct", "x%target%y");

    EXPECT_EQ(client.rawPath("%target%"), "trawlex.target.dir");
    EXPECT_EQ(client.rawPath("%unknown%.x"), "%unknown%.x");
    EXPECT_EQ(client.rawPath("a%target"), "a");
    EXPECT_EQ(client.rawPath("%a%.%b%"), "first.second");
    EXPECT_EQ(client.rawPath("50%%"), "50%%");
    EXPECT_EQ(client.rawPath("%pct%"), "x%target%y");  // not scanned again
    EXPECT_EQ(client.rawPath(""), "");

    ConfNodeHandle dir = entry(store.root = createRoot(), "trawlex.target.dir", ConfNodeType::Dir, "d");
    EXPECT_EQ(store.lookup("%target%"), dir);
    EXPECT_EQ(store.lookup(""), store.root);
    EXPECT_FALSE(store.lookup("%missing%"));

    // Messages of other groups and other general types are not the store's.
    ImsMessage other("conf", "other", "", nullptr);
    EXPECT_FALSE(client.sendMessage(other));
    ImsMessage wrongParameter("conf", "query", "", nullptr);
    EXPECT_FALSE(client.sendMessage(wrongParameter));
    EXPECT_EQ(store.handleMessage(ImsMessage("system", "query", "")), ImsAgent::notHandled);
}

TEST(ConfBase, DataMessagesReplaceOrMerge)
{
    ConfBase store;
    Client client;
    RecordSink warnings("3");
    ConfStringList names;
    EXPECT_EQ(client.query("", ConfNodeType::SubEntries, &names), ConfQueryParam::statusNotFound);

    ConfNodeHandle first = createRoot();
    entry(first, "zeta.s", ConfNodeType::String, "one");
    entry(first, "alpha", ConfNodeType::Int, "1");
    EXPECT_TRUE(client.load(*first, false));
    ConfNodeHandle second = createRoot();
    entry(second, "zeta.s", ConfNodeType::String, "two");
    entry(second, "beta", ConfNodeType::Bool, "yes");
    EXPECT_TRUE(client.load(*second, false));

    EXPECT_EQ(client.query("", ConfNodeType::SubEntries, &names), ConfQueryParam::statusDone);
    EXPECT_EQ(names, (ConfStringList{"zeta", "alpha", "beta"}));
    EXPECT_EQ(client.read("zeta.s"), "two");
    EXPECT_EQ(client.query("alpha", ConfNodeType::SubEntries, &names), ConfQueryParam::statusDone);
    EXPECT_TRUE(names.empty());

    // Another root name: nothing merged, a warning with the stream's text, not handled.
    ConfNodeHandle foreign = createNode("other", ConfNodeType::None);
    entry(foreign, "gamma", ConfNodeType::String, "g");
    StringStream foreignStream;
    foreign->writeTo(foreignStream);
    EXPECT_FALSE(client.load(foreignStream, false));
    EXPECT_FALSE(store.lookup("gamma"));
    ASSERT_EQ(warnings.texts().size(), 1u);
    EXPECT_EQ(warnings.texts()[0], "@config.cache.merge{Failed to merge new configuration data with old}; "
                                   "(New data stream: " + foreignStream.serial + ")");

    // A broken stream leaves the store as it was; the error reaches the sender.
    StringStream broken;
    broken.serial = foreignStream.serial.substr(0, foreignStream.serial.size() - 3);
    EXPECT_THROW(client.load(broken, true), ConfNode::ReadFrom_InvalidData);
    EXPECT_EQ(client.read("zeta.s"), "two");

    // "clear-old" replaces the tree whatever its root is called; a root without a name is
    // replaced by the next load as well.
    EXPECT_TRUE(client.load(*foreign, true));
    EXPECT_EQ(client.read("gamma"), "g");
    EXPECT_FALSE(store.lookup("zeta"));
    EXPECT_TRUE(client.load(*createNode("", ConfNodeType::None), true));
    EXPECT_TRUE(client.load(*first, false));
    EXPECT_EQ(store.root->name, "root");
    EXPECT_EQ(client.read("zeta.s"), "one");
}

TEST(ConfBase, ReadsSetsAndEveryStatus)
{
    ConfBase store;
    Client client;
    int64_t number = 0;
    EXPECT_EQ(client.query("x", ConfNodeType::Int, &number), ConfQueryParam::statusNotFound);  // no tree yet

    ConfNodeHandle tree = createRoot();
    entry(tree, "v.bool", ConfNodeType::Bool, "ok");
    entry(tree, "v.int", ConfNodeType::Int, "-12abc");
    entry(tree, "v.uint", ConfNodeType::UInt, "42");
    entry(tree, "v.when", ConfNodeType::DateTime, "2000-01-01T00:00:01Z");
    entry(tree, "v.clock", ConfNodeType::TimeOfDay, "00:00:02Z");
    entry(tree, "v.zone", ConfNodeType::TimeZone, "+02:00");
    entry(tree, "v.span", ConfNodeType::TimeSpan, "PT90S");
    entry(tree, "v.list", ConfNodeType::List, "")->setList({"p", "q"}, ',');
    entry(tree, "v.dir", ConfNodeType::Dir, "/var/out//");
    entry(tree, "v.file", ConfNodeType::File, "/var/out/f");
    entry(tree, "v.local", ConfNodeType::LocalInt, "1");
    ASSERT_TRUE(client.load(*tree, false));

    // Each type lands in storage of its own kind.
    bool flag = false;
    uint64_t unsignedNumber = 0;
    DateTime when;
    TimeZone zone;
    TimeSpan span;
    ConfStringList list;
    std::string text;
    EXPECT_EQ(client.query("v.bool", ConfNodeType::Bool, &flag), ConfQueryParam::statusDone);
    EXPECT_EQ(client.query("v.int", ConfNodeType::Int, &number), ConfQueryParam::statusDone);
    EXPECT_EQ(client.query("v.when", ConfNodeType::DateTime, &when), ConfQueryParam::statusDone);
    EXPECT_EQ(client.query("v.zone", ConfNodeType::TimeZone, &zone), ConfQueryParam::statusDone);
    EXPECT_EQ(client.query("v.span", ConfNodeType::TimeSpan, &span), ConfQueryParam::statusDone);
    EXPECT_EQ(client.query("v.list", ConfNodeType::List, &list), ConfQueryParam::statusDone);
    EXPECT_TRUE(flag);
    EXPECT_EQ(number, -12);
    EXPECT_EQ(when.count, 3155760001000LL);
    EXPECT_EQ(zone.standardOffset, 7200000);
    EXPECT_EQ(span.milliseconds, 90000);
    EXPECT_EQ(list, (ConfStringList{"p", "q"}));
    EXPECT_EQ(client.query("v.clock", ConfNodeType::TimeOfDay, &number), ConfQueryParam::statusDone);
    EXPECT_EQ(number, 3155760002000LL);
    EXPECT_EQ(client.query("v.dir", ConfNodeType::Dir, &text), ConfQueryParam::statusDone);
    EXPECT_EQ(text, fs::path("/var/out").make_preferred().string());  // trailing separators go
    EXPECT_EQ(client.query("v.file", ConfNodeType::File, &text), ConfQueryParam::statusDone);
    EXPECT_EQ(text, fs::path("/var/out/f").make_preferred().string());

    // A successful read ends the dispatch, every other outcome lets it go on.
    ConfQueryParam direct("v.int", ConfNodeType::Int, &number, false);
    EXPECT_EQ(store.query(ImsMessage("conf", "query", "", &direct)), ImsAgent::handledFinal);
    ConfQueryParam missing("v.none", ConfNodeType::Int, &number, false);
    EXPECT_EQ(store.query(ImsMessage("conf", "query", "", &missing)), ImsAgent::handled);

    EXPECT_EQ(client.query("v.missing", ConfNodeType::Int, &number), ConfQueryParam::statusNotFound);
    EXPECT_EQ(client.query("v.int", ConfNodeType::String, &text), ConfQueryParam::statusWrongType);
    EXPECT_EQ(client.query("v", ConfNodeType::None, &text), ConfQueryParam::statusUnknownType);
    EXPECT_EQ(client.query("v.local", ConfNodeType::LocalInt, &number), ConfQueryParam::statusUnknownType);
    EXPECT_EQ(client.query("v.local", ConfNodeType::None, &number), ConfQueryParam::statusWrongType);

    // Set family: typed sets never create, create requests do.
    number = 7;
    EXPECT_EQ(client.query("v.int", ConfNodeType::Int, &number, true), ConfQueryParam::statusDone);
    EXPECT_EQ(store.root->find("v.int")->value, "7");
    EXPECT_EQ(client.query("new.entry", ConfNodeType::Int, &number, true), ConfQueryParam::statusNotFound);
    EXPECT_EQ(client.query("v.int", ConfNodeType::UInt, &unsignedNumber, true), ConfQueryParam::statusWrongType);
    EXPECT_EQ(client.query("v.when", ConfNodeType::DateTime, &when, true), ConfQueryParam::statusUnknownType);
    EXPECT_EQ(client.query("v.clock", ConfNodeType::TimeOfDay, &number, true), ConfQueryParam::statusUnknownType);
    EXPECT_EQ(client.query("v.local", ConfNodeType::LocalInt, &number, true), ConfQueryParam::statusUnknownType);

    client.keyword("n", "new");
    ConfQueryParam create("%n%.entry", ConfQueryParam::createEntry, nullptr, true);
    const std::string description = "a new entry";
    create.description = &description;
    create.createType = ConfNodeType::String;
    EXPECT_EQ(client.send(create), ConfQueryParam::statusDone);
    text = "set";
    EXPECT_EQ(client.query("new.entry", ConfNodeType::String, &text, true), ConfQueryParam::statusDone);
    EXPECT_EQ(client.read("new.entry"), "set");
    EXPECT_EQ(store.root->find("new.entry")->getAttribute("description"), "a new entry");
    for (const char* invalid : {"", "a..b", ".a", "%nokeyword"})
        EXPECT_EQ(client.query(invalid, ConfQueryParam::createEntry, nullptr, true), ConfQueryParam::statusInvalidPath)
            << invalid;

    ConfQueryParam listSet("v.list", ConfNodeType::List, &text, true);
    listSet.listSeparator = ';';
    text = "x;;y;";
    EXPECT_EQ(client.send(listSet), ConfQueryParam::statusBadListKind);
    listSet.listAttributes["ltype"] = "str";
    listSet.status = 0;
    EXPECT_EQ(client.send(listSet), ConfQueryParam::statusDone);
    EXPECT_EQ(store.root->find("v.list")->list, (ConfStringList{"x", "", "y"}));
    list = {"only"};
    listSet.value = &list;
    listSet.listAttributes["ltype"] = "list";
    EXPECT_EQ(client.send(listSet), ConfQueryParam::statusDone);
    EXPECT_EQ(store.root->find("v.list")->getAsText(), "only");
    listSet.listAttributes["ltype"] = "List";
    EXPECT_EQ(client.send(listSet), ConfQueryParam::statusBadListKind);

    EXPECT_EQ(client.query("new", ConfQueryParam::removeEntry, nullptr, true), ConfQueryParam::statusDone);
    EXPECT_FALSE(store.lookup("new.entry"));
    EXPECT_EQ(client.query("new", ConfQueryParam::removeEntry, nullptr, true), ConfQueryParam::statusInvalidPath);
    EXPECT_EQ(client.query("", ConfQueryParam::removeEntry, nullptr, true), ConfQueryParam::statusInvalidPath);
    // A node that its parent knows under another name cannot be removed.
    store.root->find("v.uint")->name = "renamed";
    EXPECT_EQ(client.query("v.uint", ConfQueryParam::removeEntry, nullptr, true), ConfQueryParam::statusRemoveFailed);
}

TEST(ConfBase, ReferenceExpansion)
{
    ConfBase store;
    Client client;
    store.root = createRoot();
    const ConfNodeHandle& root = store.root;
    entry(root, "x", ConfNodeType::Dir, "C:\\base");
    entry(root, "n", ConfNodeType::Int, "12abc");
    entry(root, "s.uses", ConfNodeType::String, "${x}/y");
    entry(root, "s.missing", ConfNodeType::String, "${nothing}/y and ${s.missing.deeper}");
    entry(root, "s.open", ConfNodeType::String, "a${x}b${x");
    entry(root, "s.number", ConfNodeType::String, "n=${n}");
    entry(root, "s.nested", ConfNodeType::String, "<${s.uses}|${f}>");
    entry(root, "f", ConfNodeType::File, "${s.number}.txt");
    entry(root, "s.twice", ConfNodeType::String, "${b}${b}");
    entry(root, "b", ConfNodeType::String, "z");
    entry(root, "s.keyword", ConfNodeType::String, "${%kw%}");
    entry(root, "s.empty", ConfNodeType::String, "[${}]");
    entry(root, "loop.self", ConfNodeType::String, "before ${loop.self} after");
    entry(root, "loop.a", ConfNodeType::String, "${loop.b}");
    entry(root, "loop.b", ConfNodeType::Dir, "${loop.a}");
    entry(root, "loop.inner", ConfNodeType::String, "ok ${loop.a}");
    client.keyword("kw", "b");

    EXPECT_EQ(client.read("s.uses"), "C:\\base/y");
    EXPECT_EQ(client.read("s.missing"), "${nothing}/y and ${s.missing.deeper}");
    EXPECT_EQ(client.read("s.open"), "aC:\\baseb${x");
    EXPECT_EQ(client.read("s.number"), "n=12");
    EXPECT_EQ(client.read("s.nested"), "<C:\\base/y|n=12.txt>");
    EXPECT_EQ(client.read("s.twice"), "zz");
    EXPECT_EQ(client.read("s.keyword"), "z");
    EXPECT_EQ(client.read("s.empty"), "[]");
    EXPECT_EQ(client.read("loop.self"), circularReference);
    EXPECT_EQ(client.read("loop.a"), circularReference);
    std::string text;
    EXPECT_EQ(client.query("loop.b", ConfNodeType::Dir, &text), ConfQueryParam::statusDone);
    EXPECT_EQ(text, circularReference);
    EXPECT_EQ(client.read("loop.inner"), circularReference);
    EXPECT_EQ(client.query("f", ConfNodeType::File, &text), ConfQueryParam::statusDone);
    EXPECT_EQ(text, "n=12.txt");
}

TEST(ConfBase, HostileTreesAndReferences)
{
    ConfBase store;
    Client client;
    RecordSink warnings("3");

    // A tree 100,000 levels deep arrives, merges and is read.
    const size_t depth = 100000;
    ConfNodeHandle deep = createRoot();
    ConfNode* at = deep.get();
    std::string path;
    for (size_t i = 0; i < depth; ++i) {
        ConfNodeHandle next = createNode("d", i + 1 == depth ? ConfNodeType::String : ConfNodeType::None);
        at->addChild(next);
        at = next.get();
        path += i == 0 ? "d" : ".d";
    }
    at->value = "bottom";
    ASSERT_TRUE(client.load(*deep, false));
    deep.reset();
    EXPECT_EQ(client.read(path), "bottom");

    // A chain of 100,000 references, then the same chain closed into a loop.
    const ConfNodeHandle& root = store.root;
    for (size_t i = 0; i < depth; ++i)
        entry(root, "c" + std::to_string(i), ConfNodeType::String, "${c" + std::to_string(i + 1) + "}");
    entry(root, "c" + std::to_string(depth), ConfNodeType::String, "end");
    EXPECT_EQ(client.read("c0"), "end");
    root->find("c" + std::to_string(depth))->value = "${c0}";
    EXPECT_EQ(client.read("c0"), circularReference);
    EXPECT_TRUE(warnings.texts().empty());

    // Doubling references: 2^30 KiB, and 2^30 references that expand to nothing.
    for (int level = 0; level < 30; ++level) {
        const std::string next = std::to_string(level + 1);
        entry(root, "g" + std::to_string(level), ConfNodeType::String, "${g" + next + "}${g" + next + "}");
        entry(root, "e" + std::to_string(level), ConfNodeType::String, "${e" + next + "}${e" + next + "}");
    }
    entry(root, "g30", ConfNodeType::String, std::string(1024, 'x'));
    entry(root, "e30", ConfNodeType::String, "");
    EXPECT_EQ(client.read("g20"), std::string(1024 * 1024, 'x'));
    EXPECT_EQ(client.read("g0"), ConfBase::referenceTooLongText);
    EXPECT_EQ(client.read("e0"), ConfBase::referenceTooLongText);
    ASSERT_EQ(warnings.texts().size(), 2u);
    EXPECT_NE(warnings.texts()[0].find("root.g0"), std::string::npos) << warnings.texts()[0];
}
