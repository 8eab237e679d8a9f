// Access of files and folders that trawlex makes on POSIX: permission bits whatever the umask,
// never set through a link.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "corelib/platform/FileSystem.h"
#include "corelib/platform/OwnerAccess.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace KelvraCorelib::Platform;

namespace {

using TestSupport::modeOf;
using TestSupport::testFolder;

struct Umask {
    explicit Umask(mode_t mask) : old(umask(mask)) {}
    ~Umask() { umask(old); }
    mode_t old;
};

}  // namespace

TEST(OwnerAccess, PrivateCreationAndReadersWhateverTheUmask)
{
    const std::string dir = testFolder();
    const Umask open(0);
    int handle = -1;
    ASSERT_EQ(createPrivateFile(dir + "log", handle), 0);
    EXPECT_EQ(modeOf(dir + "log"), 0600u);
    int second = -1;
    EXPECT_TRUE(isAlreadyExists(createPrivateFile(dir + "log", second)));
    EXPECT_EQ(restrictOpenFile(handle, FileReaders::everyone), 0);
    EXPECT_EQ(modeOf(dir + "log"), 0644u);
    EXPECT_EQ(restrictOpenFile(handle, FileReaders::ownerAndGroup), 0);
    EXPECT_EQ(modeOf(dir + "log"), 0640u);
    closeFile(handle);

    ASSERT_EQ(mkdir((dir + "store").c_str(), 0777), 0);
    EXPECT_EQ(restrictToOwnerAndAdministrators(dir + "store"), 0);
    EXPECT_EQ(modeOf(dir + "store"), 0700u);
    EXPECT_EQ(restrictPath(dir + "store", FileReaders::everyone), 0);
    EXPECT_EQ(modeOf(dir + "store"), 0755u);
}

TEST(OwnerAccess, NeverThroughALink)
{
    const std::string dir = testFolder();
    ASSERT_EQ(mkdir((dir + "outside").c_str(), 0755), 0);
    ASSERT_EQ(symlink("outside", (dir + "link").c_str()), 0);
    EXPECT_NE(restrictToOwnerAndAdministrators(dir + "link"), 0);
    EXPECT_EQ(modeOf(dir + "outside"), 0755u);
    int handle = -1;
    ASSERT_EQ(symlink("missing", (dir + "dangling").c_str()), 0);
    EXPECT_NE(createPrivateFile(dir + "dangling", handle), 0);  // never created where it leads
    EXPECT_FALSE(fs::exists(dir + "missing"));
}
