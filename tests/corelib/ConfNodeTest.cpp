#include <gtest/gtest.h>

#include <cfloat>
#include <string>

#include "corelib/ConfNode.h"

using namespace KelvraCorelib;

namespace {

ConfNodeHandle leaf(const ConfNodeHandle& root, const std::string& path, int32_t type, const std::string& text)
{
    ConfNodeHandle node = root->findOrCreate(path, type);
    node->value = text;
    return node;
}

std::string textOf(int32_t type, const std::string& text)
{
    return leaf(createRoot(), "x", type, text)->getAsText();
}

// A tree with lists, separators, attributes, awkward texts and a child order that is not
// the alphabetical one.
ConfNodeHandle sampleTree()
{
    ConfNodeHandle root = createRoot();
    leaf(root, "z.s", ConfNodeType::String, "line\nbreak \\ and \x1e record");
    ConfNodeHandle list = leaf(root, "z.l", ConfNodeType::List, "");
    list->setList({"a", "", "c;d"}, ';');
    leaf(root, "a", ConfNodeType::UInt, "7")->setAttribute("description", "seven");
    root->findOrCreate("m", ConfNodeType::List)->setListFromText("", '\0');
    root->setAttribute("k", "v");
    return root;
}

void expectSameTree(const ConfNode& expected, const ConfNode& actual)
{
    EXPECT_EQ(actual.name, expected.name);
    EXPECT_EQ(actual.type, expected.type);
    EXPECT_EQ(actual.value, expected.value);
    EXPECT_EQ(actual.list, expected.list);
    if (expected.type == ConfNodeType::List) {
        EXPECT_EQ(actual.listSeparator, expected.listSeparator);
    }
    EXPECT_EQ(actual.attributes, expected.attributes);
    ASSERT_EQ(actual.childOrder, expected.childOrder);
    for (const auto& name : expected.childOrder) {
        ASSERT_EQ(actual.findChild(name)->parent, &actual);
        expectSameTree(*expected.findChild(name), *actual.findChild(name));
    }
}

// A chain root.n.n.n... of the given depth, built without recursion.
ConfNodeHandle chain(size_t depth)
{
    ConfNodeHandle root = createRoot();
    ConfNode* at = root.get();
    for (size_t i = 0; i < depth; ++i) {
        ConfNodeHandle next = createNode("n", ConfNodeType::None);
        at->addChild(next);
        at = next.get();
    }
    at->type = ConfNodeType::String;
    at->value = "bottom";
    return root;
}

}  // namespace

TEST(ConfNode, TypedValuesAndTheirTexts)
{
    EXPECT_FALSE(leaf(createRoot(), "b", ConfNodeType::Bool, "True")->getBool());
    for (const char* word : {"true", "yes", "on", "active", "ok"})
        EXPECT_TRUE(leaf(createRoot(), "b", ConfNodeType::Bool, word)->getBool()) << word;

    EXPECT_EQ(leaf(createRoot(), "i", ConfNodeType::Int, "-12abc")->getInt(), -12);
    EXPECT_EQ(leaf(createRoot(), "i", ConfNodeType::Int, "")->getInt(), 0);
    EXPECT_EQ(leaf(createRoot(), "u", ConfNodeType::UInt, "-5")->getUInt(), 0u);
    EXPECT_EQ(leaf(createRoot(), "u", ConfNodeType::UInt, "18446744073709551615x")->getUInt(), UINT64_MAX);
    EXPECT_EQ(leaf(createRoot(), "f", ConfNodeType::Float, "1e999")->getFloat(), DBL_MAX);

    EXPECT_EQ(textOf(ConfNodeType::Bool, "yes"), "true");
    EXPECT_EQ(textOf(ConfNodeType::Int, "-12abc"), "-12");
    EXPECT_EQ(textOf(ConfNodeType::UInt, ""), "0");
    EXPECT_EQ(textOf(ConfNodeType::Float, "2.50"), "2.5");
    EXPECT_EQ(textOf(ConfNodeType::DateTime, "2010-05-06T07:08:09.010Z"), "2010-05-06T07:08:09.010Z");
    EXPECT_EQ(textOf(ConfNodeType::TimeOfDay, "07:30:00"), "07:30:00");
    EXPECT_EQ(textOf(ConfNodeType::TimeZone, "+01:00"), "+01:00");
    EXPECT_EQ(textOf(ConfNodeType::TimeSpan, "PT36H"), "P1DT12H");
    EXPECT_EQ(textOf(ConfNodeType::None, "ignored"), "");
    EXPECT_EQ(textOf(ConfNodeType::LocalInt, "5"), "");

    ConfNodeHandle list = leaf(createRoot(), "l", ConfNodeType::List, "");
    list->setListFromText("a,,b,", ',');
    EXPECT_EQ(list->getList(), (ConfStringList{"a", "", "b"}));
    EXPECT_EQ(list->getAsText(), "a,,b");
    list->setListFromText("", ';');
    EXPECT_TRUE(list->getList().empty());
    list->setList({"x", "y"}, '|');
    list->setList(list->list, '+');  // its own list
    EXPECT_EQ(list->getAsText(), "x+y");

    EXPECT_EQ(typeName(13), "sub-entries");
    EXPECT_EQ(typeName(21), "local set");
    for (int32_t code : {14, 15, 22, -1})
        EXPECT_EQ(typeName(code), "undefined") << code;
}

TEST(ConfNode, DirAndFileUnderBothRuleSets)
{
    ConfNodeHandle root = createRoot();
    ConfNodeHandle dir = leaf(root, "d", ConfNodeType::Dir, "C:/data/out//");
    ConfNodeHandle file = leaf(root, "f", ConfNodeType::File, "C:/x/");
    EXPECT_EQ(dir->getDir(PathStyle::Windows), "C:\\data\\out");
    EXPECT_EQ(file->getFile(PathStyle::Windows), "C:\\x\\");
    EXPECT_EQ(dir->getDir(PathStyle::Posix), "C:/data/out");
    EXPECT_EQ(file->getFile(PathStyle::Posix), "C:/x/");
    EXPECT_EQ(dir->getAsText(PathStyle::Windows), "C:\\data\\out");

    dir->setDir("/");
    EXPECT_EQ(dir->getDir(PathStyle::Posix), "/");
    EXPECT_EQ(dir->getDir(PathStyle::Windows), "");
    dir->setDir("/var/log//");
    EXPECT_EQ(dir->getDir(PathStyle::Posix), "/var/log");
    dir->setDir("a\\b\\");
    EXPECT_EQ(dir->getDir(PathStyle::Posix), "a\\b\\");
    EXPECT_EQ(dir->value, "a\\b\\");  // stored as given
}

TEST(ConfNode, WrongTypeErrorsNameThePathAndChangeNothing)
{
    ConfNodeHandle root = createRoot();
    ConfNodeHandle node = leaf(root, "trawlex.name", ConfNodeType::String, "keep");
    try {
        node->setInt(5);
        FAIL() << "no exception";
    } catch (const ConfNode::Set_WrongType& e) {
        EXPECT_EQ(e.className, "Set_WrongType");
        EXPECT_EQ(e.messageTemplate, "@conf-node.set.wrong-type{Trying to set int value in node root.trawlex.name "
                                     "but this node is of type string};");
    }
    EXPECT_EQ(node->value, "keep");
    try {
        node->getTimeOfDay();
        FAIL() << "no exception";
    } catch (const ConfNode::Get_WrongType& e) {
        EXPECT_EQ(e.messageTemplate, "@conf-node.get.wrong-type{Trying to get time-of-day value from node "
                                     "root.trawlex.name but this node is of type string};");
    }
    EXPECT_THROW(node->setListFromText("a", ','), ConfNode::Set_WrongType);
    EXPECT_THROW(leaf(root, "u", 14, "")->getUInt(), ConfNode::Get_WrongType);
    EXPECT_THROW(root->getParent(), ConfNode::GetParent_NoParent);
    EXPECT_EQ(&node->getParent(), root->find("trawlex").get());
}

TEST(ConfNode, PathsChildrenAndCreation)
{
    ConfNodeHandle root = createRoot();
    ConfNodeHandle c = root->findOrCreate("a.b.c", ConfNodeType::UInt);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->getPath(), "root.a.b.c");
    EXPECT_EQ(root->find("a")->type, ConfNodeType::None);
    EXPECT_EQ(root->find("a.b")->type, ConfNodeType::None);
    EXPECT_EQ(root->findOrCreate("a.b.c", ConfNodeType::UInt), c);
    EXPECT_EQ(root->find("a.b.c"), c);
    EXPECT_EQ(root->find("a."), root->find("a"));
    for (const char* missing : {"", ".a", "a..b", "a.x", "b"})
        EXPECT_FALSE(root->find(missing)) << missing;
    EXPECT_FALSE(root->findOrCreate("", ConfNodeType::String));
    EXPECT_FALSE(root->findOrCreate("a..x", ConfNodeType::String));

    // A last node of another type is replaced; inner nodes are used whatever their type.
    c->value = "3";
    ConfNodeHandle replaced = root->findOrCreate("a.b.c", ConfNodeType::String);
    EXPECT_NE(replaced, c);
    EXPECT_EQ(replaced->value, "");
    EXPECT_EQ(c->parent, nullptr);
    EXPECT_EQ(root->findOrCreate("a.b.c.d", ConfNodeType::Int)->getPath(), "root.a.b.c.d");
    EXPECT_EQ(root->find("a.b.c"), replaced);

    root->findOrCreate("a.first", ConfNodeType::Int);
    ConfNodeHandle duplicate = createNode("first", ConfNodeType::String);
    try {
        root->find("a")->addChild(duplicate);
        FAIL() << "no exception";
    } catch (const ConfNode::AddChild_NameAlreadyInUse& e) {
        EXPECT_EQ(e.messageTemplate, "@conf-node.add-child.name-already-in-use{Cannot add child node \"first\" to "
                                     "\"root.a\" because another child with that name already exists};");
    }
    EXPECT_EQ(root->find("a.first")->type, ConfNodeType::Int);
    EXPECT_EQ(duplicate->parent, nullptr);
    EXPECT_EQ(root->find("a")->getChildNames(), (ConfStringList{"b", "first"}));

    ConfNodeHandle b = root->find("a.b");
    root->find("a")->removeChild("b");
    EXPECT_EQ(root->find("a")->getChildNames(), (ConfStringList{"first"}));
    EXPECT_EQ(b->parent, nullptr);
    EXPECT_EQ(b->find("c"), replaced);  // lives on with its handle
    try {
        root->removeChild("b");
        FAIL() << "no exception";
    } catch (const ConfNode::RemoveChild_NotFound& e) {
        EXPECT_EQ(e.messageTemplate, "@conf-node.remove-child.not-found{Cannot remove child node \"b\" from "
                                     "\"root\" because no such child exists};");
    }

    // Children that outlive their parent lose it, unless another parent has taken them.
    ConfNodeHandle orphan = root->find("a.first");
    ConfNodeHandle adopter = createNode("adopter", ConfNodeType::None);
    adopter->addChild(root->findOrCreate("a.b2", ConfNodeType::Int));
    root.reset();
    EXPECT_EQ(orphan->parent, nullptr);
    EXPECT_EQ(orphan->getPath(), "first");
    EXPECT_EQ(adopter->find("b2")->getPath(), "adopter.b2");
}

TEST(ConfNode, CopyAndMerge)
{
    ConfNodeHandle original = sampleTree();
    ConfNodeHandle copied = createCopy(*original);
    expectSameTree(*original, *copied);
    copied->find("z.s")->value = "changed";
    EXPECT_NE(original->find("z.s")->value, "changed");

    ConfNodeHandle other = createNode("other", ConfNodeType::String);
    other->addChild(createNode("new", ConfNodeType::Int));
    ConfNodeHandle before = createCopy(*copied);
    EXPECT_FALSE(copied->merge(*other));
    expectSameTree(*before, *copied);
    EXPECT_FALSE(copied->find("new"));
    EXPECT_EQ(copied->type, ConfNodeType::None);

    ConfNodeHandle update = createRoot();
    ConfNodeHandle newList = leaf(update, "z.l", ConfNodeType::List, "v");
    newList->setList({"new", "elements"}, ',');
    newList->setAttribute("description", "list");
    leaf(update, "b.deep", ConfNodeType::Int, "4");
    leaf(update, "a", ConfNodeType::String, "now a string");
    update->setAttribute("k2", "v2");
    ASSERT_TRUE(copied->merge(*update));

    EXPECT_EQ(copied->find("z.l")->list, (ConfStringList{"a", "", "c;d"}));
    EXPECT_EQ(copied->find("z.l")->listSeparator, ';');
    EXPECT_EQ(copied->find("z.l")->value, "v");
    EXPECT_EQ(copied->find("z.l")->getAttribute("description"), "list");
    EXPECT_EQ(copied->find("a")->type, ConfNodeType::String);
    EXPECT_EQ(copied->find("a")->getAttribute("description"), "seven");
    EXPECT_EQ(copied->find("b.deep")->getInt(), 4);
    EXPECT_EQ(copied->getChildNames(), (ConfStringList{"z", "a", "m", "b"}));
    EXPECT_EQ(copied->attributes, (std::map<std::string, std::string>{{"k", "v"}, {"k2", "v2"}}));
    update->find("b.deep")->value = "5";
    EXPECT_EQ(copied->find("b.deep")->getInt(), 4);  // a copy, not the other's node

    ConfNodeHandle target = createNode("t", ConfNodeType::Int);
    target->copy(*original);
    expectSameTree(*original, *target);
    EXPECT_THROW(target->copy(*original), ConfNode::AddChild_NameAlreadyInUse);
}

TEST(ConfNode, SerialFormRoundTripsAndRefusesBrokenData)
{
    ConfNodeHandle original = sampleTree();
    ParamStream items;
    original->writeTo(items);
    ConfNodeHandle fromItems = createRoot();
    fromItems->readFrom(items);
    expectSameTree(*original, *fromItems);

    StringStream serial;
    original->writeTo(serial);
    ConfNodeHandle fromSerial = createNode("stale", ConfNodeType::Int);
    fromSerial->addChild(createNode("old", ConfNodeType::None));
    fromSerial->readFrom(serial);
    expectSameTree(*original, *fromSerial);
    EXPECT_EQ(serial.readPosition, serial.serial.size());

    // Every cut of the serial form fails with an error, and so does every single flipped byte
    // that changes the structure; none reads beyond the text.
    for (size_t length = 0; length < serial.serial.size(); ++length) {
        StringStream cut;
        cut.serial = serial.serial.substr(0, length);
        EXPECT_THROW(createRoot()->readFrom(cut), ConfNode::ReadFrom_InvalidData) << length;
    }
    // A flipped byte that still reads gives a tree that reads back as itself.
    for (size_t at = 0; at < serial.serial.size(); ++at) {
        StringStream damaged;
        damaged.serial = serial.serial;
        damaged.serial[at] = '\x7f';
        try {
            ConfNodeHandle read = createRoot();
            read->readFrom(damaged);
            EXPECT_LE(damaged.readPosition, damaged.serial.size()) << at;
            StringStream again;
            read->writeTo(again);
            ConfNodeHandle reread = createRoot();
            reread->readFrom(again);
            expectSameTree(*read, *reread);
            EXPECT_EQ(again.readPosition, again.serial.size()) << at;
        } catch (const ConfNode::ReadFrom_InvalidData&) {
        }
    }

    // Counts are never trusted for allocations.
    StringStream huge;
    huge << std::string("root") << int32_t(ConfNodeType::List) << std::string("") << '\n' << uint32_t(0xFFFFFFFF)
         << std::string("one");
    EXPECT_THROW(createRoot()->readFrom(huge), ConfNode::ReadFrom_InvalidData);
    StringStream children;
    children << std::string("root") << int32_t(0) << std::string("") << uint32_t(0) << uint32_t(0xFFFFFFFF);
    EXPECT_THROW(createRoot()->readFrom(children), ConfNode::ReadFrom_InvalidData);

    StringStream twins;
    twins << std::string("root") << int32_t(0) << std::string("") << uint32_t(0) << uint32_t(2);
    for (int i = 0; i < 2; ++i)
        twins << std::string("same") << int32_t(5) << std::string("") << uint32_t(0) << uint32_t(0);
    EXPECT_THROW(createRoot()->readFrom(twins), ConfNode::AddChild_NameAlreadyInUse);
}

TEST(ConfNode, TreesOfHundredThousandLevels)
{
    const size_t depth = 100000;
    std::string path = "n";
    for (size_t i = 1; i < depth; ++i)
        path += ".n";

    ConfNodeHandle root = chain(depth);
    ConfNodeHandle bottom = root->find(path);
    ASSERT_TRUE(bottom);
    EXPECT_EQ(bottom->value, "bottom");
    EXPECT_EQ(bottom->getPath().size(), 4 + 2 * depth);

    StringStream serial;
    root->writeTo(serial);
    ConfNodeHandle read = createRoot();
    read->readFrom(serial);
    EXPECT_EQ(read->find(path)->value, "bottom");

    ConfNodeHandle copied = createCopy(*read);
    EXPECT_EQ(copied->find(path)->value, "bottom");
    ConfNodeHandle merged = createRoot();
    ASSERT_TRUE(merged->merge(*copied));
    ASSERT_TRUE(merged->merge(*read));
    EXPECT_EQ(merged->find(path)->getString(), "bottom");
    EXPECT_EQ(merged->findOrCreate(path + ".x", ConfNodeType::Int)->getPath().size(), 6 + 2 * depth);

    // A truncated deep form fails cleanly as well.
    StringStream cut;
    cut.serial = serial.serial.substr(0, serial.serial.size() / 2);
    EXPECT_THROW(createRoot()->readFrom(cut), ConfNode::ReadFrom_InvalidData);

    // Releasing the trees (also through clear) must not recurse.
    read->clear();
    EXPECT_TRUE(read->children.empty());
    root.reset();
    copied.reset();
    merged.reset();
    EXPECT_EQ(bottom->parent, nullptr);
}
