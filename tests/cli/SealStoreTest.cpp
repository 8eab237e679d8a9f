// The seal store through the built programs: made whole or not at all, extended all or
// nothing, refused on an unsafe way, erased by the clock and kept from a clock far ahead.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/ProgramRuns.h"
#include "corelib/DateTime.h"
#include "corelib/platform/SealCrypto.h"
#include "datahandling/SealStore.h"

namespace {

using namespace ProgramRuns;
using KelvraCorelib::SealStore;

const std::string sealPath = std::string(TEST_BINARY_DIR) + "/tools/trawlex-seal/trawlex-seal";
const std::string fakeTimeLibrary = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
constexpr int64_t hour = 3600000;

std::string dateIn(int64_t hours)
{
    return KelvraCorelib::DateTime(KelvraCorelib::DateTime::now().count + hours * hour).toText(false);
}

class SealStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TRAWLEX_SEAL_DIR", store.c_str(), 1);
        setenv("TRAWLEX_REGISTRY_DIR", (folder / ".registry").c_str(), 1);
    }

    Outcome seal(const std::vector<std::string>& arguments, const TestSupport::Environment& environment = {})
    {
        return runProgram(folder, sealPath, arguments, environment);
    }

    Outcome collect(const std::string& text, const TestSupport::Environment& environment = {})
    {
        return runProgram(folder, programPath,
                          {"--target", (folder / "out").string(), "--module", "os", "--datatype", "df", "--interval",
                           "PT1M", "--timeout", "PT30S", "--exe", "/bin/echo", "--args", text},
                          environment);
    }

    // The file holding text is sealed and valid under the store's key (or unsealed
    // and valid by its signature line alone).
    void expectFile(const std::string& text, bool sealed)
    {
        for (const fs::path& file : TestSupport::filesEndingIn(folder / "out", ".data")) {
            if (readFile(file).find(text) == std::string::npos)
                continue;
            EXPECT_EQ(readFile(file).find("@SEAL: ") != std::string::npos, sealed) << text;
            std::vector<std::string> words = {file.string()};
            if (sealed)
                words = {"--seal-key", (store / "verification.key").string(), file.string()};
            const Outcome checked = runProgram(folder, verifierPath, words);
            EXPECT_EQ(checked.exitCode, 0) << checked.out;
            return;
        }
        ADD_FAILURE() << "no file holds " << text;
    }

    // Every epoch's secret, where it is still there, is the one of its published key.
    void expectKeysBesideTheirPublicKeys()
    {
        SealStore opened;
        std::string problem;
        ASSERT_TRUE(opened.open(store.string(), problem)) << problem;
        EXPECT_EQ(fs::file_size(store / "epochs.secret"), opened.epochCount() * SealStore::secretRecordSize);
        EXPECT_EQ(fs::file_size(store / "epochs.public"), opened.epochCount() * SealStore::publicRecordSize);
        for (uint64_t i = 0; i < opened.epochCount(); ++i) {
            SealStore::Epoch epoch;
            ASSERT_TRUE(opened.epochByIndex(i, epoch, SealStore::WithSecret::yes, problem)) << problem;
            if (epoch.seed.empty())
                continue;
            std::string derived(32, '\0');
            ASSERT_TRUE(KelvraCorelib::Platform::ed25519PublicKey(reinterpret_cast<const uint8_t*>(epoch.seed.data()),
                                                                  reinterpret_cast<uint8_t*>(derived.data())));
            ASSERT_EQ(derived, epoch.publicKey) << "epoch " << epoch.number;
        }
    }

    TestSupport::TempDir scratch{"trawlex-seal-store"};
    fs::path folder = scratch.path();
    fs::path store = folder / "store";
};

TEST_F(SealStoreTest, AnInitThatFailsOrIsKilledLeavesNoStoreAndTheNextOneWorks)
{
    // Checked before anything is made: a master file's missing folder, too many epochs.
    const fs::path unmounted = folder / "usb" / "host.master";
    Outcome refused = seal({"init", "--master-out", unmounted.string()});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out, "ERROR: cannot write the master secret to \"" + unmounted.string() + "\": its folder \"" +
                               (folder / "usb").string() + "\" does not exist\n");
    refused = seal({"init", "--epoch", "PT1S"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.out.find("are more than a store holds"), std::string::npos) << refused.out;
    for (const std::string& name : TestSupport::namesIn(folder))
        EXPECT_EQ(name[0], '.') << name << " was made";
    EXPECT_FALSE(fs::exists(folder / ".store.making"));

    // Killed while it makes its many keys: nothing at the store's place.
    const fs::path making = folder / ".store.making";
    const int pid = TestSupport::startProgram(folder, sealPath, {"init", "--epoch", "PT1S", "--until", dateIn(480)},
                                              folder / ".out", folder / ".err");
    ASSERT_GT(pid, 0);
    int status = 0;
    bool ended = false;
    while (!ended && !fs::exists(making / "epochs.public"))
        ended = waitpid(pid, &status, WNOHANG) == pid;
    ASSERT_FALSE(ended) << "init ended before it was killed";
    kill(pid, SIGKILL);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_FALSE(fs::exists(store));
    ASSERT_TRUE(fs::exists(making));
    // Runs go on unsealed, as without a store.
    EXPECT_EQ(collect("after the kill").exitCode, 0);

    const Outcome made = seal({"init", "--until", dateIn(48), "--master-out", (folder / "master").string()});
    ASSERT_EQ(made.exitCode, 0) << made.out;
    EXPECT_FALSE(fs::exists(making));
    EXPECT_EQ(seal({"status"}).exitCode, 0);
    ASSERT_EQ(collect("sealed").exitCode, 0);
    expectFile("sealed", true);
}

TEST_F(SealStoreTest, AnExtensionThatFailsAnywhereLeavesTheStoreSealing)
{
    if (TestSupport::sanitizedBuild)
        GTEST_SKIP() << "a sanitizer's run-time does not survive faults injected by strace (the plain build runs it)";
    if (system("strace -V > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed";
    const fs::path master = folder / "master";
    ASSERT_EQ(seal({"init", "--until", dateIn(24), "--master-out", master.string()}).exitCode, 0);
    const std::string storeFile = readFile(store / "store");
    // The writes of an extension: the secrets, the public records, the new store file.
    for (int write = 1; write <= 3; ++write) {
        const Outcome failed =
            TestSupport::runShell(folder, "strace -f -o /dev/null -e trace=write -e inject=write:error=ENOSPC:when=" +
                                              std::to_string(write) + " " + sealPath + " extend --master " +
                                              master.string() + " --until " + dateIn(100 + write * 24));
        EXPECT_EQ(failed.exitCode, 1) << "write " << write << ": " << failed.out;
        EXPECT_EQ(readFile(store / "store"), storeFile) << "write " << write;
        expectKeysBesideTheirPublicKeys();
        ASSERT_EQ(collect("failed " + std::to_string(write)).exitCode, 0);
        expectFile("failed " + std::to_string(write), true);
    }
    const Outcome extended = seal({"extend", "--master", master.string(), "--until", dateIn(400)});
    ASSERT_EQ(extended.exitCode, 0) << extended.out;
    expectKeysBesideTheirPublicKeys();
    ASSERT_EQ(collect("extended").exitCode, 0);
    expectFile("extended", true);
}

TEST_F(SealStoreTest, AFolderOnTheWayThatOthersCanChangeStopsSealing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the folders on the way belong to other accounts";
    const fs::path way = folder / "way";
    fs::create_directory(way);
    store = way / "store";
    setenv("TRAWLEX_SEAL_DIR", store.c_str(), 1);
    ASSERT_EQ(seal({"init", "--until", dateIn(24)}).exitCode, 0);
    // A public key readable by all seals as before.
    chmod((store / "verification.key").c_str(), 0644);
    ASSERT_EQ(collect("public key").exitCode, 0);
    expectFile("public key", true);

    const std::string says = "ERROR: Cannot seal: the way to the seal store \"" + store.string() + "\" is not safe: \"" +
                             way.string() + "\" is ";
    int run = 0;
    for (const auto& spoil : {+[](const char* path) { return chmod(path, 0777); },
                              +[](const char* path) { return chown(path, 65534, 65534); }}) {
        ASSERT_EQ(spoil(way.c_str()), 0);
        const std::string text = "spoilt " + std::to_string(++run);
        const Outcome refused = collect(text);
        EXPECT_EQ(refused.exitCode, 2);
        EXPECT_EQ(refused.out.rfind(says, 0), 0u) << refused.out;
        expectFile(text, false);
        EXPECT_EQ(seal({"status"}).exitCode, 1);
        // Moved aside, the store is missed all the same.
        fs::rename(store, folder / "aside");
        EXPECT_EQ(collect(text + " moved").exitCode, 2);
        fs::rename(folder / "aside", store);
        ASSERT_EQ(chmod(way.c_str(), 0755), 0);
        ASSERT_EQ(chown(way.c_str(), 0, 0), 0);
    }
    ASSERT_EQ(collect("mended").exitCode, 0);
    expectFile("mended", true);
}

TEST_F(SealStoreTest, EndedKeysGoByTheClockAndAClockFarAheadErasesNothing)
{
    // Three epochs have ended: status shows their kept secrets, erase removes them.
    SealStore::Settings settings;
    const int64_t now = KelvraCorelib::DateTime::now().count;
    settings.span = hour;
    settings.now = now - 3 * hour;
    settings.until = now + 24 * hour;
    std::string line;
    std::string problem;
    ASSERT_TRUE(SealStore::create(store.string(), settings, line, problem)) << problem;
    Outcome status = seal({"status"});
    EXPECT_EQ(status.exitCode, 0) << status.out;
    EXPECT_NE(status.out.find("ended epochs with a secret key still present: 3 (from " +
                              SealStore::dateOf((settings.now / hour) * hour) + ")"),
              std::string::npos)
        << status.out;
    EXPECT_NE(status.out.find("WARNING: the keys run out on "), std::string::npos) << status.out;
    const Outcome erased = seal({"erase"});
    EXPECT_EQ(erased.exitCode, 0);
    EXPECT_EQ(erased.out, "");
    EXPECT_EQ(readFile(store / "epochs.secret").substr(0, 3 * 32), std::string(3 * 32, '\0'));
    EXPECT_NE(seal({"status"}).out.find("still present: none"), std::string::npos);

    if (TestSupport::sanitizedBuild)
        GTEST_SKIP() << "a sanitizer's run-time must come first, before libfaketime's preload (the plain build runs it)";
    if (!fs::exists(fakeTimeLibrary))
        GTEST_SKIP() << "libfaketime is not installed (" << fakeTimeLibrary << ")";
    const std::string secrets = readFile(store / "epochs.secret");
    const TestSupport::Environment ahead = {{"LD_PRELOAD", fakeTimeLibrary}, {"FAKETIME", "+1095d"}};
    const Outcome far = collect("three years on", ahead);
    EXPECT_EQ(far.exitCode, 2);
    EXPECT_EQ(far.out.rfind("ERROR: Cannot seal: the time ", 0), 0u) << far.out;
    EXPECT_NE(far.out.find("is more than 7 days after the latest time the seal store"), std::string::npos) << far.out;
    EXPECT_EQ(seal({"erase"}, ahead).exitCode, 1);
    status = seal({"status"}, ahead);
    EXPECT_EQ(status.exitCode, 1);
    EXPECT_NE(status.out.find("trawlex-seal erase --accept-clock"), std::string::npos) << status.out;
    EXPECT_EQ(readFile(store / "epochs.secret"), secrets) << "a clock far ahead erased keys";
    // The clock put right, sealing goes on.
    ASSERT_EQ(collect("back in time").exitCode, 0);
    expectFile("back in time", true);

    // Accepted, the clock erases every ended key, and the run says when its keys are.
    ASSERT_EQ(seal({"erase", "--accept-clock"}, ahead).exitCode, 0);
    EXPECT_EQ(readFile(store / "epochs.secret"), std::string(secrets.size(), '\0'));
    const Outcome expired = collect("expired", ahead);
    EXPECT_EQ(expired.exitCode, 2);
    EXPECT_NE(expired.out.find("has no key for the time " + SealStore::dateOf(now + 1095 * 24 * hour).substr(0, 10)),
              std::string::npos)
        << expired.out;
    EXPECT_NE(expired.out.find("trawlex-seal extend --master FILE"), std::string::npos) << expired.out;
}

}  // namespace
