#pragma once
// Black-box tests of the built programs: their paths, a fixture around a run of trawlex, and
// the parts of a data log file.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace ProgramRuns {

namespace fs = std::filesystem;
using TestSupport::Outcome;
using TestSupport::readFile;
using TestSupport::runProgram;
using TestSupport::startProgram;
using TestSupport::writeFile;

inline const std::string programPath = std::string(TEST_BINARY_DIR) + "/collector/trawlex";
inline const std::string verifierPath = std::string(TEST_BINARY_DIR) + "/tools/trawlex-verify/trawlex-verify";

// A temporary folder with the registry in it and "out" as the target.
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("TRAWLEX_REGISTRY_DIR", (work / "registry").c_str(), 1); }

    Outcome run(const std::vector<std::string>& arguments, const TestSupport::Environment& environment = {}) const
    {
        return runProgram(work, programPath, arguments, environment);
    }
    // A shell-script utility with the given body, executable.
    fs::path utility(const std::string& name, const std::string& body) const
    {
        return TestSupport::writeScript(work / name, body);
    }
    // Every setting on the command line; later words override them.
    std::vector<std::string> settings(const fs::path& exe, const std::vector<std::string>& extra = {}) const
    {
        std::vector<std::string> words = {"--target",   target.string(), "--module",  "os",
                                          "--datatype", "sample",        "--interval", "PT15M",
                                          "--timeout",  "PT20S",         "--exe",      exe.string()};
        words.insert(words.end(), extra.begin(), extra.end());
        return words;
    }
    // The data and working files in the target.
    std::vector<fs::path> dataFiles() const
    {
        std::vector<fs::path> found = TestSupport::filesEndingIn(target, ".data");
        for (const fs::path& making : TestSupport::filesEndingIn(target, ".make"))
            found.push_back(making);
        return found;
    }
    // The only file in the target: a final ".data" that the verifier accepts.
    std::string onlyVerifiedData() const
    {
        const auto files = dataFiles();
        EXPECT_EQ(files.size(), 1u);
        if (files.size() != 1)
            return "";
        EXPECT_EQ(files.front().extension(), ".data");
        EXPECT_EQ(runProgram(work, verifierPath, {files.front().string()}).exitCode, 0);
        return readFile(files.front());
    }

    TestSupport::TempDir folder{"trawlex-cli"};
    fs::path work = folder.path();
    fs::path target = work / "out";
};

// The raw data text of a data log file written by one collection: what lies between the
// data section mark and the trailer. False when the file has not that form.
inline bool rawData(const std::string& file, std::string& data)
{
    const std::string mark = "\n@DATA:\n";
    const std::string trailer = "\n\n\n@SIGNATURE: ";
    const size_t start = file.find(mark);
    const size_t end = file.rfind(trailer);
    if (start == std::string::npos || end == std::string::npos || end < start + mark.size())
        return false;
    data = file.substr(start + mark.size(), end - (start + mark.size()));
    return true;
}

// The value of a meta key in the first header, or "" when missing.
inline std::string metaValue(const std::string& file, const std::string& key)
{
    const std::string line = "\n" + key + "=";
    const size_t header = file.find("\n@DATA:\n");
    const size_t at = file.find(line);
    if (at == std::string::npos || (header != std::string::npos && at > header))
        return "";
    const size_t start = at + line.size();
    return file.substr(start, file.find('\n', start) - start);
}

}  // namespace ProgramRuns
