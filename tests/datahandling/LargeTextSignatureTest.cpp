// A large raw text is digested in two halves on two threads while it is written: the halves
// must add up to the one-pass digest, and the file must carry exactly the one-pass signature.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "corelib/Crypto.h"
#include "datahandling/DataLog.h"
#include "support/DataLogSupport.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;
namespace fs = std::filesystem;

namespace {

// Bytes of every value, lines now and then; cheap to make and the same every time.
std::string makeText(size_t size)
{
    std::string text(size, '\0');
    uint32_t state = 2463534242u;
    for (char& c : text) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state % 41 == 0 ? '\n' : state >> 24);
    }
    return text;
}

TEST(LargeTextSignature, HalvesOnTwoThreadsEqualOnePass)
{
    const std::string text = makeText(5 * 1024 * 1024 + 37);
    for (const bool alternative : {false, true}) {
        Crypto::Signature one(2, alternative);
        one.update("lead\n");
        one.update(text);
        Crypto::Signature halves(2, alternative);
        halves.update("lead\n");
        std::thread md5([&] { halves.updateMd5(text.data(), text.size()); });
        halves.updateHash(text.data(), 1000);
        halves.updateHash(text.data() + 1000, text.size() - 1000);
        md5.join();
        EXPECT_EQ(halves.hash64Value(), one.hash64Value());
        for (const int32_t type : {1, 2}) {
            EXPECT_EQ(halves.signatureText(2, true, type), one.signatureText(2, true, type)) << type;
        }
    }
}

TEST(LargeTextSignature, FileCarriesTheOnePassSignature)
{
    const fs::path dir = TestSupport::testFolder();
    // Larger than the size from which the digest runs beside the write.
    const std::string text = makeText(DataLog::parallelDigestSize + 2 * 1024 * 1024 + 5);
    DataLog log;
    TestSupport::describeRawLog(log);
    ASSERT_TRUE(TestSupport::writeCollection(log, dir.string(), text));

    const std::string content = TestSupport::readFile(dir / "app-app.mod-3850000000000-00.data");
    const size_t signatureAt = content.rfind("@SIGNATURE: ");
    ASSERT_NE(signatureAt, std::string::npos);
    ASSERT_NE(content.find("\n@DATA:\n" + text + "\n"), std::string::npos);
    Crypto::Signature expected(2, true);
    expected.update(content.substr(0, signatureAt));
    EXPECT_EQ(content.substr(signatureAt), "@SIGNATURE: " + expected.signatureText(2, true, 0) + "\n");
    std::string reason;
    EXPECT_EQ(DataLog::checkFileSignature((dir / "app-app.mod-3850000000000-00.data").string(), reason),
              DataLog::Check::valid)
        << reason;
}

}  // namespace
