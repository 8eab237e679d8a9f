// The platform layer's promises that both implementations (POSIX and Windows) must keep:
// cipher and MD5 answers, local time beyond 2038, exclusive streams, renames and locks of
// open files, empty environment values, which reparse points are links.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "corelib/platform/Clock.h"
#include "corelib/platform/CryptoBackend.h"
#include "corelib/platform/Environment.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/ReparsePoints.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using namespace KelvraCorelib;

namespace {

std::vector<uint8_t> bytesOf(const std::string& hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string hexOf(const uint8_t* bytes, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

using TestSupport::readFile;

class PlatformFiles : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return (dir / name).string(); }

    TestSupport::TempDir folder{"platform-layer"};
    fs::path dir = folder.path();
};

}  // namespace

TEST(PlatformCrypto, KnownAnswers)
{
    // DES (FIPS 81), two equal blocks: ECB gives equal blocks.
    const auto desKey = bytesOf("0123456789abcdef");
    const std::vector<uint8_t> twice = bytesOf("4e6f7720697320744e6f772069732074");
    uint8_t out[32];
    ASSERT_TRUE(Platform::desEncryptBlocks(desKey.data(), twice.data(), out, 16));
    EXPECT_EQ(hexOf(out, 16), "3fa40e8a984d48153fa40e8a984d4815");

    // AES-256 (FIPS 197, appendix C.3), twice.
    const auto aesKey = bytesOf("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const auto aesPlain = bytesOf("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    ASSERT_TRUE(Platform::aes256EncryptBlocks(aesKey.data(), aesPlain.data(), out, 32));
    EXPECT_EQ(hexOf(out, 32), "8ea2b7ca516745bfeafc49904b4960898ea2b7ca516745bfeafc49904b496089");

    // MD5 of "abc" (RFC 1321): one padded block from the standard state.
    uint8_t block[64] = {'a', 'b', 'c', 0x80};
    block[56] = 24;
    uint32_t state[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    Platform::md5Compress(state, block);
    uint8_t digest[16];
    for (int i = 0; i < 16; ++i)
        digest[i] = static_cast<uint8_t>(state[i / 4] >> (8 * (i % 4)));
    EXPECT_EQ(hexOf(digest, 16), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(PlatformClock, LocalTimeBeyond2038)
{
    std::string saved;
    const bool hadTz = Platform::environmentVariable("TZ", saved);
    ASSERT_TRUE(Platform::setEnvironmentVariable("TZ", "UTC0"));
    Platform::reloadLocalTimeZone();
    Platform::LocalTimeFields fields;
    ASSERT_TRUE(Platform::localTimeOf(4102444800LL, fields));  // 2100-01-01T00:00:00Z
    EXPECT_EQ(fields.year, 2100);
    EXPECT_EQ(fields.month, 1);
    EXPECT_EQ(fields.day, 1);
    EXPECT_EQ(fields.weekday, 4);  // a Friday
    EXPECT_EQ(fields.utcOffsetSeconds, 0);
    int64_t seconds = 0;
    fields.hour = 12;
    ASSERT_TRUE(Platform::localTimeToSeconds(fields, seconds));
    EXPECT_EQ(seconds, 4102444800LL + 12 * 3600);
    if (hadTz)
        Platform::setEnvironmentVariable("TZ", saved);
    else
        Platform::unsetEnvironmentVariable("TZ");
    Platform::reloadLocalTimeZone();
}

// Only name surrogates lead elsewhere; deduplicated (0x80000013) and cloud (0x9000001A)
// files are the entry itself, an untagged one (wine) is judged elsewhere.
TEST(PlatformReparsePoints, OnlyNameSurrogatesAreLinks)
{
    using Platform::ReparseKind;
    EXPECT_EQ(Platform::reparseKindOf(false, 0xA000000C), ReparseKind::none);
    EXPECT_EQ(Platform::reparseKindOf(true, 0xA000000C), ReparseKind::link);
    EXPECT_EQ(Platform::reparseKindOf(true, 0xA0000003), ReparseKind::mountPoint);
    EXPECT_EQ(Platform::reparseKindOf(true, 0xA000001D), ReparseKind::link);  // a WSL symbolic link
    EXPECT_EQ(Platform::reparseKindOf(true, 0x80000013), ReparseKind::data);
    EXPECT_EQ(Platform::reparseKindOf(true, 0x9000001A), ReparseKind::data);
    EXPECT_EQ(Platform::reparseKindOf(true, 0), ReparseKind::untold);
}

TEST(PlatformEnvironment, EmptyValuesAreSetAndRemovedOnes)
{
    ASSERT_TRUE(Platform::setEnvironmentVariable("TRAWLEX_PLATFORM_TEST", ""));
    std::string value = "x";
    EXPECT_TRUE(Platform::environmentVariable("TRAWLEX_PLATFORM_TEST", value));
    EXPECT_EQ(value, "");
    ASSERT_TRUE(Platform::unsetEnvironmentVariable("TRAWLEX_PLATFORM_TEST"));
    EXPECT_FALSE(Platform::environmentVariable("TRAWLEX_PLATFORM_TEST", value));
    EXPECT_TRUE(Platform::unsetEnvironmentVariable("TRAWLEX_PLATFORM_TEST"));
    EXPECT_FALSE(Platform::setEnvironmentVariable("A=B", "c"));
}

TEST_F(PlatformFiles, ExclusiveStreamsNeverTruncate)
{
    std::FILE* first = Platform::openStream(path("a.txt"), "wbx");
    ASSERT_NE(first, nullptr);
    std::fputs("kept", first);
    std::fclose(first);
    EXPECT_EQ(Platform::openStream(path("a.txt"), "wbx"), nullptr);
    EXPECT_EQ(readFile(dir / "a.txt"), "kept");
    std::FILE* append = Platform::openStream(path("a.txt"), "ab");
    ASSERT_NE(append, nullptr);
    std::fputs("+more", append);
    std::fclose(append);
    EXPECT_EQ(readFile(dir / "a.txt"), "kept+more");
}

TEST_F(PlatformFiles, OpenFilesAreRenamedAndLockedWithoutBlockingData)
{
    int handle = -1;
    ASSERT_EQ(Platform::createExclusive(path("work.make"), handle), 0);
    ASSERT_EQ(Platform::writeFile(handle, "line\n", 5), 0);
    ASSERT_EQ(Platform::lockFile(handle), 0);

    // Another handle cannot take the lock, yet reads the data.
    int other = -1;
    ASSERT_EQ(Platform::openFile(path("work.make"), Platform::OpenRead, other), 0);
    EXPECT_TRUE(Platform::isLockedElsewhere(Platform::lockFile(other)));
    char buffer[16];
    size_t count = 0;
    ASSERT_EQ(Platform::readFile(other, buffer, sizeof(buffer), count), 0);
    EXPECT_EQ(std::string(buffer, count), "line\n");
    Platform::closeFile(other);

    // Renamed while open; an existing target is never replaced.
    std::FILE* stream = Platform::openStream(path("taken.data"), "wb");
    ASSERT_NE(stream, nullptr);
    std::fclose(stream);
    EXPECT_TRUE(Platform::isAlreadyExists(Platform::renameNoReplace(path("work.make"), path("taken.data"))));
    EXPECT_EQ(Platform::renameNoReplace(path("work.make"), path("work.data")), 0);
    ASSERT_EQ(Platform::writeFile(handle, "more\n", 5), 0);
    EXPECT_EQ(Platform::closeFile(handle), 0);
    EXPECT_EQ(readFile(dir / "work.data"), "line\nmore\n");
    EXPECT_EQ(readFile(dir / "taken.data"), "");
    EXPECT_TRUE(Platform::isNotFound(Platform::removeFile(path("work.make"))));
}
