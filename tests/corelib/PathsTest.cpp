// Path texts under both rule sets.
#include <gtest/gtest.h>

#include <map>

#include "corelib/PathTools.h"
#include "corelib/platform/Environment.h"
#include "corelib/platform/FileSystem.h"

using namespace KelvraCorelib;

namespace {

constexpr PathStyle Win = PathStyle::Windows;
constexpr PathStyle Posix = PathStyle::Posix;

EnvironmentLookup lookupIn(const std::map<std::string, std::string>& variables)
{
    return [variables](const std::string& name, std::string& value) {
        const auto found = variables.find(name);
        if (found == variables.end()) {
            return false;
        }
        value = found->second;
        return true;
    };
}

}  // namespace

TEST(PathsTest, NativeRulesAreThePlatforms)
{
#ifdef _WIN32
    EXPECT_EQ(effectiveStyle(PathStyle::Native), Win);
    EXPECT_EQ(separator(), "\\");
    EXPECT_EQ(separator(Posix), "/");
    EXPECT_EQ(normalisePath("a/./b"), "a\\b");
    EXPECT_TRUE(isAbsolutePath("C:\\x"));
#else
    EXPECT_EQ(effectiveStyle(PathStyle::Native), Posix);
    EXPECT_EQ(separator(), "/");
    EXPECT_EQ(separator(Win), "\\");
    EXPECT_EQ(normalisePath("a/./b"), "a/b");
    EXPECT_FALSE(isAbsolutePath("C:\\x"));
#endif
}

TEST(PathsTest, SeparatorsUnderWindowsRules)
{
    std::string path = "C:/a/b\\c";
    toBackslashes(path, Win);
    EXPECT_EQ(path, "C:\\a\\b\\c");

    EXPECT_EQ(addTrailingSeparator("C:\\a", Win), "C:\\a\\");
    EXPECT_EQ(addTrailingSeparator("C:/a/", Win), "C:/a/");
    EXPECT_EQ(addTrailingSeparator("", Win), "");

    EXPECT_EQ(stripTrailingSeparators("C:/a//\\", Win), "C:\\a");
    EXPECT_EQ(stripTrailingSeparators("\\", Win), "");
    EXPECT_EQ(stripTrailingSeparators("", Win), "");
}

TEST(PathsTest, SeparatorsUnderPosixRules)
{
    std::string path = "a\\b/c";
    toBackslashes(path, Posix);
    EXPECT_EQ(path, "a\\b/c");

    EXPECT_EQ(addTrailingSeparator("/a", Posix), "/a/");
    EXPECT_EQ(addTrailingSeparator("a\\", Posix), "a\\/");  // a backslash is an ordinary character
    EXPECT_EQ(stripTrailingSeparators("/a//", Posix), "/a");
    EXPECT_EQ(stripTrailingSeparators("/", Posix), "/");
    EXPECT_EQ(stripTrailingSeparators("///", Posix), "/");
    EXPECT_EQ(stripTrailingSeparators("a\\", Posix), "a\\");
}

TEST(PathsTest, NormaliseUnderWindowsRules)
{
    EXPECT_EQ(normalisePath("", Win), "");
    EXPECT_EQ(normalisePath("/", Win), "\\");
    EXPECT_EQ(normalisePath("a\\..\\..", Win), "..");
    EXPECT_EQ(normalisePath("a\\.\\b\\..\\..", Win), "");
    EXPECT_EQ(normalisePath("C:/a/./b/../c/", Win), "C:\\a\\c\\");
    EXPECT_EQ(normalisePath("\\\\srv\\share\\..\\x", Win), "\\\\srv\\x");
    EXPECT_EQ(normalisePath("..\\..\\x", Win), "..\\..\\x");
    EXPECT_EQ(normalisePath("a\\\\b//c", Win), "a\\b\\c");
    EXPECT_EQ(normalisePath("//srv/share/x", Win), "\\\\srv\\share\\x");
    // Nothing lies above a root.
    EXPECT_EQ(normalisePath("C:\\..\\x", Win), "C:\\x");
    EXPECT_EQ(normalisePath("\\..\\x", Win), "\\x");
    // A relative path that resolves to nothing does not become the root.
    EXPECT_EQ(normalisePath("a\\..\\", Win), "");
}

TEST(PathsTest, NormaliseUnderPosixRules)
{
    EXPECT_EQ(normalisePath("", Posix), "");
    EXPECT_EQ(normalisePath("/", Posix), "/");
    EXPECT_EQ(normalisePath("a/../..", Posix), "..");
    EXPECT_EQ(normalisePath("a/./b/../..", Posix), "");
    EXPECT_EQ(normalisePath("/a/./b/../c/", Posix), "/a/c/");
    EXPECT_EQ(normalisePath("../../x", Posix), "../../x");
    EXPECT_EQ(normalisePath("//x//y", Posix), "/x/y");
    EXPECT_EQ(normalisePath("/../x", Posix), "/x");
    EXPECT_EQ(normalisePath("/a/../../b", Posix), "/b");
    EXPECT_EQ(normalisePath("a\\..\\b", Posix), "a\\..\\b");
    EXPECT_EQ(normalisePath("a\\b/../c", Posix), "c");
}

TEST(PathsTest, AbsolutePathsAndRoots)
{
    EXPECT_TRUE(isAbsolutePath("C:x", Win));
    EXPECT_TRUE(isAbsolutePath("C:\\x", Win));
    EXPECT_TRUE(isAbsolutePath("\\\\srv\\share", Win));
    EXPECT_TRUE(isAbsolutePath("//srv/share", Win));
    EXPECT_FALSE(isAbsolutePath("\\x", Win));
    EXPECT_FALSE(isAbsolutePath("\\\\srv", Win));
    EXPECT_FALSE(isAbsolutePath(":x", Win));
    EXPECT_FALSE(isAbsolutePath("x", Win));

    EXPECT_TRUE(isAbsolutePath("/x", Posix));
    EXPECT_FALSE(isAbsolutePath("x/y", Posix));
    EXPECT_FALSE(isAbsolutePath("C:\\x", Posix));
    EXPECT_FALSE(isAbsolutePath("\\\\srv\\share", Posix));

    EXPECT_EQ(rootOf("c:\\x", Win), "c:");
    EXPECT_EQ(rootOf("C:/y", Win), "C:");
    EXPECT_EQ(rootOf("\\\\srv\\share\\x", Win), "\\\\srv");
    EXPECT_EQ(rootOf("C:x", Win), "");
    EXPECT_EQ(rootOf("x\\y", Win), "");
    EXPECT_EQ(rootOf("/a/b", Posix), "/");
    EXPECT_EQ(rootOf("a/b", Posix), "");
    EXPECT_EQ(rootOf("C:\\x", Posix), "");

    EXPECT_EQ(makeAbsolute("x\\y", "C:\\base", Win), "C:\\base\\x\\y");
    EXPECT_EQ(makeAbsolute("..\\x", "C:/b/c/", Win), "C:\\b\\x");
    EXPECT_EQ(makeAbsolute("D:/x/./y", "C:\\b", Win), "D:\\x\\y");
    EXPECT_EQ(makeAbsolute("\\x\\y", "C:\\base", Win), "C:\\x\\y");  // from the root of the base's drive
    EXPECT_EQ(makeAbsolute("x/y", "/base", Posix), "/base/x/y");
    EXPECT_EQ(makeAbsolute("../x", "/b/c/", Posix), "/b/x");
    EXPECT_EQ(makeAbsolute("/abs/./p", "/base", Posix), "/abs/p");
    EXPECT_EQ(makeAbsolute("C:\\x", "/base", Posix), "/base/C:\\x");
}

TEST(PathsTest, ExtensionsAndParents)
{
    EXPECT_EQ(extensionOf("C:\\dir.d\\file", Win), "");
    EXPECT_EQ(extensionOf("a.b.GZ", Win), "GZ");
    EXPECT_EQ(extensionOf("dir/x.txt", Win), "txt");
    EXPECT_EQ(extensionOf("dir.d/file", Win), "");
    EXPECT_EQ(extensionOf("file.", Win), "");
    EXPECT_EQ(extensionOf(u"C:\\a.b.Lnk", Win), u"Lnk");
    EXPECT_EQ(extensionOf(u"C:\\a.b\\c", Win), u"");
    EXPECT_EQ(extensionOf("/dir.d/file", Posix), "");
    EXPECT_EQ(extensionOf("dir.d\\file", Posix), "d\\file");
    EXPECT_EQ(extensionOf("/x/a.tar.gz", Posix), "gz");
    EXPECT_EQ(extensionOf(u"/x/link.lnk", Posix), u"lnk");

    EXPECT_EQ(parentDirectory("C:\\a\\b", Win), "C:\\a");
    EXPECT_EQ(parentDirectory("C:/a/b", Win), "C:\\a");
    EXPECT_EQ(parentDirectory("C:\\a\\", Win), "C:");
    EXPECT_EQ(parentDirectory("\\a", Win), "");
    EXPECT_EQ(parentDirectory("a", Win), "");
    EXPECT_EQ(parentDirectory("/a/b", Posix), "/a");
    EXPECT_EQ(parentDirectory("/a", Posix), "/");
    EXPECT_EQ(parentDirectory("/a/", Posix), "/");
    EXPECT_EQ(parentDirectory("/", Posix), "");
    EXPECT_EQ(parentDirectory("a/b/", Posix), "a");
    EXPECT_EQ(parentDirectory("a\\b", Posix), "");
}

TEST(PathsTest, ExpansionUnderWindowsRules)
{
    const EnvironmentLookup lookup =
        lookupIn({{"HOME", "C:\\Users\\me"}, {"X", "val"}, {"EMPTY", ""}, {"LOOP", "%LOOP%"}});
    EXPECT_EQ(expandPath("", Win, lookup), "");
    EXPECT_EQ(expandPath("%HOME%\\x", Win, lookup), "C:\\Users\\me\\x");
    EXPECT_EQ(expandPath("a/%X%/b", Win, lookup), "a\\val\\b");
    EXPECT_EQ(expandPath("%X%%X%", Win, lookup), "valval");
    EXPECT_EQ(expandPath("%EMPTY%x", Win, lookup), "x");
    // Names that are not set, and an empty pair, stay.
    EXPECT_EQ(expandPath("%UNSET%\\x", Win, lookup), "%UNSET%\\x");
    EXPECT_EQ(expandPath("%%\\x", Win, lookup), "%%\\x");
    EXPECT_EQ(expandPath("%UNSET%%X%", Win, lookup), "%UNSET%val");
    // The closing "%" of an unknown name may open the next reference.
    EXPECT_EQ(expandPath("100% of %X%", Win, lookup), "100% of val");
    // An inserted value is not scanned again.
    EXPECT_EQ(expandPath("%LOOP%\\a", Win, lookup), "%LOOP%\\a");

    EXPECT_EQ(expandPath("$X\\y", Win, lookup), "val\\y");
    EXPECT_EQ(expandPath("C:/$X/y", Win, lookup), "C:\\val\\y");
    EXPECT_EQ(expandPath("$X", Win, lookup), "$X");
    EXPECT_EQ(expandPath("$UNSET\\y", Win, lookup), "$UNSET\\y");
    EXPECT_EQ(expandPath("a$\\b", Win, lookup), "a$\\b");

    EXPECT_EQ(expandPath("\\C:", Win, lookup), "C:");
    EXPECT_EQ(expandPath("/c:", Win, lookup), "C:");
    EXPECT_EQ(expandPath("\\??", Win, lookup), "");
    const std::string windowsDirectory = Platform::windowsDirectory();
    EXPECT_EQ(expandPath("\\SystemRoot", Win, lookup), windowsDirectory.empty() ? "\\SystemRoot" : windowsDirectory);
}

TEST(PathsTest, ExpansionUnderPosixRules)
{
    const EnvironmentLookup lookup = lookupIn({{"HOME", "/home/me"}, {"X", "val"}});
    EXPECT_EQ(expandPath("$HOME/x", Posix, lookup), "/home/me/x");
    EXPECT_EQ(expandPath("%X%/y", Posix, lookup), "val/y");
    EXPECT_EQ(expandPath("/a/$X/$X/b", Posix, lookup), "/a/val/val/b");
    EXPECT_EQ(expandPath("$X\\y", Posix, lookup), "$X\\y");
    EXPECT_EQ(expandPath("$HOME", Posix, lookup), "$HOME");
    EXPECT_EQ(expandPath("/c:", Posix, lookup), "/c:");
    EXPECT_EQ(expandPath("\\??", Posix, lookup), "\\??");
}

TEST(PathsTest, ExpansionUsesTheProcessEnvironment)
{
#ifdef _WIN32
    // Slashes become backslashes before the values go in; the value itself is taken as it is.
    ASSERT_TRUE(Platform::setEnvironmentVariable("TRAWLEX_FILES_TEST_DIR", "C:\\srv\\data"));
    EXPECT_EQ(expandPath("%TRAWLEX_FILES_TEST_DIR%/a"), "C:\\srv\\data\\a");
    EXPECT_EQ(fullNormalise("$TRAWLEX_FILES_TEST_DIR/./x/../y/"), "C:\\srv\\data\\y\\");
    EXPECT_EQ(fullNormalise("%TRAWLEX_FILES_TEST_DIR%\\.\\x\\..\\y", Posix), "C:\\srv\\data\\.\\x\\..\\y");
    ASSERT_TRUE(Platform::setEnvironmentVariable("TRAWLEX_FILES_TEST_DIR", "C:/srv"));
    EXPECT_EQ(expandPath("%TRAWLEX_FILES_TEST_DIR%/a"), "C:/srv\\a");
    EXPECT_EQ(fullNormalise("%TRAWLEX_FILES_TEST_DIR%/a"), "C:\\srv\\a");
    ASSERT_TRUE(Platform::unsetEnvironmentVariable("TRAWLEX_FILES_TEST_DIR"));
    EXPECT_EQ(expandPath("%TRAWLEX_FILES_TEST_DIR%/a"), "%TRAWLEX_FILES_TEST_DIR%\\a");
#else
    ASSERT_TRUE(Platform::setEnvironmentVariable("TRAWLEX_FILES_TEST_DIR", "/srv/data"));
    EXPECT_EQ(expandPath("%TRAWLEX_FILES_TEST_DIR%/a"), "/srv/data/a");
    EXPECT_EQ(fullNormalise("$TRAWLEX_FILES_TEST_DIR/./x/../y/"), "/srv/data/y/");
    EXPECT_EQ(fullNormalise("%TRAWLEX_FILES_TEST_DIR%\\.\\x\\..\\y", Win), "\\srv\\data\\y");
    ASSERT_TRUE(Platform::unsetEnvironmentVariable("TRAWLEX_FILES_TEST_DIR"));
    EXPECT_EQ(expandPath("%TRAWLEX_FILES_TEST_DIR%/a"), "%TRAWLEX_FILES_TEST_DIR%/a");
#endif
}

TEST(PathsTest, LongPathsAndCurrentDirectory)
{
    EXPECT_EQ(longPath("", Win), "");
    EXPECT_EQ(longPath("\\\\srv\\share\\x", Win), "\\\\srv\\share\\x");
    EXPECT_EQ(longPath("C:\\PROGRA~1\\x", Win), "C:\\PROGRA~1\\x");  // no short names here
    EXPECT_EQ(longPath("/a/b", Posix), "/a/b");

    const std::string current = currentDirectory();
    ASSERT_FALSE(current.empty());
    EXPECT_TRUE(isAbsolutePath(current));
}
