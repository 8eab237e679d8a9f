// Write failures of the data log (a file-size limit stands for a full disk): a file whose
// writing failed is never signed, and a new file that cannot take its header is not left.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "corelib/Exception.h"
#include "datahandling/DataLog.h"
#include "support/DataLogSupport.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;
namespace fs = std::filesystem;

namespace {

// Limits the size of files this process writes; restored when it ends. SIGXFSZ is ignored,
// so that a write past the limit fails instead of ending the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(uint64_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { lift(); }
    void lift()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, previousHandler);
    }

private:
    rlimit saved {};
    sighandler_t previousHandler = SIG_DFL;
};

class DataLogWriteFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
        TestSupport::describeRawLog(log);
        ASSERT_TRUE(log.makeReadyToOpenWriteFile(dir.string(), "app", true, false));
    }

    size_t fileCount() const { return size_t(std::distance(fs::directory_iterator(dir), fs::directory_iterator())); }

    TestSupport::ErrorModeGuard quiet{false};
    TestSupport::TempDir folder{"datalog-write-failure"};
    fs::path dir = folder.path();
    DataLog log;
};

// The limit falls exactly between two pieces of the data, so that the digest and the file
// agree on what was written before the failure: signing now would give a file that verifies
// but holds a part of the data.
TEST_F(DataLogWriteFailure, AFileWhoseWritingFailedIsNeverSigned)
{
    ASSERT_TRUE(log.openWriteFile(DataLog::createNew));
    const std::string working = log.currentFileName();
    const uint64_t header = fs::file_size(working);
    const std::string text(3 << 20, 'x');
    {
        FileSizeLimit limit(header + std::strlen("\n@DATA:\n") + (1 << 20));
        ASSERT_TRUE(log.setRawLine(text));
        EXPECT_FALSE(log.writeRaw());
        EXPECT_EQ(log.failureReason(), std::strerror(EFBIG));
    }
    // Space again: closing still fails, and the working file stays unsigned.
    EXPECT_FALSE(log.closeFile());
    EXPECT_FALSE(log.isOpen());
    ASSERT_EQ(fileCount(), 1u);
    ASSERT_TRUE(fs::exists(working));
    std::string reason;
    EXPECT_EQ(DataLog::checkFileSignature(working, reason), DataLog::Check::invalid);

    // The next file of the same object is written and signed as usual.
    log.setSourceMeta("time", "3850000000001");
    ASSERT_TRUE(log.openWriteFile(DataLog::createNew));
    const std::string next = log.currentFileName();
    ASSERT_TRUE(log.setRawLine("abc"));
    ASSERT_TRUE(log.writeRaw());
    ASSERT_TRUE(log.closeFile());
    const std::string final = next.substr(0, next.size() - 5) + "-00.data";
    EXPECT_EQ(DataLog::checkFileSignature(final, reason), DataLog::Check::valid);
}

// Takes what a seal would digest.
struct SeenBySeal : DataLog::Sealer {
    void startFile() override { seen.clear(); }
    void add(const char* data, size_t size) override { seen.append(data, size); }
    std::optional<std::string> lastLine(const DataLog&) override { return std::string(); }
    bool fileDropped() override { return true; }
    std::string seen;
};

// The seal of the next attempt digests exactly its own file, not the bytes that failed.
TEST_F(DataLogWriteFailure, ANewFileThatCannotTakeItsHeaderIsRemoved)
{
    SeenBySeal seal;
    log.setSealer(&seal);
    {
        FileSizeLimit limit(10);
        EXPECT_FALSE(log.openWriteFile(DataLog::createNew));
        EXPECT_EQ(log.failureReason(), std::strerror(EFBIG));
    }
    EXPECT_FALSE(log.isOpen());
    EXPECT_EQ(fileCount(), 0u);
    // The same name is free for the next attempt.
    EXPECT_TRUE(log.openWriteFile(DataLog::createNew));
    EXPECT_TRUE(log.closeFile());
    ASSERT_EQ(fileCount(), 1u);
    EXPECT_EQ(TestSupport::readFile(fs::directory_iterator(dir)->path()), seal.seen);
}

}  // namespace
