// Sources that went quiet, and the check's outcome as metrics: trawlex-verify as a black box
// over unsealed files made here and sealed ones made by trawlex.
#include <gtest/gtest.h>
#include <sys/wait.h>  // the programs run as POSIX processes (ProgramRuns)

#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/ProgramRuns.h"
#include "corelib/DateTime.h"
#include "datahandling/DataLog.h"
#include "datahandling/SealStore.h"
#include "support/DataLogSupport.h"

namespace {

using namespace ProgramRuns;
using KelvraCorelib::DataLog;

#ifndef TEST_PYTHON
#define TEST_PYTHON "python3"
#endif

constexpr int64_t minute = 60000;
const int64_t start = KelvraCorelib::DateTimeDetails(2026, 12, 9, 3, 15, 0, 0, false).toCount();

class VerifySilence : public ::testing::Test {
protected:
    // An unsealed collection of host and source app.os.df at time, every 15 minutes.
    void collection(const std::string& host, int64_t time)
    {
        DataLog log;
        TestSupport::describeRawLog(log, "app", "os", "df", time);
        log.setSourceMeta("host", host);
        log.setSourceMeta("collection-interval", "900000");
        ASSERT_TRUE(TestSupport::writeCollection(log, (folder / "in").string(), "disk 42%"));
    }

    Outcome verify(std::vector<std::string> arguments)
    {
        return runProgram(folder, verifierPath, arguments);
    }

    TestSupport::TempDir scratch{"trawlex-verify-silence"};
    fs::path folder = scratch.path();
};

std::vector<nlohmann::json> jsonLines(const std::string& text)
{
    std::vector<nlohmann::json> objects;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        objects.push_back(nlohmann::json::parse(line));
    return objects;
}

}  // namespace

// A source is silent past the limit counted in its own intervals, and a gap between two of its
// collections longer than the limit is reported in the same form.
TEST_F(VerifySilence, SilenceAndGapsAreFindingsCountedInTheSourcesIntervals)
{
    fs::create_directory(folder / "in");
    for (const int64_t at : {0, 15, 30, 90})  // the gap: 60 minutes, 4 intervals
        collection("web1", start + at * minute);
    collection("web2", start + 165 * minute);
    const std::string in = (folder / "in").string();

    // Exactly the limit is not beyond it.
    Outcome r = verify({"--silent-after", "5", "--now", "2026-12-09T06:00Z", "--quiet", in});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "5 valid, 0 invalid, 0 unreadable\n");

    r = verify({"--silent-after", "3", "--now", "2026-12-09T06:00Z", "--quiet", in});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(r.out, "host web1, source app.os.df: no collection from 2026-12-09T03:45Z to 2026-12-09T04:45Z, "
                     "4 intervals of PT15M\n"
                     "host web1, source app.os.df: no collection since 2026-12-09T04:45Z, 5 intervals of PT15M\n"
                     "5 valid, 0 invalid, 0 unreadable, 2 findings\n");

    // A second more is.
    r = verify({"--silent-after", "5", "--now", "2026-12-09T06:00:01Z", "--json", "--quiet", in});
    EXPECT_EQ(r.exitCode, 1) << r.out;
    const std::vector<nlohmann::json> objects = jsonLines(r.out);
    ASSERT_EQ(objects.size(), 1u) << r.out;
    EXPECT_EQ(objects[0]["finding"],
              "host web1, source app.os.df: no collection since 2026-12-09T04:45Z, 5 intervals of PT15M");
    EXPECT_EQ(objects[0]["host"], "web1");
    EXPECT_EQ(objects[0]["source"], "app.os.df");
    EXPECT_EQ(objects[0]["kind"], "silence");

    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"--silent-after", "0", in}, {"--silent-after", "x", in},
          {"--silent-after", "2", "--now", "2026-13-09T06:00Z", in}, {"--now", "2026-12-09T06:00Z", in}}) {
        r = verify(wrong);
        EXPECT_EQ(r.exitCode, 2) << wrong[1];
        EXPECT_EQ(r.out, "");
    }
}

// With a witness, which notes the newest time of each chain, a check of only the files that
// arrived since the last one finds the gap between them, and a sealed source it saw that has no
// file in the check is silent, until the finding that retires it is acknowledged.
TEST_F(VerifySilence, ASourceTheWitnessSawIsSilentWithoutFiles)
{
    const fs::path store = folder / "store";
    KelvraCorelib::SealStore::Settings settings;
    const int64_t now = KelvraCorelib::DateTime::nowCount();
    settings.span = 60 * minute;
    settings.now = now;
    settings.until = now + 120 * minute;
    std::string line;
    std::string problem;
    ASSERT_TRUE(KelvraCorelib::SealStore::create(store.string(), settings, line, problem)) << problem;
    const fs::path key = folder / "host.key";
    writeFile(key, line + "\n");
    const auto collect = [&](const fs::path& target, const TestSupport::Environment& clock) {
        fs::create_directory(target);
        TestSupport::Environment environment = {{"TRAWLEX_SEAL_DIR", store.string()},
                                                {"TRAWLEX_REGISTRY_DIR", (folder / "registry").string()}};
        environment.insert(environment.end(), clock.begin(), clock.end());
        const Outcome collected =
            runProgram(folder, programPath,
                       {"--target", target.string(), "--module", "os", "--datatype", "df", "--interval", "PT1M",
                        "--timeout", "PT30S", "--exe", "/bin/echo", "--args", "disk 42%"},
                       environment);
        EXPECT_EQ(collected.exitCode, 0) << collected.out << collected.err;
        const std::vector<fs::path> files = TestSupport::filesEndingIn(target, ".data");
        return files.empty() ? std::string() : readFile(files[0]);
    };
    const fs::path out = folder / "out";
    std::string file = collect(out, {});
    int64_t time = std::stoll(metaValue(file, "source.time"));
    const std::string host = metaValue(file, "source.host");
    const std::string state = (folder / "witness").string();

    Outcome r = verify({"--seal-key", key.string(), "--state", state, "--new-state", out.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(readFile(state).find("\t" + std::to_string(time) + "\t60000\n"), std::string::npos)
        << "times noted by a check that asked for none";
    r = verify({"--seal-key", key.string(), "--state", state, "--silent-after", "3", "--quiet", out.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(readFile(state).find("\t" + std::to_string(time) + "\t60000\n"), std::string::npos) << readFile(state);

    // The next collection ten minutes on, checked alone: the gap since the witness's newest.
    std::string gap;  // kept by the witness until acknowledged
    const std::string fakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    if (fs::exists(fakeTime)) {
        // A sanitized build's runtime accepts the preloaded library after it.
        const char* const sanitizer = std::getenv("ASAN_OPTIONS");
        const std::string asan = std::string(sanitizer != nullptr ? sanitizer : "") + ":verify_asan_link_order=0";
        file = collect(folder / "next", {{"LD_PRELOAD", fakeTime}, {"FAKETIME", "+10m"}, {"ASAN_OPTIONS", asan}});
        const int64_t next = std::stoll(metaValue(file, "source.time"));
        ASSERT_GE(next - time, 10 * minute);
        ASSERT_LT(next - time, 11 * minute);
        r = verify({"--seal-key", key.string(), "--state", state, "--silent-after", "3", "--quiet",
                    "--now", KelvraCorelib::DateTime(next).toText(false), (folder / "next").string()});
        EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
        EXPECT_EQ(r.out.rfind("host " + host + ", source Trawlex.os.df: no collection from ", 0), 0u) << r.out;
        ASSERT_EQ(r.out.find(", 10 intervals of PT1M\n"), r.out.size() - 23) << r.out;
        gap = r.out.substr(0, r.out.size() - 1);
        time = next;
    }

    fs::create_directory(folder / "empty");
    const std::string later = KelvraCorelib::DateTime(time + 10 * minute + 30000).toText(false);
    const std::vector<std::string> check = {"--seal-key", key.string(), "--state", state, "--silent-after", "3",
                                            "--now", later, "--quiet", (folder / "empty").string()};
    r = verify(check);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    const std::string absent = "host " + host + ", source Trawlex.os.df, key ";
    EXPECT_NE(r.out.find(absent), std::string::npos) << r.out;
    std::string since = KelvraCorelib::DateTime(time).toText(false);  // seconds shown where not 0
    if (since.substr(since.size() - 4) == ":00Z")
        since = since.substr(0, since.size() - 4) + "Z";
    const std::string silent = "host " + host + ", source Trawlex.os.df: no collection since " + since +
                               ", 10 intervals of PT1M\n";
    EXPECT_NE(r.out.find(silent), std::string::npos) << r.out;
    const size_t begin = r.out.find(absent);
    ASSERT_NE(begin, std::string::npos);
    const std::string retire = r.out.substr(begin, r.out.find('\n', begin) - begin);

    // A silence text changes as it grows: it is not something to acknowledge.
    std::vector<std::string> acknowledging = check;
    acknowledging.insert(acknowledging.begin(), {"--acknowledge", silent.substr(0, silent.size() - 1), "--by", "bob"});
    r = verify(acknowledging);
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;

    acknowledging = check;
    acknowledging.insert(acknowledging.begin(), {"--acknowledge", retire, "--by", "alice"});
    if (!gap.empty())
        acknowledging.insert(acknowledging.begin(), {"--acknowledge", gap});
    r = verify(acknowledging);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
}

// The outcome as metrics, read back by the Prometheus client library's own parser.
TEST_F(VerifySilence, MetricsAreReadByThePrometheusParser)
{
    fs::create_directory(folder / "in");
    collection("web1", start);
    collection("web1", start + 15 * minute);
    collection("we\"b\\2", start + 30 * minute);
    std::string broken = readFile(TestSupport::filesEndingIn(folder / "in", ".data").at(0));
    broken[broken.find("disk")] = 'D';
    writeFile(folder / "in" / "broken.data", broken);
    fs::create_directory(folder / "metrics");
    const fs::path metrics = folder / "metrics" / "verify.prom";

    const Outcome r = verify({"--silent-after", "2", "--now", "2026-12-09T04:15Z", "--quiet", "--metrics",
                              metrics.string(), (folder / "in").string()});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(std::vector<fs::path>{metrics}, TestSupport::filesEndingIn(folder / "metrics", ""));
    const std::string parser = std::string(TEST_SOURCE_DIR) + "/tests/tools/parse_metrics.py";
    const Outcome parsed = TestSupport::runShell(folder, std::string(TEST_PYTHON) + " " + parser + " " + metrics.string());
    ASSERT_EQ(parsed.exitCode, 0) << parsed.err << readFile(metrics);
    const nlohmann::json samples = nlohmann::json::parse(parsed.out);
    const double seconds = double(start - KelvraCorelib::DateTime::unixEpochCount) / 1000.0;
    const nlohmann::json expected = {
        {"trawlex_verify_timestamp_seconds{}", seconds + 3600},
        {"trawlex_verify_exit_code{}", 1},
        {"trawlex_verify_files{status=valid}", 3},
        {"trawlex_verify_files{status=invalid}", 1},
        {"trawlex_verify_files{status=unreadable}", 0},
        {"trawlex_verify_findings{kind=chain}", 0},
        {"trawlex_verify_findings{kind=witness}", 0},
        {"trawlex_verify_findings{kind=earlier}", 0},
        {"trawlex_verify_findings{kind=gap}", 0},
        {"trawlex_verify_findings{kind=silence}", 1},
        {"trawlex_verify_findings_acknowledged{}", 0},
        {"trawlex_verify_source_last_collection_timestamp_seconds{host=web1,source=app.os.df}", seconds + 900},
        {"trawlex_verify_source_last_collection_timestamp_seconds{host=we\"b\\2,source=app.os.df}", seconds + 1800},
        {"trawlex_verify_source_interval_seconds{host=web1,source=app.os.df}", 900},
        {"trawlex_verify_source_interval_seconds{host=we\"b\\2,source=app.os.df}", 900},
        {"trawlex_verify_source_age_intervals{host=web1,source=app.os.df}", 3},
        {"trawlex_verify_source_age_intervals{host=we\"b\\2,source=app.os.df}", 2}};
    EXPECT_EQ(samples, expected) << readFile(metrics);

    // A folder that is not there: nothing written, exit code 2 with the reason.
    const Outcome missing = verify({"--metrics", (folder / "gone" / "verify.prom").string(), (folder / "in").string()});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("cannot write the metrics"), std::string::npos) << missing.err;
}
