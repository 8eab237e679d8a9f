// Queries, whole files, time stamps, listings and file operations on a temporary folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "corelib/DateTime.h"
#include "corelib/FileTools.h"
#include "corelib/PathTools.h"
#include "corelib/platform/FileSystem.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;
namespace fs = std::filesystem;

namespace {

class FileOperationsTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        std::error_code ignored;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
        dropCarriageReturns = true;
    }

    // A path below the folder as the platform writes it ("a/b" is "a\\b" on Windows).
    std::string path(const std::string& name) const
    {
        std::string text = dir + "/" + name;
        if (separator() != "/") {
            toBackslashes(text);
        }
        return text;
    }

    // A symbolic link at name, where the test can make one (wine cannot).
    bool link(const std::string& target, const std::string& name) const
    {
        std::error_code failed;
        fs::create_symlink(target, path(name), failed);
        return !failed;
    }

    void put(const std::string& name, const std::string& content) const { TestSupport::writeFile(path(name), content); }
    std::string get(const std::string& name) const { return TestSupport::readFile(path(name)); }

    TestSupport::TempDir folder{"trawlex-files"};
    std::string dir = folder.path().string();
};

}  // namespace

TEST_F(FileOperationsTest, Queries)
{
    put("f.txt", "hello");
    fs::create_directory(path("d"));

    EXPECT_TRUE(exists(path("f.txt")));
    EXPECT_TRUE(exists(path("d")));
    EXPECT_FALSE(exists(path("missing")));
    EXPECT_FALSE(exists(""));

    EXPECT_TRUE(isFile(path("f.txt")));
    EXPECT_FALSE(isFile(path("d")));
    EXPECT_FALSE(isFile(path("missing")));
    EXPECT_FALSE(isFile(""));

    EXPECT_TRUE(isDirectory(path("d")));
    EXPECT_TRUE(isDirectory(path("d") + "/"));
    EXPECT_TRUE(isDirectory("/"));
    EXPECT_FALSE(isDirectory(path("f.txt")));
    EXPECT_FALSE(isDirectory(path("missing")));
    EXPECT_FALSE(isDirectory(""));

    EXPECT_EQ(fileSize(path("f.txt")), 5u);
    EXPECT_EQ(fileSize(path("missing")), 0u);
    EXPECT_EQ(fileSize(path("d")), 0u);

    EXPECT_TRUE(isShortcut("a.LNK"));
    EXPECT_TRUE(isShortcut(u"dir/a.lnk"));
    EXPECT_FALSE(isShortcut("a.lnk.txt"));
    EXPECT_FALSE(isShortcut("lnk"));
    EXPECT_TRUE(isShortcut("C:\\x.Lnk", PathStyle::Windows));
}

TEST_F(FileOperationsTest, CompareFiles)
{
    put("a", "abc");
    put("same", "abc");
    put("prefix", "ab");
    put("high", "ab\x80");  // a negative byte sorts first
    put("empty", "");

    EXPECT_EQ(compareFiles(path("none1"), path("none2")), 0);
    EXPECT_EQ(compareFiles(path("none"), path("a")), -1);
    EXPECT_EQ(compareFiles(path("a"), path("none")), 1);
    EXPECT_EQ(compareFiles(path("a"), path("same")), 0);
    EXPECT_EQ(compareFiles(path("prefix"), path("a")), -1);
    EXPECT_EQ(compareFiles(path("a"), path("prefix")), 1);
    EXPECT_EQ(compareFiles(path("high"), path("a")), -1);
    EXPECT_EQ(compareFiles(path("empty"), path("a")), -1);
    EXPECT_EQ(compareFiles(path("empty"), path("empty")), 0);

    // Longer than one comparison block, differing at the very end.
    std::string big(200000, 'x');
    put("big1", big);
    big.back() = 'y';
    put("big2", big);
    EXPECT_EQ(compareFiles(path("big1"), path("big2")), -1);
}

TEST_F(FileOperationsTest, WholeFilesAndCarriageReturns)
{
    const std::string content = std::string("line1\r\nline2\r\n\0end\r", 18);
    ASSERT_TRUE(writeWholeFile(content, path("w.txt")));
    EXPECT_EQ(get("w.txt"), content);

    std::string text = "old";
    ASSERT_TRUE(readWholeFile(path("w.txt"), text));
    EXPECT_EQ(text, std::string("line1\nline2\n\0end", 16));
    {
        CarriageReturnsSwitch keep(false);
        ASSERT_TRUE(readWholeFile(path("w.txt"), text));
        EXPECT_EQ(text, content);
    }
    EXPECT_TRUE(dropCarriageReturns);

    // Larger than one read block, CR at block edges included.
    std::string large;
    for (int i = 0; i < 40000; ++i) {
        large += "ab\r\n";
    }
    ASSERT_TRUE(writeWholeFile(large, path("large.txt")));
    ASSERT_TRUE(readWholeFile(path("large.txt"), text));
    EXPECT_EQ(text.size(), 40000u * 3);
    EXPECT_EQ(text.find('\r'), std::string::npos);

    // A bounded read counts the file's bytes (CR included) and stops past the bound.
    bool tooLarge = true;
    ASSERT_TRUE(readWholeFile(path("large.txt"), text, large.size(), tooLarge));
    EXPECT_FALSE(tooLarge);
    EXPECT_EQ(text.size(), 40000u * 3);
    text = "kept";
    EXPECT_FALSE(readWholeFile(path("large.txt"), text, large.size() - 1, tooLarge));
    EXPECT_TRUE(tooLarge);
    EXPECT_EQ(text, "kept");
    EXPECT_FALSE(readWholeFile("/dev/zero", text, 100000, tooLarge));  // endless: read only to the bound
    EXPECT_TRUE(tooLarge);
    EXPECT_FALSE(readWholeFile(path("missing"), text, 10, tooLarge));
    EXPECT_FALSE(tooLarge);

    text = "kept";
    EXPECT_FALSE(readWholeFile(path("missing"), text));
    EXPECT_EQ(text, "kept");
    fs::create_directory(path("d"));
    EXPECT_FALSE(readWholeFile(path("d"), text));
    EXPECT_FALSE(writeWholeFile("x", path("d")));
    EXPECT_FALSE(writeWholeFile("x", path("missing-dir/x")));

    ASSERT_TRUE(writeWholeFile("", path("w.txt")));
    EXPECT_EQ(fileSize(path("w.txt")), 0u);
}

TEST_F(FileOperationsTest, StdioReadsAndWrites)
{
    std::FILE* out = std::fopen(path("s.txt").c_str(), "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(writeChar(out, 'a'));
    EXPECT_TRUE(writeText(out, "\r\nbcd"));
    std::fclose(out);

    std::FILE* in = std::fopen(path("s.txt").c_str(), "rb");
    ASSERT_NE(in, nullptr);
    char c = 0;
    EXPECT_TRUE(readChar(in, c));
    EXPECT_EQ(c, 'a');
    EXPECT_TRUE(readChar(in, c));
    EXPECT_EQ(c, '\n');  // the CR was skipped
    std::string text;
    EXPECT_TRUE(readBytes(in, 2, text));
    EXPECT_EQ(text, "bc");
    EXPECT_TRUE(readBytes(in, 10, text));
    EXPECT_EQ(text, "d");
    EXPECT_FALSE(readBytes(in, 10, text));
    EXPECT_FALSE(readChar(in, c));
    std::fclose(in);
    EXPECT_FALSE(readChar(nullptr, c));
    EXPECT_FALSE(writeText(nullptr, "x"));
}

TEST_F(FileOperationsTest, TimeStamps)
{
    put("t.txt", "content");
    const DateTime when(DateTimeDetails(2010, 5, 6, 7, 8, 9, 10, false));
    ASSERT_TRUE(setLastWriteTime(path("t.txt"), when));
    const DateTime earlier(DateTimeDetails(2001, 2, 3, 4, 5, 6, 0, false));
    ASSERT_TRUE(setLastAccessTime(path("t.txt"), earlier));

    Platform::FileStatus status;
    ASSERT_EQ(Platform::fileStatus(path("t.txt"), status), 0);
    EXPECT_EQ(status.lastWriteTime, when.count - DateTime::unixEpochCount);
    EXPECT_EQ(status.lastAccessTime, earlier.count - DateTime::unixEpochCount);
    // The independent view of the write time, in seconds.
    const auto written = std::chrono::file_clock::to_sys(fs::last_write_time(path("t.txt")));
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(written.time_since_epoch()).count(),
              (when.count - DateTime::unixEpochCount) / 1000);

    EXPECT_FALSE(setLastWriteTime(path("missing"), when));
    EXPECT_FALSE(setLastAccessTime(path("missing"), when));
    EXPECT_FALSE(exists(path("missing")));
    EXPECT_EQ(get("t.txt"), "content");
}

TEST_F(FileOperationsTest, Touch)
{
    // An existing file gets the current time and keeps its content.
    put("t.txt", "content");
    ASSERT_TRUE(setLastWriteTime(path("t.txt"), DateTime(DateTimeDetails(2001, 1, 1, 0, 0, 0, 0, false))));
    const int64_t before = DateTime::now().count - DateTime::unixEpochCount;
    ASSERT_TRUE(touch(path("t.txt")));
    Platform::FileStatus status;
    ASSERT_EQ(Platform::fileStatus(path("t.txt"), status), 0);
    EXPECT_GE(status.lastWriteTime, before - 2000);
    EXPECT_EQ(get("t.txt"), "content");

    // A missing file is created empty.
    EXPECT_TRUE(touch(path("new.txt")));
    EXPECT_TRUE(isFile(path("new.txt")));
    EXPECT_EQ(fileSize(path("new.txt")), 0u);

    // Time stamps that cannot be set never cost an existing file its content.
    const auto refuse = [](const std::string&) { return false; };
    EXPECT_FALSE(touch(path("t.txt"), refuse));
    EXPECT_EQ(get("t.txt"), "content");
    // Nothing there: the empty file is made.
    EXPECT_TRUE(touch(path("other.txt"), refuse));
    EXPECT_TRUE(isFile(path("other.txt")));
    // A link that points nowhere is not followed to create its target.
    if (link(path("target.txt"), "dangling")) {
        EXPECT_FALSE(touch(path("dangling"), refuse));
        EXPECT_FALSE(exists(path("target.txt")));
    }

    EXPECT_FALSE(touch(""));
    EXPECT_FALSE(touch(path("missing-dir/x")));
}

TEST_F(FileOperationsTest, CreateDirectory)
{
    EXPECT_TRUE(createDirectory(path("a/b/c/")));
    EXPECT_TRUE(fs::is_directory(path("a/b/c")));
    EXPECT_TRUE(createDirectory(path("a/b/c/")));  // already there

    // Without a trailing separator the last name is a file's: only its directory is made.
    EXPECT_TRUE(createDirectory(path("x/y/file.txt")));
    EXPECT_TRUE(fs::is_directory(path("x/y")));
    EXPECT_FALSE(exists(path("x/y/file.txt")));

    EXPECT_TRUE(createDirectory(path("p/./q/../r//")));
    EXPECT_TRUE(fs::is_directory(path("p/r")));
    EXPECT_FALSE(exists(path("p/q")));

    // A file in the way fails.
    put("f", "x");
    EXPECT_FALSE(createDirectory(path("f/sub/")));
    EXPECT_EQ(get("f"), "x");

    // A link to a directory counts as the directory.
    if (link(path("a"), "a.lnk")) {
        EXPECT_TRUE(createDirectory(path("a.lnk/new/")));
        EXPECT_TRUE(fs::is_directory(path("a/new")));
    }

    EXPECT_FALSE(createDirectory(""));
    EXPECT_TRUE(createDirectory("/"));
}

TEST_F(FileOperationsTest, ListingWithGlobs)
{
    put("a.make", "");
    put("b.make", "");
    put("c.data", "");
    put("C.MAKE", "");  // another name also where names ignore case
    fs::create_directory(path("sub.make"));
    fs::create_directory(path("other"));
    const bool linked = link(path("other"), "link.make");

    EXPECT_EQ(listFiles(dir, "*.make"), (std::set<std::string>{"a.make", "b.make"}));
    if (linked) {
        EXPECT_EQ(listDirectories(dir, "*.make"), (std::set<std::string>{"link.make", "sub.make"}));
    }
    EXPECT_EQ(listFiles(dir + "//", "?.data"), (std::set<std::string>{"c.data"}));
    EXPECT_EQ(listFiles(dir, "*"), (std::set<std::string>{"C.MAKE", "a.make", "b.make", "c.data"}));
    EXPECT_TRUE(listFiles(dir, "*.txt").empty());

    std::set<std::string> directories;
    std::set<std::string> files;
    EXPECT_TRUE(listDirectory(dir, "*", &directories, &files));
    if (linked) {
        EXPECT_EQ(directories, (std::set<std::string>{"link.make", "other", "sub.make"}));
    } else {
        EXPECT_EQ(directories, (std::set<std::string>{"other", "sub.make"}));
    }
    EXPECT_EQ(files.size(), 4u);
    EXPECT_TRUE(listDirectory(dir, "*"));  // no sets wanted

    EXPECT_TRUE(listDirectory(path("other"), "*", &directories, &files));  // empty: true, nothing added
    EXPECT_EQ(files.size(), 4u);
    EXPECT_FALSE(listDirectory(path("a.make"), "*", &directories, &files));
    EXPECT_FALSE(listDirectory(path("missing"), "*", &directories, &files));

    // A relative directory is taken from the current directory.
    const fs::path saved = fs::current_path();
    fs::current_path(dir);
    EXPECT_EQ(listFiles("./", "c.*"), (std::set<std::string>{"c.data"}));
    fs::current_path(saved);
}

TEST_F(FileOperationsTest, WalkTree)
{
    fs::create_directories(path("t/a/b"));
    put("t/f1", "");
    put("t/a/f2", "");
    put("t/a/b/f3.txt", "");
    fs::create_directory(path("outside"));
    put("outside/secret", "");
    const bool linked = link(path("outside"), "t/link");

    const FileTree all = walkTree(path("t"), "*");
    EXPECT_TRUE(all.complete);
    EXPECT_EQ(all.directoryCount, 2u);
    EXPECT_EQ(all.fileCount, linked ? 4u : 3u);  // f1, f2, f3.txt and the link itself
    ASSERT_EQ(all.entries.size(), linked ? 6u : 5u);
    EXPECT_EQ(all.entries[0].path, path("t/a"));  // a directory before its contents
    EXPECT_EQ(all.entries[1].path, path("t/a/b"));
    for (const FileTreeEntry& entry : all.entries) {
        EXPECT_EQ(entry.path.find("secret"), std::string::npos);
        if (entry.path == path("t/link")) {
            EXPECT_TRUE(entry.isSymbolicLink);
            EXPECT_FALSE(entry.isDirectory);
        }
    }

    const FileTree texts = walkTree(path("t"), "*.txt");
    ASSERT_EQ(texts.entries.size(), 1u);
    EXPECT_EQ(texts.entries[0].path, path("t/a/b/f3.txt"));

    EXPECT_FALSE(walkTree(path("missing"), "*").complete);
}

TEST_F(FileOperationsTest, DeleteFiles)
{
    put("f", "x");
    EXPECT_TRUE(deleteFile(path("f")));
    EXPECT_FALSE(exists(path("f")));
    EXPECT_FALSE(deleteFile(path("f")));
    EXPECT_FALSE(deleteFile(""));

    fs::create_directory(path("d"));
    EXPECT_FALSE(deleteFile(path("d"), true));
    EXPECT_TRUE(isDirectory(path("d")));

    // A link goes, its target stays.
    put("target", "keep");
    if (link(path("target"), "link")) {
        EXPECT_TRUE(deleteFile(path("link")));
        EXPECT_FALSE(fs::is_symlink(path("link")));
        EXPECT_EQ(get("target"), "keep");
    }
}

TEST_F(FileOperationsTest, RemoveAndClearDirectories)
{
    fs::create_directories(path("d/sub/deeper"));
    put("d/f", "x");
    put("d/sub/g", "x");
    // Links inside the tree lead outside it: their targets must survive.
    fs::create_directory(path("outside"));
    put("outside/precious", "keep");
    const bool linked = link(path("outside"), "d/sub/link-to-dir") && link(path("outside/precious"), "d/link-to-file");

    EXPECT_FALSE(removeDirectory(path("d")));  // not empty
    EXPECT_TRUE(isDirectory(path("d")));

    int reports = 0;
    const ProgressCallback count = [&reports](const std::string&, bool success, uint64_t done, uint64_t total) {
        EXPECT_TRUE(success);
        EXPECT_LE(done, total);
        ++reports;
    };
    EXPECT_TRUE(removeDirectory(path("d"), true, false, count));
    EXPECT_FALSE(exists(path("d")));
    EXPECT_GE(reports, linked ? 6 : 4);
    EXPECT_EQ(get("outside/precious"), "keep");

    // A link to a directory is not a directory to remove.
    if (link(path("outside"), "dirlink")) {
        EXPECT_FALSE(removeDirectory(path("dirlink"), true, true));
        EXPECT_EQ(get("outside/precious"), "keep");
    }

    EXPECT_FALSE(removeDirectory(path("outside/precious")));
    EXPECT_FALSE(removeDirectory(path("missing")));

    fs::create_directories(path("c/x/y"));
    put("c/a", "");
    put("c/x/b", "");
    EXPECT_FALSE(clearDirectory(path("c")));  // x is not empty and not recursive
    EXPECT_TRUE(clearDirectory(path("c"), true));
    EXPECT_TRUE(isDirectory(path("c")));
    EXPECT_TRUE(fs::is_empty(path("c")));
    EXPECT_FALSE(clearDirectory(path("missing")));

#ifndef _WIN32
    // An unreadable directory goes with force only; root reads any, so another account tries.
    fs::create_directories(path("locked/inner"));
    EXPECT_TRUE(TestSupport::asNobody(dir, [this] {
        fs::permissions(path("locked"), fs::perms::none);
        return !removeDirectory(path("locked"), true, false) && fs::exists(path("locked")) &&
               removeDirectory(path("locked"), true, true) && !fs::exists(path("locked"));
    }));
#endif
}

TEST_F(FileOperationsTest, SetAttributes)
{
    fs::create_directories(path("t/sub"));
    put("t/f", "x");
    put("t/sub/g", "x");
    const auto writable = [this](const std::string& name) {
        return (fs::status(path(name)).permissions() & fs::perms::owner_write) != fs::perms::none;
    };

    EXPECT_TRUE(setAttributes(path("t/f"), Readable));
    EXPECT_FALSE(writable("t/f"));
    EXPECT_TRUE(setAttributes(path("t/f"), Readable | Writable));
    EXPECT_TRUE(writable("t/f"));

    std::vector<std::string> reported;
    EXPECT_TRUE(setAttributes(path("t"), Readable, true,
                              [&reported](const std::string& target, bool success, uint64_t, uint64_t total) {
                                  EXPECT_TRUE(success);
                                  EXPECT_EQ(total, 3u);
                                  reported.push_back(target);
                              }));
    EXPECT_FALSE(writable("t/f"));
    EXPECT_FALSE(writable("t/sub/g"));
    EXPECT_FALSE(writable("t/sub"));
    EXPECT_EQ(reported.size(), 3u);
    EXPECT_TRUE(setAttributes(path("t"), Readable | Writable, true));
    EXPECT_TRUE(writable("t/sub/g"));

    EXPECT_FALSE(setAttributes(path("missing"), Writable));
    EXPECT_FALSE(setAttributes("", Writable));
}

TEST_F(FileOperationsTest, CopyFiles)
{
    std::string content;
    for (int i = 0; i < 5000; ++i) {
        content.push_back(static_cast<char>(i % 251));
    }
    content += "\r\n";
    put("src", content);

    std::vector<uint64_t> progress;
    const ProgressCallback record = [&progress](const std::string&, bool success, uint64_t done, uint64_t total) {
        EXPECT_TRUE(success);
        EXPECT_EQ(total, 5002u);
        progress.push_back(done);
    };
    // A buffer below 1024 bytes is raised to 1024; CR bytes are copied unchanged.
    ASSERT_TRUE(copyFile(path("src"), path("dst"), false, 10, true, record));
    EXPECT_EQ(get("dst"), content);
    EXPECT_EQ(progress, (std::vector<uint64_t>{1024, 2048, 3072, 4096, 5002}));
    EXPECT_TRUE(dropCarriageReturns);

    // Without overwrite an existing target stays as it is.
    put("other", "other");
    EXPECT_FALSE(copyFile(path("src"), path("other")));
    EXPECT_EQ(get("other"), "other");
    EXPECT_TRUE(copyFile(path("src"), path("other"), true, 65536, true));
    EXPECT_EQ(get("other"), content);

    // Onto itself (by another name too) would destroy the source.
    fs::create_hard_link(path("src"), path("hard"));
    EXPECT_FALSE(copyFile(path("src"), path("src"), true));
    EXPECT_FALSE(copyFile(path("src"), path("hard"), true));
    EXPECT_EQ(get("src"), content);

    put("empty", "");
    EXPECT_TRUE(copyFile(path("empty"), path("empty-copy"), false, 4096, true));
    EXPECT_TRUE(isFile(path("empty-copy")));

    fs::create_directory(path("d"));
    EXPECT_FALSE(copyFile(path("d"), path("d-copy")));
    EXPECT_FALSE(copyFile(path("missing"), path("x")));
    EXPECT_FALSE(copyFile("", path("x")));
    EXPECT_FALSE(copyFile(path("src"), path("missing-dir/x")));
    EXPECT_FALSE(copyFile(path("src"), path("d"), true));
    EXPECT_TRUE(isDirectory(path("d")));
}

TEST_F(FileOperationsTest, MoveFiles)
{
    put("a", "A");
    ASSERT_TRUE(moveFile(path("a"), path("b")));
    EXPECT_FALSE(exists(path("a")));
    EXPECT_EQ(get("b"), "A");

    // Without overwrite both files stay untouched.
    put("c", "C");
    EXPECT_FALSE(moveFile(path("b"), path("c"), false, 4096));
    EXPECT_EQ(get("b"), "A");
    EXPECT_EQ(get("c"), "C");

    EXPECT_TRUE(moveFile(path("b"), path("c"), true, 4096));
    EXPECT_FALSE(exists(path("b")));
    EXPECT_EQ(get("c"), "A");

    // A directory in the way goes with overwrite.
    fs::create_directories(path("dir/inner"));
    EXPECT_FALSE(moveFile(path("c"), path("dir")));
    EXPECT_TRUE(moveFile(path("c"), path("dir"), true));
    EXPECT_EQ(get("dir"), "A");

    // A second name of the same file: the file stays under the target's name.
    fs::create_hard_link(path("dir"), path("alias"));
    EXPECT_TRUE(moveFile(path("alias"), path("dir"), true));
    EXPECT_FALSE(exists(path("alias")));
    EXPECT_EQ(get("dir"), "A");
    EXPECT_TRUE(moveFile(path("dir"), path("./dir"), true));
    EXPECT_EQ(get("dir"), "A");

    fs::create_directory(path("srcdir"));
    EXPECT_FALSE(moveFile(path("srcdir"), path("x")));
    EXPECT_FALSE(moveFile(path("missing"), path("x")));
    EXPECT_FALSE(moveFile("", path("x")));
    EXPECT_FALSE(moveFile(path("dir"), path("missing-dir/x")));
    EXPECT_EQ(get("dir"), "A");
}

TEST_F(FileOperationsTest, MoveBetweenFileSystems)
{
    char pattern[] = "/dev/shm/trawlex-files-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        GTEST_SKIP() << "no second file system to move to";
    }
    const std::string other = pattern;
    Platform::FileStatus here;
    Platform::FileStatus there;
    ASSERT_EQ(Platform::fileStatus(dir, here), 0);
    ASSERT_EQ(Platform::fileStatus(other, there), 0);
    if (here.device == there.device) {
        fs::remove_all(other);
        GTEST_SKIP() << "/dev/shm is on the same file system";
    }

    put("m", "moved\r\n");
    EXPECT_TRUE(moveFile(path("m"), other + "/m", false, 4096, true));
    EXPECT_FALSE(exists(path("m")));
    std::string text;
    CarriageReturnsSwitch keep(false);
    ASSERT_TRUE(readWholeFile(other + "/m", text));
    EXPECT_EQ(text, "moved\r\n");

    put("n", "new");
    EXPECT_FALSE(moveFile(path("n"), other + "/m", false));
    EXPECT_EQ(get("n"), "new");
    EXPECT_TRUE(moveFile(path("n"), other + "/m", true));
    ASSERT_TRUE(readWholeFile(other + "/m", text));
    EXPECT_EQ(text, "new");
    fs::remove_all(other);
}

TEST_F(FileOperationsTest, RenameWithoutReplacing)
{
    put("a", "A");
    put("b", "B");
    EXPECT_TRUE(Platform::isAlreadyExists(Platform::renameNoReplace(path("a"), path("b"))));
    EXPECT_EQ(get("a"), "A");
    EXPECT_EQ(get("b"), "B");
    EXPECT_EQ(Platform::renameNoReplace(path("a"), path("c")), 0);
    EXPECT_FALSE(exists(path("a")));
    EXPECT_EQ(get("c"), "A");
    EXPECT_TRUE(Platform::isNotFound(Platform::renameNoReplace(path("a"), path("d"))));
}

TEST_F(FileOperationsTest, FileHandles)
{
    int handle = -1;
    ASSERT_EQ(Platform::createExclusive(path("h"), handle), 0);
    int second = -1;
    EXPECT_TRUE(Platform::isAlreadyExists(Platform::createExclusive(path("h"), second)));

    EXPECT_EQ(Platform::writeFile(handle, "hello world", 11), 0);
    EXPECT_EQ(Platform::syncFile(handle), 0);
    int64_t position = -1;
    EXPECT_EQ(Platform::seekFile(handle, 6, Platform::SeekOrigin::start, position), 0);
    EXPECT_EQ(position, 6);
    char buffer[16] = {};
    size_t count = 0;
    EXPECT_EQ(Platform::readFile(handle, buffer, sizeof buffer, count), 0);
    EXPECT_EQ(std::string(buffer, count), "world");
    EXPECT_EQ(Platform::readFile(handle, buffer, sizeof buffer, count), 0);
    EXPECT_EQ(count, 0u);

    // The lock is exclusive across open files and does not wait.
    EXPECT_EQ(Platform::lockFile(handle), 0);
    ASSERT_EQ(Platform::openFile(path("h"), Platform::OpenRead, second), 0);
    EXPECT_TRUE(Platform::isLockedElsewhere(Platform::lockFile(second)));
    EXPECT_EQ(Platform::closeFile(handle), 0);
    EXPECT_EQ(Platform::lockFile(second), 0);
    EXPECT_EQ(Platform::unlockFile(second), 0);
    EXPECT_EQ(Platform::closeFile(second), 0);

    ASSERT_EQ(Platform::openFile(path("h"), Platform::OpenWrite | Platform::OpenAppend, handle), 0);
    EXPECT_EQ(Platform::writeFile(handle, "!", 1), 0);
    EXPECT_EQ(Platform::closeFile(handle), 0);
    EXPECT_EQ(get("h"), "hello world!");

    EXPECT_EQ(Platform::syncDirectory(dir), 0);
    EXPECT_NE(Platform::syncDirectory(path("missing")), 0);
    EXPECT_TRUE(Platform::isNotFound(Platform::openFile(path("missing"), Platform::OpenRead, handle)));
}
