// The run record for monitoring: trawlex as a black box with TRAWLEX_METRICS_DIR, its file
// read by the Prometheus client library's parser and served by a real node_exporter.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/ProgramRuns.h"
#include "corelib/DateTime.h"
#include "datahandling/SealStore.h"

namespace {

using namespace ProgramRuns;

#ifndef TEST_PYTHON
#define TEST_PYTHON "python3"
#endif

const char* const nodeExporter = "/usr/bin/prometheus-node-exporter";
constexpr int64_t hour = 3600000;

class RunRecordTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        fs::create_directory(metrics);
    }

    // Data type sa"mple: a name made safe, a label value escaped.
    Outcome collect(const fs::path& exe, const std::string& folder)
    {
        std::vector<std::string> words = settings(exe, {"--args", ""});
        *std::find(words.begin(), words.end(), "sample") = "sa\"mple";
        return run(words, {{"TRAWLEX_METRICS_DIR", folder}, {"TRAWLEX_SEAL_DIR", (work / "seal").string()}});
    }

    // The samples of an exposition by the client library's parser: {"name{label=value,...}": value}.
    nlohmann::json samples(const fs::path& exposition) const
    {
        const std::string parser = std::string(TEST_SOURCE_DIR) + "/tests/tools/parse_metrics.py";
        const Outcome parsed =
            TestSupport::runShell(work, std::string(TEST_PYTHON) + " " + parser + " " + exposition.string());
        EXPECT_EQ(parsed.exitCode, 0) << parsed.err << readFile(exposition);
        return parsed.exitCode == 0 ? nlohmann::json::parse(parsed.out) : nlohmann::json();
    }

    fs::path metrics = work / "metrics";
};

std::string hostName()
{
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

// A sealed run that stores, then a run whose utility fails: the file says both, keeps the
// time of the last success, and node_exporter serves the same samples.
TEST_F(RunRecordTest, NodeExporterServesTheOutcomeOfEachRun)
{
    if (TestSupport::runShell(work, std::string(TEST_PYTHON) + " -c 'import prometheus_client'").exitCode != 0)
        GTEST_SKIP() << "python3-prometheus-client is not installed";
    KelvraCorelib::SealStore::Settings store;
    const int64_t now = KelvraCorelib::DateTime::now().count;
    store.span = hour;
    store.now = now;
    store.until = now + 2 * hour;
    std::string line;
    std::string problem;
    ASSERT_TRUE(KelvraCorelib::SealStore::create((work / "seal").string(), store, line, problem)) << problem;
    const int64_t keysUntil = ((store.until - 1) / hour + 1) * hour;  // the end of the epoch holding the last time

    const Outcome stored = collect(utility("ok.sh", "printf 'disk 42%%\\n'"), metrics.string());
    ASSERT_EQ(stored.exitCode, 0) << stored.out << stored.err;
    const fs::path file = metrics / "trawlex_Trawlex.os.sa_mple.prom";
    ASSERT_EQ(TestSupport::filesEndingIn(metrics, ""), std::vector<fs::path>{file});
    const nlohmann::json first = samples(file);
    const std::string labels = "datatype=sa\"mple,host=" + hostName() + ",module=os";
    const double lastSuccess = first.value("trawlex_last_run_timestamp_seconds{" + labels + "}", 0.0);
    EXPECT_NEAR(lastSuccess * 1000, double(now - KelvraCorelib::DateTime::unixEpochCount), 600000.0);
    EXPECT_EQ(first["trawlex_last_success_timestamp_seconds{" + labels + "}"], lastSuccess);
    EXPECT_EQ(first["trawlex_run_outcome{" + labels + ",outcome=stored}"], 1);
    EXPECT_EQ(first["trawlex_collected_bytes{" + labels + "}"], 9);
    EXPECT_EQ(first["trawlex_seal_sequence{" + labels + "}"], 1);
    EXPECT_EQ(first["trawlex_seal_keys_end_timestamp_seconds{" + labels + "}"],
              double(keysUntil - KelvraCorelib::DateTime::unixEpochCount) / 1000);

    const Outcome failed = collect(utility("fails.sh", "echo partial\nexit 3"), metrics.string());
    ASSERT_EQ(failed.exitCode, 8) << failed.out << failed.err;
    ASSERT_EQ(TestSupport::filesEndingIn(metrics, ""), std::vector<fs::path>{file});
    const nlohmann::json second = samples(file);
    EXPECT_EQ(second["trawlex_last_success_timestamp_seconds{" + labels + "}"], lastSuccess);
    EXPECT_EQ(second["trawlex_run_exit_code{" + labels + "}"], 8);
    EXPECT_EQ(second["trawlex_utility_exit_value{" + labels + "}"], 3);
    EXPECT_EQ(second["trawlex_run_outcome{" + labels + ",outcome=stored}"], 0);
    EXPECT_EQ(second["trawlex_run_outcome{" + labels + ",outcome=failed}"], 1);
    EXPECT_EQ(second["trawlex_seal_sequence{" + labels + "}"], 2);
    EXPECT_TRUE(second.contains("trawlex_run_duration_seconds{" + labels + "}"));

    if (access(nodeExporter, X_OK) != 0)
        GTEST_SKIP() << nodeExporter << " is not installed (prometheus-node-exporter)";
    // node_exporter on a free port of 127.0.0.1, scraped until it answers.
    const std::string script =
        "port=$(" + std::string(TEST_PYTHON) +
        " -c 'import socket; s=socket.socket(); s.bind((\"127.0.0.1\", 0)); print(s.getsockname()[1])')\n" +
        nodeExporter + " --web.listen-address=127.0.0.1:$port --collector.disable-defaults --collector.textfile" +
        " --collector.textfile.directory=" + metrics.string() + " > exporter.log 2>&1 &\n" +
        "exporter=$!\n"
        "for try in $(seq 1 300); do\n"
        "  if " + TEST_PYTHON + " -c \"import urllib.request, sys; sys.stdout.write(urllib.request.urlopen("
        "'http://127.0.0.1:$port/metrics').read().decode())\" > scraped.txt 2> /dev/null; then break; fi\n"
        "  sleep 0.1\n"
        "done\n"
        "kill $exporter; wait $exporter\n"
        "grep '^trawlex_' scraped.txt > served.prom\n";
    const Outcome scraped = TestSupport::runShell(work, script);
    ASSERT_TRUE(fs::exists(work / "served.prom")) << scraped.err << readFile(work / "exporter.log");
    nlohmann::json served = samples(work / "served.prom");
    EXPECT_EQ(served, second) << readFile(work / "scraped.txt") << readFile(work / "exporter.log");
}

// A metrics folder that is missing, another account's link or below another account's folder:
// exit code, output and data log are those of a run without the setting; nothing is written.
TEST_F(RunRecordTest, BadFolderLeavesTheRunAlone)
{
    const fs::path exe = utility("ok.sh", "echo data");
    const Outcome plain = run(settings(exe, {"--args", ""}));
    ASSERT_EQ(plain.exitCode, 0) << plain.out << plain.err;
    fs::create_directory_symlink(metrics, work / "link");
    fs::create_directory(work / "foreign");
    std::vector<fs::path> folders = {work / "missing"};
    if (geteuid() == 0) {  // the superuser's checks, as of the target
        ASSERT_EQ(lchown((work / "link").c_str(), 65534, 65534), 0);
        folders.push_back(work / "link");
        ASSERT_EQ(chown((work / "foreign").c_str(), 65534, 65534), 0);
        folders.push_back(work / "foreign");
        folders.push_back(work / "foreign" / "below");
        fs::create_directory(work / "foreign" / "below");
    }
    for (const fs::path& folder : folders) {
        fs::remove_all(target);
        const Outcome r = run(settings(exe, {"--args", ""}), {{"TRAWLEX_METRICS_DIR", folder.string()}});
        EXPECT_EQ(r.exitCode, plain.exitCode) << folder;
        EXPECT_EQ(r.out, plain.out) << folder;
        EXPECT_EQ(r.err, plain.err) << folder;
        EXPECT_EQ(dataFiles().size(), 1u) << folder;
        EXPECT_TRUE(TestSupport::filesEndingIn(metrics, "").empty()) << folder;
        if (fs::is_directory(folder)) {
            EXPECT_TRUE(TestSupport::filesEndingIn(folder, ".prom").empty()) << folder;
            EXPECT_TRUE(TestSupport::filesEndingIn(folder, ".new").empty()) << folder;
        }
    }
}

}  // namespace
