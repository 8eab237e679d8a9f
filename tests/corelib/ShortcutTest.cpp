// Shortcuts (shell links): resolving them, directory creation through them, and the
// configuration agent's directory and file values that name them. Windows makes real shell
// links; on POSIX a file named like one, even a symbolic link, is an ordinary path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "corelib/ConfAgent.h"
#include "corelib/ConfBase.h"
#include "corelib/ConfNode.h"
#include "corelib/FileTools.h"
#include "corelib/StringTools.h"
#include "support/TestSupport.h"

#ifdef _WIN32
#include "windows/ShellLinkMaker.h"
#endif

using namespace KelvraCorelib;
namespace fs = std::filesystem;

namespace {

class ShortcutTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::create_directory(path("data")));
        ASSERT_TRUE(writeWholeFile("tool", path("tool.exe")));
    }

    std::string path(const std::string& name) const { return folder + separator() + name; }

    // The store holds a dir entry "out" and a file entry "exe" with these values.
    void configure(const std::string& dir, const std::string& file)
    {
        ConfNodeHandle root = createRoot();
        root->findOrCreate("out", ConfNodeType::Dir)->setDir(dir);
        root->findOrCreate("exe", ConfNodeType::File)->setFile(file);
        StringStream serial;
        root->writeTo(serial);
        ConfDataParam param(&serial);
        ImsMessage message("conf", "data", "clear-old", &param);
        ASSERT_TRUE(agent.sendMessage(message));
    }

    TestSupport::TempDir scratch{"trawlex-shortcut"};
    std::string folder = fs::path(scratch.path()).make_preferred().string();
    ConfBase store;
    ConfAgent agent;
};

}  // namespace

#ifdef _WIN32

TEST_F(ShortcutTest, ShellLinksStandForTheirTargets)
{
    ASSERT_TRUE(TrawlexTests::makeShellLink(path("out.lnk"), path("data")));
    ASSERT_TRUE(TrawlexTests::makeShellLink(path("TOOL.LNK"), path("tool.exe")));
    ASSERT_TRUE(TrawlexTests::makeShellLink(path("link.txt"), path("data")));  // a link by content only
    ASSERT_TRUE(writeWholeFile("no link", path("plain.lnk")));

    EXPECT_EQ(resolveShortcut(path("out.lnk")), path("data"));
    EXPECT_EQ(resolveShortcut(path("TOOL.LNK")), path("tool.exe"));
    EXPECT_EQ(resolveShortcut(StringTools::widen(path("out.lnk"))), StringTools::widen(path("data")));
    EXPECT_EQ(resolveShortcut(path("link.txt")), path("link.txt"));
    EXPECT_EQ(resolveShortcut(path("plain.lnk")), path("plain.lnk"));
    EXPECT_EQ(resolveShortcut(path("missing.lnk")), path("missing.lnk"));
    const fs::path saved = fs::current_path();
    fs::current_path(folder);
    EXPECT_EQ(resolveShortcut(std::string("out.lnk")), path("data"));  // relative to the current directory
    fs::current_path(saved);

    // A level that leads to a folder is taken as it is, never made; one that does not is in the way.
    EXPECT_TRUE(createDirectory(path("out.lnk") + "\\"));
    EXPECT_TRUE(isFile(path("out.lnk")));
    EXPECT_FALSE(createDirectory(path("TOOL.LNK") + "\\"));
    EXPECT_FALSE(createDirectory(path("plain.lnk") + "\\"));

    // The configured values reach their users as the targets.
    configure(path("out.lnk"), path("TOOL.LNK"));
    EXPECT_EQ(agent.testDir("out", 0), path("data"));
    EXPECT_EQ(agent.testDir("out", 1), path("data"));
    EXPECT_EQ(agent.testFile("exe", 0), path("tool.exe"));
    EXPECT_EQ(agent.queryDir("out"), path("out.lnk"));  // the stored value itself stays
}

TEST_F(ShortcutTest, ALinkWhoseTargetIsGoneLeavesThePath)
{
    ASSERT_TRUE(fs::create_directory(path("old")));
    ASSERT_TRUE(TrawlexTests::makeShellLink(path("gone.lnk"), path("old")));
    ASSERT_EQ(resolveShortcut(path("gone.lnk")), path("old"));
    fs::remove(path("old"));

    EXPECT_EQ(resolveShortcut(path("gone.lnk")), path("gone.lnk"));
    EXPECT_FALSE(createDirectory(path("gone.lnk") + "\\"));
    EXPECT_FALSE(fs::exists(path("old")));
    configure(path("gone.lnk"), path("gone.lnk"));
    try {
        agent.testDir("out", 1);
        ADD_FAILURE() << "a dangling shortcut passed as a folder";
    } catch (const ConfAgent::Test_DirCouldNotBeCreated& error) {
        EXPECT_NE(error.getMessage(false).find("\"" + path("gone.lnk") + "\""), std::string::npos)
            << error.getMessage(false);
    }
    EXPECT_EQ(agent.testFile("exe", 0), path("gone.lnk"));  // the link file itself is what is left
}

TEST_F(ShortcutTest, ThreadWithComAlreadyInitialisedIsLeftAlone)
{
    ASSERT_TRUE(TrawlexTests::makeShellLink(path("out.lnk"), path("data")));
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    EXPECT_EQ(resolveShortcut(path("out.lnk")), path("out.lnk"));
    CoUninitialize();
    EXPECT_EQ(resolveShortcut(path("out.lnk")), path("data"));  // and balanced again afterwards
}

#else

TEST_F(ShortcutTest, NothingResolvesWithoutShellLinks)
{
    // A symbolic link named like a shortcut is followed by the system as any link, but its
    // text stays: nothing stands in for it.
    fs::create_directory_symlink(path("data"), path("out.lnk"));
    fs::create_symlink(path("tool.exe"), path("tool.lnk"));
    fs::create_directory_symlink(path("made"), path("gone.lnk"));

    EXPECT_EQ(resolveShortcut(path("out.lnk")), path("out.lnk"));
    EXPECT_EQ(resolveShortcut(StringTools::widen(path("out.lnk"))), StringTools::widen(path("out.lnk")));
    configure(path("out.lnk"), path("tool.lnk"));
    EXPECT_EQ(agent.testDir("out", 0), path("out.lnk"));
    EXPECT_EQ(agent.testFile("exe", 0), path("tool.lnk"));

    // A dangling one is in the way, and what it names is not made.
    EXPECT_FALSE(createDirectory(path("gone.lnk") + "/"));
    configure(path("gone.lnk"), path("tool.lnk"));
    EXPECT_THROW(agent.testDir("out", 1), ConfAgent::Test_DirCouldNotBeCreated);
    EXPECT_FALSE(fs::exists(fs::symlink_status(path("made"))));
}

#endif
