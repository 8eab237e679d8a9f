// The configuration file loader with real files, and the loaded tree reaching a real store.
#include <gtest/gtest.h>

#include <filesystem>
#include <typeinfo>

#include "corelib/ConfBase.h"
#include "corelib/ConfOldFile.h"
#include "corelib/File.h"
#include "corelib/PathTools.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;
namespace fs = std::filesystem;

namespace {

// The loader writes paths by the platform's rules: on Windows they start on a drive here and
// come out with backslashes.
#ifdef _WIN32
const std::string drive = "C:";
#else
const std::string drive;
#endif

std::string native(std::string text)
{
    if (effectiveStyle(PathStyle::Native) == PathStyle::Windows) {
        toBackslashes(text);
    }
    return text;
}

class ConfOldFileTest : public ::testing::Test {
protected:
    // Compressed when the name ends in "gz", unless the bytes are to be written as they are.
    std::string write(const std::string& name, const std::string& text, bool asIs = false) const
    {
        const std::string path = dir + "/" + name;
        if (!asIs && File::kindForName(name) == File::KindCompressed) {
            File file(path);
            EXPECT_TRUE(file.openWrite() && file.writeText(text) && file.close());
        } else {
            TestSupport::writeFile(path, text);
        }
        return path;
    }

    // Loads the text and gives the converted tree.
    ConfNodeHandle loaded(const std::string& text, const std::string& name = "test.conf")
    {
        loader.loadIntoMemory(write(name, text));
        EXPECT_EQ(loader.rawTree, nullptr);
        return loader.tree;
    }

    static std::string value(const ConfNodeHandle& tree, const std::string& path)
    {
        const ConfNodeHandle node = tree->find(path);
        return node ? node->getValue() : "<missing " + path + ">";
    }

    // The error that loading the text ends in.
    Exception failure(const std::string& text)
    {
        try {
            loader.loadIntoMemory(write("broken.conf", text));
        } catch (const Exception& caught) {
            return caught;
        }
        ADD_FAILURE() << "loaded without error";
        return Exception();
    }

    TestSupport::TempDir folder{"trawlex-conffile"};
    std::string dir = folder.path().string();
    ConfOldFile loader;
};

TEST_F(ConfOldFileTest, ExampleFileReachesTheStore)
{
    const std::string text = "trawlex (String) = \"\" {\n"
                             "target (String) = \"\" {\n"
                             "dir (DirName) = \"" + drive + "/data/./out/../in\" { }\n"
                             "interval (TimeSpan) = \"PT1S\" { }\n"
                             "}\n"
                             "executable (String) = \"\" {\n"
                             "path (FileName) = \"${trawlex.target.dir}tool\" { }\n"
                             "}\n"
                             "}\n";
    ConfBase store;
    loader.load(write("example.conf", text), false);
    EXPECT_EQ(loader.tree->getName(), "");
    EXPECT_TRUE(loader.tree->getChildNames().empty());

    ASSERT_NE(store.lookup("trawlex.target.dir"), nullptr);
    EXPECT_EQ(store.lookup("trawlex.target.dir")->getValue(), native(drive + "/data/in/"));
    EXPECT_EQ(store.lookup("trawlex.target.dir")->getType(), ConfNodeType::Dir);
    EXPECT_EQ(store.lookup("trawlex.target.interval")->getTimeSpan().toText(), "PT1S");
    EXPECT_EQ(store.lookup("trawlex.executable.path")->getValue(), native(drive + "/data/in/tool"));
    EXPECT_EQ(store.root->getChildNames(), ConfStringList{"trawlex"});
    EXPECT_EQ(store.lookup("trawlex")->getChildNames(), (ConfStringList{"target", "executable"}));

    // Merged into what the store holds; clear-old replaces it.
    loader.load(write("more.conf", "other (Integer) = \"5\" {}"), false);
    EXPECT_NE(store.lookup("trawlex.target.dir"), nullptr);
    EXPECT_EQ(store.lookup("other")->getInt(), 5);
    loader.load(write("only.conf", "only (Bool) = \"yes\" {}"), true);
    EXPECT_EQ(store.lookup("trawlex"), nullptr);
    EXPECT_TRUE(store.lookup("only")->getBool());

    // A failed load leaves the store as it was.
    EXPECT_THROW(loader.load(write("bad.conf", "x (String) = \"1\" {} y (String) = \"2\""), true), Exception);
    EXPECT_NE(store.lookup("only"), nullptr);
}

TEST_F(ConfOldFileTest, SendingWithoutStoreOrTreeFails)
{
    EXPECT_THROW(loader.sendToBase(false), ConfOldFile::Load_FailedToSendToBase);
    loaded("a (String) = \"1\" {}");
    try {
        loader.sendToBase(false);
        FAIL() << "sent without a store";
    } catch (const ConfOldFile::Load_FailedToSendToBase& caught) {
        EXPECT_EQ(caught.messageTemplate, "@conf-old-file.load.failed-to-send-to-base{Failed to send configuration "
                                          "data to configuration base};");
    }
}

TEST_F(ConfOldFileTest, DefinitionSyntax)
{
    // Compact, CR LF, names with blanks, type words, backslashes and line breaks in values.
    ConfNodeHandle tree = loaded("name(String)=\"x\"{}\r\n"
                                 "  my entry  ( Integer )\t=\v\"12abc\" {\r\n"
                                 "\tinner(Real)=\"1.5\"{}}\r\n"
                                 "path (string) = \"C:\\dir\\\" {}\n"
                                 "text (Whatever) = \"one\ntwo\" {}\n"
                                 "none () = \"v\" {}\n"
                                 "port (NetworkPort) = \"80\" {}\n"
                                 "when (Date) = \"2010-05-06\" {}\n"
                                 "at (Time) = \"07:30:00\" {}\n");
    EXPECT_EQ(tree->getChildNames(), (ConfStringList{"name", "my entry", "path", "text", "none", "port", "when", "at"}));
    EXPECT_EQ(value(tree, "name"), "x");
    EXPECT_EQ(tree->find("my entry")->getInt(), 12);
    EXPECT_EQ(value(tree, "my entry"), "12abc");
    EXPECT_EQ(tree->find("my entry.inner")->getType(), ConfNodeType::Float);
    EXPECT_EQ(value(tree, "path"), "C:\\dir\\");
    EXPECT_EQ(tree->find("path")->getType(), ConfNodeType::String);
    EXPECT_EQ(value(tree, "text"), "one\ntwo");
    EXPECT_EQ(tree->find("none")->getType(), ConfNodeType::None);
    EXPECT_EQ(tree->find("port")->getType(), ConfNodeType::Int);
    EXPECT_EQ(tree->find("when")->getType(), ConfNodeType::DateTime);
    EXPECT_EQ(tree->find("at")->getType(), ConfNodeType::TimeOfDay);

    // Empty and blank files load as empty trees; an empty name ends the whole load quietly,
    // dropping the top-level definition being read.
    EXPECT_TRUE(loaded("")->getChildNames().empty());
    EXPECT_TRUE(loaded(" \r\n\t\v ")->getChildNames().empty());
    tree = loaded("a (String) = \"1\" {}\nb (String) = \"2\" { c (String) = \"3\" {} (String) = \"\" {} }\nd () = \"\" {}");
    EXPECT_EQ(tree->getChildNames(), ConfStringList{"a"});
}

TEST_F(ConfOldFileTest, CompressedFilesAndReadFailures)
{
    ConfNodeHandle tree = loaded("a (String) = \"x\" {\r\n  b (TimeSpan) = \"90S\" {}\r\n}\r\n", "test.conf.gz");
    EXPECT_EQ(value(tree, "a"), "x");
    EXPECT_EQ(value(tree, "a.b"), "PT90S");

    // A gzip stream cut short, even between two definitions, or damaged: a load error.
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += "a" + std::to_string(i) + " (String) = \"x\" {}\n";
    write("many.conf.gz", text);
    const std::string bytes = TestSupport::readFile(dir + "/many.conf.gz");
    EXPECT_EQ(loaded(text, "many.conf.gz")->getChildNames().size(), 1000u);
    for (const size_t cut : {size_t(18), bytes.size() / 2, bytes.size() - 4})
        EXPECT_THROW(loader.loadIntoMemory(write("cut.conf.gz", bytes.substr(0, cut), true)), ConfOldFile::Load_FileError);
    std::string damaged = bytes;
    for (size_t i = 10; i < damaged.size() - 8; ++i)
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
    EXPECT_THROW(loader.loadIntoMemory(write("damaged.conf.gz", damaged, true)), ConfOldFile::Load_FileError);

    try {
        loader.loadIntoMemory(dir + "/missing.conf");
        FAIL() << "loaded a missing file";
    } catch (const ConfOldFile::Load_FileNotFound& caught) {
        EXPECT_EQ(caught.getMessage(true), "Load_FileNotFound: Configuration file \"" + dir + "/missing.conf\" was not found");
    }
    EXPECT_THROW(loader.loadIntoMemory(dir), ConfOldFile::Load_FileError);
}

TEST_F(ConfOldFileTest, SyntaxErrorsNameClassTemplateAndLine)
{
    const std::string file = dir + "/broken.conf";
    struct Case {
        std::string text;
        std::string className;
        std::string message;
    };
    const Case cases[] = {
        {"a (String) = \"1\"\nb (String) = \"2\" {}", "Load_InvalidNode",
         "Invalid configuration node definition in line 2 in file \"" + file + "\""},
        {"a (String) \"1\" {}", "Load_InvalidNode", "Invalid configuration node definition in line 1 in file \"" + file + "\""},
        {"a (String) = \"1\" {\n b (String) = \"2\" {}\n\n", "Load_PrematureEndOfFile",
         "Premature end of file in line 4 in file \"" + file + "\""},
        {"a (String) = \"never closed {}", "Load_PrematureEndOfFile",
         "Premature end of file in line 1 in file \"" + file + "\""},
        {"a (String) = \"1\" {}\na (Integer) = \"2\" {}", "AddChild_NameAlreadyInUse",
         "Cannot add child node \"a\" to \"root\" because another child with that name already exists"},
    };
    for (const Case& c : cases) {
        const Exception error = failure(c.text);
        SCOPED_TRACE(c.text);
        EXPECT_EQ(typeid(error), typeid(Exception));
        EXPECT_EQ(error.className, c.className);
        EXPECT_EQ(error.getMessage(true), c.className + ": " + c.message);
        // The original annotation and one more from the loader.
        EXPECT_EQ(error.annotations.size(), 2u);
    }
    EXPECT_EQ(failure(cases[0].text).messageTemplate,
              "@conf-old-file.load.invalid-node{Invalid configuration node definition in line % in file \"%\"};");
    EXPECT_EQ(failure(cases[2].text).messageTemplate,
              "@conf-old-file.load.premature-end-of-file{Premature end of file in line % in file \"%\"};");
}

TEST_F(ConfOldFileTest, NestingLimit)
{
    const auto nested = [](uint32_t levels) {
        std::string text;
        for (uint32_t i = 0; i < levels; ++i)
            text += "n (String) = \"\" {\n";
        return text + std::string(levels, '}');
    };
    const ConfNodeHandle tree = loaded(nested(256));
    std::string deepest = "n";
    for (uint32_t i = 1; i < 256; ++i)
        deepest += ".n";
    EXPECT_NE(tree->find(deepest), nullptr);

    const Exception error = failure(nested(257));
    EXPECT_EQ(error.className, "Load_TooDeep");
    EXPECT_EQ(error.messageTemplate, "@conf-old-file.load.too-deep{Configuration nodes nested deeper than % levels in "
                                     "line % in file \"%\"};");
    EXPECT_EQ(error.getMessage(true), "Load_TooDeep: Configuration nodes nested deeper than 256 levels in line 257 in file \"" +
                                           dir + "/broken.conf\"");
    // Far deeper, in one line: still the same error, without exhausting the stack.
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "n()=\"\"{";
    EXPECT_EQ(failure(deep).className, "Load_TooDeep");
}

TEST_F(ConfOldFileTest, ValueConversion)
{
    setenv("TRAWLEX_CONF_TEST_BASE", (drive + "/base").c_str(), 1);
    ConfNodeHandle tree = loaded("t1 (TimeSpan) = \"15M\" {}\n"
                                 "t2 (TimeSpan) = \"1D12H\" {}\n"
                                 "t3 (TimeSpan) = \"PT5M\" {}\n"
                                 "t4 (TimeSpan) = \"P1D\" {}\n"
                                 "t5 (TimeSpan) = \"1.5s12\" {}\n"
                                 "d1 (DirName) = \"" + drive + "/x/y\" {}\n"
                                 "d2 (DirName) = \"" + drive + "/x/y/\" {}\n"
                                 "d3 (DirName) = \"\" {}\n"
                                 "d4 (DirName) = \"%TRAWLEX_CONF_TEST_BASE%/a/./b/..\" {}\n"
                                 "d5 (DirName) = \"" + drive + "/x/y\\\\\" {}\n"
                                 "f1 (FileName) = \"%TRAWLEX_CONF_TEST_BASE%/a/../f.txt\" {}\n"
                                 "f2 (FileName) = \"\" {}\n");
    EXPECT_EQ(value(tree, "t1"), "PT15M");
    EXPECT_EQ(value(tree, "t2"), "P1DT12H");
    EXPECT_EQ(value(tree, "t3"), "PTT5M");
    EXPECT_EQ(tree->find("t3")->getTimeSpan().toText(), "PT5M");
    EXPECT_EQ(value(tree, "t4"), "P1D");
    EXPECT_EQ(value(tree, "t5"), "PT1.5S");
    EXPECT_EQ(value(tree, "d1"), native(drive + "/x/y/"));
    EXPECT_EQ(value(tree, "d2"), native(drive + "/x/y/"));
    EXPECT_EQ(value(tree, "d3"), "");
    EXPECT_EQ(value(tree, "d4"), native(drive + "/base/a/"));
    // A backslash is a byte of the name under the POSIX rules, a separator under Windows's.
    EXPECT_EQ(value(tree, "d5"), drive.empty() ? "/x/y\\\\/" : native(drive + "/x/y/"));
    EXPECT_EQ(value(tree, "f1"), native(drive + "/base/f.txt"));
    EXPECT_EQ(value(tree, "f2"), "");

    // The Windows rules: a backslash is appended unless one (or "/") ends the text.
    loader.pathStyle = PathStyle::Windows;
    tree = loaded("d1 (DirName) = \"C:/x/./y\" {}\nd2 (DirName) = \"C:\\x/\" {}\nf (FileName) = \"C:/x/../f\" {}\n");
    EXPECT_EQ(value(tree, "d1"), "C:\\x\\y\\");
    EXPECT_EQ(value(tree, "d2"), "C:\\x\\");
    EXPECT_EQ(value(tree, "f"), "C:\\f");
}

TEST_F(ConfOldFileTest, ReferenceInlining)
{
    ConfNodeHandle tree = loaded("a (String) = \"<${b.c}|${missing}|${b.n}|$b|${b.c}>\" {}\n"
                                 "b (String) = \"\" {\n"
                                 "  c (String) = \"v\" {}\n"
                                 "  n (Integer) = \"12abc\" {}\n"
                                 "}\n"
                                 "d (DirName) = \"" + drive + "/top\" {}\n"
                                 "f (FileName) = \"${d}sub/../x.txt\" {}\n"
                                 "s (String) = \"${t}\" {}\n"
                                 "t (TimeSpan) = \"2H\" {}\n"
                                 "tail (String) = \"x${}\" {}\n"
                                 "open (String) = \"${b.c\" {}\n");
    EXPECT_EQ(value(tree, "a"), "<v|${missing}|12abc|$b|v>");
    EXPECT_EQ(value(tree, "f"), native(drive + "/top/x.txt"));
    EXPECT_EQ(value(tree, "s"), "PT2H");
    EXPECT_EQ(value(tree, "tail"), "x${}");
    EXPECT_EQ(value(tree, "open"), "${b.c");

    // Loops end, the reference that closes the loop staying in place; the store then reads
    // them as circular.
    ConfBase store;
    loader.load(write("loops.conf", "self (String) = \"x${self}\" {}\n"
                                    "p (String) = \"${q}\" {}\n"
                                    "q (String) = \"${p}!\" {}\n"
                                    "twice (String) = \"${r}${r}\" {}\n"
                                    "r (String) = \"z\" {}\n"),
                true);
    EXPECT_EQ(store.lookup("self")->getValue(), "x${self}");
    EXPECT_EQ(store.lookup("p")->getValue(), "${p}!");
    EXPECT_EQ(store.lookup("q")->getValue(), "${p}!");
    EXPECT_EQ(store.expandedValue(*store.lookup("q")), ConfBase::circularReferenceText);
    EXPECT_EQ(store.lookup("twice")->getValue(), "zz");
}

TEST_F(ConfOldFileTest, LargeAndHostileInputsEnd)
{
    // A chain of references far longer than the call stack could follow, and values that
    // double at every level: each value is converted once.
    std::string text;
    for (int i = 0; i < 50000; ++i)
        text += "c" + std::to_string(i) + " (String) = \"${c" + std::to_string(i + 1) + "}\" {}\n";
    text += "c50000 (String) = \"end\" {}\n";
    text += "e0 (String) = \"\" {}\n";
    for (int i = 1; i <= 64; ++i)
        text += "e" + std::to_string(i) + " (String) = \"${e" + std::to_string(i - 1) + "}${e" +
                std::to_string(i - 1) + "}\" {}\n";
    ConfNodeHandle tree = loaded(text);
    EXPECT_EQ(value(tree, "c0"), "end");
    EXPECT_EQ(value(tree, "e64"), "");

    // An inlined value may not pass the cap of 64 MiB: the reference that would pass it stays.
    const std::string big((size_t(64) << 20) / 2 + 1, 'x');
    tree = loaded("big (String) = \"" + big + "\" {}\ntwo (String) = \"${big}${big}\" {}\n");
    EXPECT_EQ(value(tree, "two"), big + "${big}");

    // Random bytes load or end in a load error.
    std::string noise;
    uint32_t state = 12345;
    for (int i = 0; i < 1 << 20; ++i) {
        state = state * 1103515245 + 12345;
        noise.push_back(static_cast<char>(state >> 16));
    }
    EXPECT_THROW(loaded(noise), Exception);
}

}  // namespace
