// Sealed collections: forgery, forward security, the chain per source, the witness. The
// programs run as black boxes with TRAWLEX_SEAL_DIR naming a store in a temporary folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "cli/ProgramRuns.h"
#include "corelib/Codecs.h"
#include "corelib/DateTime.h"
#include "corelib/FileTools.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/SealCrypto.h"
#include "datahandling/DataLog.h"
#include "datahandling/SealChain.h"
#include "datahandling/SealCheck.h"
#include "datahandling/SealLine.h"
#include "datahandling/SealStore.h"

namespace {

using namespace ProgramRuns;
using KelvraCorelib::DataLog;
using KelvraCorelib::SealCheck;
using KelvraCorelib::SealLine;
using KelvraCorelib::SealStore;

const std::string sealPath = std::string(TEST_BINARY_DIR) + "/tools/trawlex-seal/trawlex-seal";
constexpr int64_t hour = 3600000;

std::vector<fs::path> dataFiles(const fs::path& dir)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file() && entry.path().extension() == ".data")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

class SealTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(folder / "out");
        setenv("TRAWLEX_SEAL_DIR", store.c_str(), 1);
    }

    // A store whose first epoch began pastHours ago (epochs of one hour, until two hours on).
    void makeStore(int64_t pastHours = 0)
    {
        SealStore::Settings settings;
        const int64_t now = KelvraCorelib::DateTime::now().count;
        settings.span = hour;
        settings.now = now - pastHours * hour;
        settings.until = now + 2 * hour;
        std::string line;
        std::string problem;
        ASSERT_TRUE(SealStore::create(store.string(), settings, line, problem)) << problem;
        keyFile = folder / "host.key";
        writeFile(keyFile, line + "\n");
    }

    Outcome collect(const std::string& text = "disk 42%", const std::string& datatype = "df")
    {
        return runProgram(folder, programPath,
                   {"--target", (folder / "out").string(), "--module", "os", "--datatype", datatype, "--interval",
                    "PT1M", "--timeout", "PT30S", "--exe", "/bin/echo", "--args", text});
    }

    Outcome verify(std::vector<std::string> arguments)
    {
        std::vector<std::string> all = {"--seal-key", keyFile.string()};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return runProgram(folder, verifierPath, all);
    }

    // The in-process check of one file as the verifier makes it.
    SealCheck::Result checkSeal(const fs::path& file)
    {
        SealCheck check;
        std::string problem;
        EXPECT_TRUE(check.addKeys(keyFile.string(), problem)) << problem;
        std::map<std::string, std::string> header;
        std::string reason;
        if (DataLog::checkFileSignature(file.string(), reason, &header) != DataLog::Check::valid) {
            SealCheck::Result invalid;
            invalid.reason = "signature";
            return invalid;
        }
        return check.check(file.string(), header);
    }

    TestSupport::TempDir scratch{"trawlex-seal-test"};
    fs::path folder = scratch.path();
    fs::path store = folder / "store";
    fs::path keyFile;
};

// A file whose signature line is made afresh over the given bytes (what anyone can do with
// the program's own signature).
std::string resigned(const std::string& body)
{
    return body + TestSupport::signatureLine(body);
}

std::string withoutTrailer(const std::string& file)
{
    return file.substr(0, file.rfind("@SIGNATURE: "));
}

std::string sealLineOf(const std::string& file)
{
    return file.substr(file.rfind("@SEAL: "));
}

// Seals body + signature line with an epoch key of the store (as a thief with the store could).
std::string sealedWith(const std::string& signedText, const std::string& keyId, const SealStore::Epoch& epoch)
{
    using namespace KelvraCorelib::Platform;
    HashDigest digest(HashDigest::Kind::sha512);
    digest.update(signedText.data(), signedText.size());
    SealLine seal;
    seal.keyId = keyId;
    seal.epoch = epoch.number;
    seal.start = epoch.start;
    seal.end = epoch.end;
    seal.epochKey = epoch.publicKey;
    seal.certificate = epoch.certificate;
    seal.signature.assign(64, '\0');
    const std::string message = SealLine::fileMessage(seal.format, digest.finish());
    EXPECT_TRUE(ed25519Sign(reinterpret_cast<const uint8_t*>(epoch.seed.data()),
                            reinterpret_cast<const uint8_t*>(epoch.publicKey.data()),
                            reinterpret_cast<const uint8_t*>(message.data()), message.size(),
                            reinterpret_cast<uint8_t*>(seal.signature.data())));
    return signedText + seal.text() + "\n";
}

TEST_F(SealTest, SealedFilesVerifyAndEveryForgeryFails)
{
    makeStore();
    ASSERT_EQ(collect("first").exitCode, 0);
    ASSERT_EQ(collect("second").exitCode, 0);
    std::vector<fs::path> files = dataFiles(folder / "out");
    ASSERT_EQ(files.size(), 2u);
    const std::string sealed = readFile(files[0]);
    EXPECT_EQ(metaValue(sealed, "seal.sequence"), "1");
    EXPECT_EQ(metaValue(sealed, "seal.previous"), "none");
    EXPECT_EQ(metaValue(sealed, "seal.key-id").size(), 16u);
    EXPECT_TRUE(checkSeal(files[0]).valid);

    // Without --seal-key a sealed file is valid by its signature line alone.
    Outcome plain = runProgram(folder, verifierPath, {files[0].string()});
    EXPECT_EQ(plain.exitCode, 0) << plain.out;
    Outcome checked = verify({(folder / "out").string()});
    EXPECT_EQ(checked.exitCode, 0) << checked.out;

    // Changing any one byte of a sealed file makes it invalid.
    const fs::path changed = folder / "changed.data";
    for (size_t i = 0; i < sealed.size(); ++i) {
        std::string copy = sealed;
        copy[i] = char(copy[i] ^ (copy[i] == '\n' ? 0x21 : 0x01));
        writeFile(changed, copy);
        ASSERT_FALSE(checkSeal(changed).valid) << "byte " << i;
    }

    // Unsealed, then edited and given a fresh signature line: no seal.
    fs::remove_all(store);
    ASSERT_EQ(collect("unsealed").exitCode, 0);
    fs::path unsealedFile;
    for (const fs::path& file : dataFiles(folder / "out"))
        if (std::find(files.begin(), files.end(), file) == files.end())
            unsealedFile = file;
    const std::string unsealed = readFile(unsealedFile);
    EXPECT_EQ(unsealed.find("@SEAL: "), std::string::npos);
    EXPECT_EQ(metaValue(unsealed, "seal.sequence"), "");
    std::string edited = withoutTrailer(unsealed);
    edited.replace(edited.find("unsealed"), 8, "forged!!");
    writeFile(folder / "forged.data", resigned(edited));
    Outcome forged = verify({(folder / "forged.data").string()});
    EXPECT_EQ(forged.exitCode, 1);
    EXPECT_NE(forged.out.find("INVALID (no seal)"), std::string::npos) << forged.out;
    // The plain check still takes it: that is what the seal is for.
    EXPECT_EQ(runProgram(folder, verifierPath, {(folder / "forged.data").string()}).exitCode, 0);

    // A seal line moved from another sealed file of the same chain.
    const std::string other = readFile(files[1]);
    writeFile(folder / "moved.data", sealed.substr(0, sealed.rfind("@SEAL: ")) + sealLineOf(other));
    Outcome moved = verify({(folder / "moved.data").string()});
    EXPECT_EQ(moved.exitCode, 1);
    EXPECT_NE(moved.out.find("does not sign this file"), std::string::npos) << moved.out;

    // Two seal lines, or anything after the seal line, break even the plain check.
    writeFile(folder / "twice.data", sealed + sealLineOf(sealed));
    EXPECT_EQ(runProgram(folder, verifierPath, {(folder / "twice.data").string()}).exitCode, 1);
    writeFile(folder / "after.data", sealed + "x\n");
    EXPECT_EQ(runProgram(folder, verifierPath, {(folder / "after.data").string()}).exitCode, 1);
}

TEST_F(SealTest, AHostsKeyVouchesForThatHostAlone)
{
    makeStore();
    ASSERT_EQ(collect().exitCode, 0);
    const std::string sealed = readFile(dataFiles(folder / "out").at(0));
    const std::string host = metaValue(sealed, "source.host");
    EXPECT_NE(readFile(keyFile).find(" " + host + " "), std::string::npos);
    SealStore opened;
    std::string problem;
    ASSERT_TRUE(opened.open(store.string(), problem)) << problem;
    SealStore::Epoch current;
    ASSERT_TRUE(opened.epochAt(std::stoll(metaValue(sealed, "source.time")), current, problem)) << problem;

    // A taken-over collector writes another host's name and seals it with its own keys.
    std::string forged = withoutTrailer(sealed);
    const size_t at = forged.find("source.host=") + 12;
    forged.replace(at, forged.find('\n', at) - at, "web2");
    fs::create_directory(folder / "web2");
    writeFile(folder / "web2" / "forged.data", sealedWith(resigned(forged), opened.keyId(), current));
    Outcome checked = verify({"--json", (folder / "web2").string(), (folder / "out").string()});
    EXPECT_EQ(checked.exitCode, 1) << checked.out;
    EXPECT_NE(checked.out.find("sealed by the key of the host \\\"" + host +
                               "\\\", not of the file's source.host \\\"web2\\\""),
              std::string::npos)
        << checked.out;
    EXPECT_NE(checked.out.find("\"sealed_by\":{\"host\":\"" + host + "\",\"key-id\":\"" + opened.keyId() + "\"}"),
              std::string::npos)
        << checked.out;

    // The collector does not seal with another host's store, and two keys with one id are refused.
    fs::remove_all(store);
    SealStore::Settings settings;
    settings.now = KelvraCorelib::DateTime::now().count;
    settings.until = settings.now + hour;
    settings.host = "web2";
    std::string line;
    ASSERT_TRUE(SealStore::create(store.string(), settings, line, problem)) << problem;
    const Outcome refused = collect();
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.out.find("belongs to the host \"web2\", not to this collection's source.host"), std::string::npos)
        << refused.out;
    const std::string relabelled = line.substr(0, line.rfind(' ') - 4) + host + line.substr(line.rfind(' '));
    fs::create_directory(folder / "keys");
    writeFile(folder / "keys" / "a.key", line + "\n");
    writeFile(folder / "keys" / "b.key", relabelled + "\n");
    const Outcome twice = runProgram(folder, verifierPath, {"--seal-key", (folder / "keys").string(), (folder / "out").string()});
    EXPECT_EQ(twice.exitCode, 2);
    EXPECT_NE(twice.err.find("two different verification keys with the key id"), std::string::npos) << twice.err;
}

TEST_F(SealTest, EpochKeyWithoutCertificateAndLaterEpochAreRefused)
{
    makeStore(1);
    ASSERT_EQ(collect().exitCode, 0);
    const std::string sealed = readFile(dataFiles(folder / "out").at(0));
    SealStore opened;
    std::string problem;
    ASSERT_TRUE(opened.open(store.string(), problem)) << problem;
    SealStore::Epoch current;
    const int64_t time = std::stoll(metaValue(sealed, "source.time"));
    ASSERT_TRUE(opened.epochAt(time, current, problem)) << problem;

    // A past time sealed with the current epoch's key (the thief's best try after a takeover).
    std::string past = withoutTrailer(sealed);
    const size_t at = past.find("source.time=") + 12;
    past.replace(at, past.find('\n', at) - at, std::to_string(time - hour));
    writeFile(folder / "backdated.data", sealedWith(resigned(past), opened.keyId(), current));
    Outcome backdated = verify({(folder / "backdated.data").string()});
    EXPECT_EQ(backdated.exitCode, 1);
    EXPECT_NE(backdated.out.find("lies outside the seal's epoch"), std::string::npos) << backdated.out;

    // An epoch key of one's own, with a certificate copied from the real one.
    SealStore::Epoch own = current;
    own.seed.assign(32, '\x07');
    own.publicKey.assign(32, '\0');
    ASSERT_TRUE(KelvraCorelib::Platform::ed25519PublicKey(reinterpret_cast<const uint8_t*>(own.seed.data()),
                                                          reinterpret_cast<uint8_t*>(own.publicKey.data())));
    writeFile(folder / "uncertified.data", sealedWith(resigned(withoutTrailer(sealed)), opened.keyId(), own));
    Outcome uncertified = verify({(folder / "uncertified.data").string()});
    EXPECT_EQ(uncertified.exitCode, 1);
    EXPECT_NE(uncertified.out.find("has no valid certificate"), std::string::npos) << uncertified.out;
}

TEST_F(SealTest, ASealedFileHasOneEncodingOnly)
{
    // Anyone can make a second valid file from a real one if another encoding passes: S + L
    // in the file's signature or in the certificate, or the seal line without its line feed.
    makeStore();
    ASSERT_EQ(collect().exitCode, 0);
    const std::string sealed = readFile(dataFiles(folder / "out").at(0));
    const std::string line = sealLineOf(sealed);
    const std::string body = sealed.substr(0, sealed.size() - line.size());
    const std::optional<SealLine> seal = SealLine::parse(line.substr(0, line.size() - 1));
    ASSERT_TRUE(seal);
    SealLine fileSignature = *seal;
    fileSignature.signature = TestSupport::withGroupOrderAdded(seal->signature);
    SealLine certificate = *seal;
    certificate.certificate = TestSupport::withGroupOrderAdded(seal->certificate);
    const std::pair<std::string, std::string> cases[] = {
        {body + fileSignature.text() + "\n", "INVALID (the seal's signature or epoch key is not in its canonical"},
        {body + certificate.text() + "\n", "INVALID (the certificate of epoch " + std::to_string(seal->epoch) +
                                               " is not a canonical signature)"},
        {sealed.substr(0, sealed.size() - 1), "INVALID (the seal line does not end in a line feed)"},
    };
    for (const auto& [text, says] : cases) {
        writeFile(folder / "copy.data", text);
        const Outcome outcome = verify({(folder / "copy.data").string()});
        EXPECT_EQ(outcome.exitCode, 1) << says;
        EXPECT_NE(outcome.out.find(says), std::string::npos) << outcome.out;
    }
}

TEST_F(SealTest, ASecretKeyThatIsNotThePublishedOneSealsNothing)
{
    makeStore();
    const fs::path secrets = store / "epochs.secret";
    writeFile(secrets, std::string(fs::file_size(secrets), '\x07'));
    const Outcome outcome = collect();
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_EQ(outcome.out.rfind("ERROR: Cannot seal: the secret key of epoch ", 0), 0u) << outcome.out;
    EXPECT_NE(outcome.out.find("does not match its published key"), std::string::npos) << outcome.out;
    // Kept unsealed, never with a seal that does not verify.
    const std::string kept = readFile(dataFiles(folder / "out").at(0));
    EXPECT_EQ(kept.find("@SEAL: "), std::string::npos);
    EXPECT_EQ(metaValue(kept, "seal.key-id"), "");
    EXPECT_EQ(runProgram(folder, verifierPath, {dataFiles(folder / "out").at(0).string()}).exitCode, 0);
}

TEST_F(SealTest, AStoreThatIsNotPrivateIsRefusedAndTheCollectionKeptUnsealed)
{
    makeStore();
    struct Case {
        const char* what;
        std::function<void()> spoil;
        std::function<void()> mend;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"folder readable", [&] { chmod(store.c_str(), 0755); }, [&] { chmod(store.c_str(), 0700); },
         "can be read or changed by other accounts (mode 0755"},
        {"secret readable", [&] { chmod((store / "epochs.secret").c_str(), 0640); },
         [&] { chmod((store / "epochs.secret").c_str(), 0600); }, "epochs.secret\" can be read or changed"},
        {"owner", [&] { ASSERT_EQ(lchown((store / "store").c_str(), 65534, 65534), 0); },
         [&] { ASSERT_EQ(lchown((store / "store").c_str(), 0, 0), 0); }, "is owned by another account"},
    };
    size_t count = 0;
    for (const Case& one : cases) {
        one.spoil();
        const Outcome outcome = collect(one.what);
        one.mend();
        EXPECT_EQ(outcome.exitCode, 2) << one.what;
        EXPECT_EQ(outcome.out.rfind("ERROR: ", 0), 0u) << outcome.out;
        EXPECT_NE(outcome.out.find(one.says), std::string::npos) << outcome.out;
        // The data is kept, valid by its signature line, without a seal.
        const std::vector<fs::path> files = dataFiles(folder / "out");
        ASSERT_EQ(files.size(), ++count);
        for (const fs::path& file : files) {
            const std::string text = readFile(file);
            if (text.find(one.what) == std::string::npos)
                continue;
            EXPECT_EQ(text.find("@SEAL: "), std::string::npos);
            EXPECT_EQ(runProgram(folder, verifierPath, {file.string()}).exitCode, 0);
        }
        EXPECT_EQ(runProgram(folder, sealPath, {"status"}).exitCode, 0);
    }
}

TEST_F(SealTest, ChainShowsAMissingFileButNotRenamingOrOrder)
{
    const std::string tomorrow = KelvraCorelib::DateTime(KelvraCorelib::DateTime::now().count + 26 * hour).toText(false);
    ASSERT_EQ(runProgram(folder, sealPath, {"init", "--until", tomorrow}).exitCode, 0);
    keyFile = store / "verification.key";
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(collect("run " + std::to_string(i)).exitCode, 0);
    std::vector<fs::path> files = dataFiles(folder / "out");
    ASSERT_EQ(files.size(), 20u);
    Outcome whole = verify({(folder / "out").string()});
    EXPECT_EQ(whole.exitCode, 0) << whole.out;

    // Other names, other folders, any order: nothing to report.
    fs::create_directories(folder / "moved" / "a");
    std::mt19937 random(7);
    std::shuffle(files.begin(), files.end(), random);
    std::vector<std::string> arguments;
    for (size_t i = 0; i < files.size(); ++i) {
        const fs::path to = folder / "moved" / (i % 2 ? "a" : "") / ("x" + std::to_string(i) + ".data");
        fs::rename(files[i], to);
        arguments.push_back(to.string());
    }
    Outcome shuffled = verify(arguments);
    EXPECT_EQ(shuffled.exitCode, 0) << shuffled.out;

    // One deleted: the gap.
    for (const fs::path& file : dataFiles(folder / "moved"))
        if (metaValue(readFile(file), "seal.sequence") == "7")
            fs::remove(file);
    Outcome gap = verify({(folder / "moved").string()});
    EXPECT_EQ(gap.exitCode, 1);
    EXPECT_NE(gap.out.find("1 missing after sequence 6"), std::string::npos) << gap.out;

    // A file of another chain put in its place does not fill it.
    const Outcome status = runProgram(folder, sealPath, {"status"});
    EXPECT_NE(status.out.find("source Trawlex.os.df: last sequence 20"), std::string::npos) << status.out;
}

TEST_F(SealTest, SourcesWhoseNamesJoinAlikeKeepChainsOfTheirOwn)
{
    makeStore();
    // Joined with dots, the first two give one name, and so do the next two.
    const std::vector<std::pair<std::string, std::string>> sources = {
        {"x.y", "z"}, {"x", "y.z"}, {"Trawlex", "q"}, {"q", "q"}, {"os", "df"}, {"5%", "z"}};
    for (const auto& [module, datatype] : sources) {
        const Outcome run = runProgram(folder, programPath,
                                       {"--target", (folder / "out").string(), "--module", module, "--datatype",
                                        datatype, "--interval", "PT1M", "--timeout", "PT30S", "--exe", "/bin/echo",
                                        "--args", module + "/" + datatype});
        ASSERT_EQ(run.exitCode, 0) << run.out;
    }
    const Outcome status = runProgram(folder, sealPath, {"status"});
    ASSERT_EQ(status.exitCode, 0);
    for (const std::string source : {"application \"Trawlex\", module \"x.y\", data type \"z\"",
                                     "application \"Trawlex\", module \"x\", data type \"y.z\"",
                                     "Trawlex.Trawlex.q", "Trawlex.q", "Trawlex.os.df",
                                     "application \"Trawlex\", module \"5%\", data type \"z\""})
        EXPECT_NE(status.out.find("source " + source + ": last sequence 1\n"), std::string::npos)
            << source << "\n" << status.out;
    const Outcome check = verify({"--state", (folder / "witness").string(), "--new-state", (folder / "out").string()});
    EXPECT_EQ(check.exitCode, 0) << check.out;
    EXPECT_NE(check.out.find("6 valid, 0 invalid"), std::string::npos) << check.out;
}

TEST_F(SealTest, ASealIsCheckedInTheFileWhoseHeaderWasRead)
{
    // In a folder that others can write a name may be swapped between the reads of one check:
    // the seal must come from the open file whose header was read, or one file's number would
    // be paired with another file's content in the chain.
    namespace Platform = KelvraCorelib::Platform;
    makeStore();
    ASSERT_EQ(collect("first").exitCode, 0);
    ASSERT_EQ(collect("second").exitCode, 0);
    const std::vector<fs::path> files = dataFiles(folder / "out");
    ASSERT_EQ(files.size(), 2u);
    const SealCheck::Result first = checkSeal(files[0]);
    const SealCheck::Result second = checkSeal(files[1]);
    ASSERT_TRUE(first.valid && second.valid);
    ASSERT_NE(first.hash, second.hash);

    SealCheck check;
    std::string problem;
    ASSERT_TRUE(check.addKeys(keyFile.string(), problem)) << problem;
    int handle = -1;
    ASSERT_EQ(Platform::openFile(files[0].string(), Platform::OpenRead, handle), 0);
    std::map<std::string, std::string> header;
    std::string reason;
    ASSERT_EQ(DataLog::checkOpenFileSignature(handle, reason, &header), DataLog::Check::valid);
    fs::rename(files[1], files[0]);
    const SealCheck::Result byHandle = check.check(handle, header);
    const SealCheck::Result byName = check.check(files[0].string(), header);
    Platform::closeFile(handle);
    EXPECT_TRUE(byHandle.valid) << byHandle.reason;
    EXPECT_EQ(byHandle.sequence, first.sequence);
    EXPECT_EQ(byHandle.hash, first.hash);
    // A check by name reads what the name holds now: the first header with the second file.
    EXPECT_EQ(byName.sequence, first.sequence);
    EXPECT_EQ(byName.hash, second.hash);
}

TEST_F(SealTest, WitnessReportsRemovedNewestFiles)
{
    makeStore();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(collect("run " + std::to_string(i)).exitCode, 0);
    const std::string state = (folder / "witness").string();
    Outcome first = verify({"--state", state, "--new-state", (folder / "out").string()});
    ASSERT_EQ(first.exitCode, 0) << first.out;
    for (const fs::path& file : dataFiles(folder / "out"))
        if (metaValue(readFile(file), "seal.sequence") == "3")
            fs::remove(file);
    Outcome second = verify({"--state", state, (folder / "out").string()});
    EXPECT_EQ(second.exitCode, 1) << second.out;
    EXPECT_NE(second.out.find("the newest file has sequence 2, but the witness saw sequence 3"), std::string::npos)
        << second.out;
    EXPECT_NE(second.out.find("\n2 valid, 0 invalid, 0 unreadable, 1 finding\n"), std::string::npos) << second.out;
}

// Files that begin above the witnessed head are a finding until an operator acknowledges it; a
// check needs its witness unless told to start one.
TEST_F(SealTest, WitnessReportsAGapBehindItsHeadUntilAcknowledged)
{
    makeStore();
    for (int i = 1; i <= 4; ++i)
        ASSERT_EQ(collect("run " + std::to_string(i)).exitCode, 0);
    const std::string state = (folder / "witness").string();
    const std::string out = (folder / "out").string();
    const Outcome missing = verify({"--state", state, out});
    EXPECT_EQ(missing.exitCode, 2) << missing.out;
    EXPECT_NE(missing.err.find("\"" + state + "\""), std::string::npos) << missing.err;
    EXPECT_FALSE(fs::exists(state));
    // The witness sees 1 and 2; 3 is collected and removed unseen, 1 and 2 go by retention.
    for (const fs::path& file : dataFiles(folder / "out"))
        if (metaValue(readFile(file), "seal.sequence") >= "3")
            fs::rename(file, folder / file.filename());
    ASSERT_EQ(verify({"--state", state, "--new-state", out}).exitCode, 0);
    for (const fs::path& file : dataFiles(folder / "out"))
        fs::remove(file);
    for (const fs::path& file : dataFiles(folder))
        if (metaValue(readFile(file), "seal.sequence") == "4")
            fs::rename(file, folder / "out" / file.filename());

    const Outcome gap = verify({"--state", state, out});
    EXPECT_EQ(gap.exitCode, 1) << gap.out;
    const size_t end = gap.out.find(": 1 missing after witnessed sequence 2\n");
    ASSERT_NE(end, std::string::npos) << gap.out;
    const size_t begin = gap.out.rfind('\n', end) + 1;
    const std::string finding = gap.out.substr(begin, end - begin) + ": 1 missing after witnessed sequence 2";
    EXPECT_EQ(verify({"--state", state, out}).out, gap.out);  // kept, though the head moved on

    const Outcome acknowledged = verify({"--state", state, "--acknowledge", finding, "--by", "alice", out});
    EXPECT_EQ(acknowledged.exitCode, 0) << acknowledged.out << acknowledged.err;
    EXPECT_NE(acknowledged.out.find("\nacknowledged by alice on "), std::string::npos) << acknowledged.out;
    EXPECT_NE(acknowledged.out.find("Z: " + finding + "\n"), std::string::npos) << acknowledged.out;
    EXPECT_NE(readFile(state).find("acknowledged\talice\t"), std::string::npos) << readFile(state);
    const Outcome later = verify({"--state", state, out});
    EXPECT_EQ(later.exitCode, 0) << later.out;
    EXPECT_EQ(later.out.find("missing"), std::string::npos) << later.out;
}

// A check waits for another one's hold of the witness: it neither reads nor replaces it meanwhile.
TEST_F(SealTest, TwoChecksOfOneWitnessTakeTurns)
{
    makeStore();
    ASSERT_EQ(collect().exitCode, 0);
    const fs::path state = folder / "witness";
    KelvraCorelib::Platform::ScopedFile held;
    ASSERT_EQ(KelvraCorelib::holdLockFile(state.string() + ".lock", held), 0);
    const int pid = TestSupport::startIn(folder, verifierPath,
                                         {"--seal-key", keyFile.string(), "--state", state.string(), "--new-state",
                                          (folder / "out").string()});
    for (int i = 0; i < 40 && !fs::exists(state); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(fs::exists(state)) << "the witness was written while another check held it";
    held.reset();
    const Outcome checked = TestSupport::finishIn(folder, pid);
    EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
    EXPECT_TRUE(fs::exists(state));
}

TEST_F(SealTest, InitRefusesAStoreAndExtendNeedsItsMaster)
{
    const std::string tomorrow = KelvraCorelib::DateTime(KelvraCorelib::DateTime::now().count + 26 * hour).toText(false);
    const fs::path master = folder / "master";
    const Outcome init = runProgram(folder, sealPath, {"init", "--until", tomorrow, "--master-out", master.string()});
    ASSERT_EQ(init.exitCode, 0) << init.out;
    EXPECT_EQ(init.out, readFile(store / "verification.key"));
    EXPECT_EQ(fs::status(master).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(store).permissions() & fs::perms::all, fs::perms::owner_all);
    const std::string secrets = readFile(store / "epochs.secret");
    EXPECT_EQ(runProgram(folder, sealPath, {"init"}).exitCode, 1);
    EXPECT_EQ(readFile(store / "epochs.secret"), secrets);

    // The master secret is not kept in the store.
    const std::string masterText = readFile(master);
    std::string seed;
    ASSERT_TRUE(KelvraCorelib::fromBase64(masterText.substr(masterText.rfind(' ') + 1, 44), seed));
    for (const auto& entry : fs::recursive_directory_iterator(store))
        EXPECT_EQ(readFile(entry.path()).find(seed), std::string::npos) << entry.path();

    const std::string later = KelvraCorelib::DateTime(KelvraCorelib::DateTime::now().count + 100 * hour).toText(false);
    writeFile(folder / "other", "trawlex-seal-2-master 0000000000000000 " + std::string(43, 'A') + "=\n");
    EXPECT_EQ(runProgram(folder, sealPath, {"extend", "--master", (folder / "other").string(), "--until", later}).exitCode,
              1);
    const Outcome extended = runProgram(folder, sealPath, {"extend", "--master", master.string(), "--until", later});
    ASSERT_EQ(extended.exitCode, 0) << extended.out;
    SealStore opened;
    std::string problem;
    ASSERT_TRUE(opened.open(store.string(), problem)) << problem;
    SealStore::Epoch last;
    ASSERT_TRUE(opened.epochByIndex(opened.epochCount() - 1, last, SealStore::WithSecret::yes, problem)) << problem;
    EXPECT_GE(last.end, KelvraCorelib::DateTime::now().count + 99 * hour);
    EXPECT_FALSE(last.seed.empty());
    // A collection sealed after the extension still verifies under the same key.
    keyFile = store / "verification.key";
    ASSERT_EQ(collect().exitCode, 0);
    EXPECT_EQ(verify({(folder / "out").string()}).exitCode, 0);
}

TEST_F(SealTest, ALargeCollectionIsSealedAndAnExpiredStoreSealsNothing)
{
    makeStore();
    // Above the size from which the digests run on threads of their own.
    const Outcome large = runProgram(folder, programPath,
                              {"--target", (folder / "out").string(), "--module", "os", "--datatype", "seq",
                               "--interval", "PT1M", "--timeout", "PT60S", "--exe", "/usr/bin/seq", "--args",
                               "1 1000000"});
    ASSERT_EQ(large.exitCode, 0) << large.out;
    const std::vector<fs::path> files = dataFiles(folder / "out");
    ASSERT_EQ(files.size(), 1u);
    ASSERT_GT(fs::file_size(files[0]), 6000000u);
    EXPECT_TRUE(checkSeal(files[0]).valid) << checkSeal(files[0]).reason;

    // Every epoch has ended: the collection is kept, unsealed, and the run says why.
    fs::remove_all(store);
    SealStore::Settings settings;
    const int64_t now = KelvraCorelib::DateTime::now().count;
    settings.span = hour;
    settings.now = now - 5 * hour;
    settings.until = now - 2 * hour;
    std::string line;
    std::string problem;
    ASSERT_TRUE(SealStore::create(store.string(), settings, line, problem)) << problem;
    const Outcome expired = collect("expired");
    EXPECT_EQ(expired.exitCode, 2);
    EXPECT_NE(expired.out.find("ERROR: Cannot seal: the seal store \"" + store.string() + "\" has no key for the time"),
              std::string::npos)
        << expired.out;
    ASSERT_EQ(dataFiles(folder / "out").size(), 2u);
    for (const fs::path& file : dataFiles(folder / "out")) {
        const std::string text = readFile(file);
        if (text.find("expired") != std::string::npos) {
            EXPECT_EQ(text.find("seal."), std::string::npos);
            EXPECT_EQ(runProgram(folder, verifierPath, {file.string()}).exitCode, 0);
        }
    }
    // Its keys were erased all the same.
    const std::string secrets = readFile(store / "epochs.secret");
    EXPECT_GE(secrets.size(), 3u * 32);
    EXPECT_EQ(secrets, std::string(secrets.size(), '\0'));
}

// The sequence numbers of the files that carry a valid seal, and those of the others.
void sequencesIn(const fs::path& dir, const fs::path& keyFile, std::multiset<uint64_t>& sealed,
                 std::set<uint64_t>& left)
{
    SealCheck check;
    std::string problem;
    ASSERT_TRUE(check.addKeys(keyFile.string(), problem)) << problem;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string text = readFile(entry.path());
        const std::string sequence = metaValue(text, "seal.sequence");
        if (sequence.empty())
            continue;
        std::map<std::string, std::string> header;
        std::string reason;
        const bool signedOk = DataLog::checkFileSignature(entry.path().string(), reason, &header) ==
                              DataLog::Check::valid;
        if (signedOk && check.check(entry.path().string(), header).valid)
            sealed.insert(std::stoull(sequence));
        else
            left.insert(std::stoull(sequence));
    }
}

TEST_F(SealTest, KilledRunsNeverShareANumberAndEveryGapHasItsWorkingFile)
{
    makeStore();
    // Half the kills fall anywhere in a run: their delays spread over one and a half times the
    // length of a whole run on this machine and build (measured, never asserted). The others
    // fall as soon as the chain has moved on, seen by polling. The runs go on until a kill has
    // landed after the chain moved on and before the file got its final name, however short
    // that window is here.
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(collect("whole").exitCode, 0);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    std::mt19937 random(21);
    std::uniform_int_distribution<int64_t> delay(0, std::max<int64_t>(1000, whole.count() * 3 / 2));
    const fs::path out = folder / "out";
    const std::string chains = (store / "chain").string();
    auto lastSequence = [&chains] {
        const auto sequences = KelvraCorelib::SealChain::lastSequences(chains);
        return sequences.empty() ? 0 : sequences.begin()->second;
    };
    uint64_t last = 1;
    int landed = 0;
    int runs = 0;
    for (; runs < 100 || (landed == 0 && runs < 2000); ++runs) {
        const pid_t pid = startProgram(folder, programPath,
                                       {"--target", out.string(), "--module", "os", "--datatype", "df", "--interval",
                                        "PT1M", "--timeout", "PT30S", "--exe", "/bin/echo", "--args",
                                        "run " + std::to_string(runs)},
                                       folder / ".stdout", folder / ".stderr");
        ASSERT_GT(pid, 0);
        int status = 0;
        bool ended = false;
        if (runs % 2 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        else
            while (!ended && lastSequence() == last)
                ended = waitpid(pid, &status, WNOHANG) == pid;
        kill(pid, SIGKILL);
        ASSERT_TRUE(ended || waitpid(pid, &status, 0) == pid);
        // In the window the chain holds the number of a file that is still a working file.
        if (lastSequence() == last)
            continue;
        last = lastSequence();
        for (const fs::path& working : TestSupport::filesEndingIn(out, ".make"))
            landed += metaValue(readFile(working), "seal.sequence") == std::to_string(last);
    }
    std::multiset<uint64_t> sealed;
    std::set<uint64_t> left;
    sequencesIn(out, keyFile, sealed, left);
    std::cout << runs << " runs killed, " << landed << " in the window; " << sealed.size() << " sealed, "
              << left.size() << " left unsealed with a number\n";
    EXPECT_GE(landed, 1) << "no kill fell between the chain's update and the final name";
    const std::set<uint64_t> distinct(sealed.begin(), sealed.end());
    EXPECT_EQ(distinct.size(), sealed.size()) << "a number sealed twice";
    if (!distinct.empty()) {
        for (uint64_t n = 1; n < *distinct.rbegin(); ++n) {
            if (!distinct.count(n)) {
                EXPECT_TRUE(left.count(n)) << "sequence " << n << " is missing without a working file";
            }
        }
    }
    // The chain goes on after the kills.
    ASSERT_EQ(collect("after").exitCode, 0);
}

}  // namespace
