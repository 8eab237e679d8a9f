// trawlex-verify on the shipped seal vectors (tests/seal/vectors, made by make_vectors.py):
// every run listed in expected.txt prints exactly those lines and ends with that status, and
// --json names who sealed each file. tests/seal/check_seal.py checks the same list.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/TestSupport.h"

namespace fs = std::filesystem;

#ifndef _WIN32

namespace {

struct Case {
    std::vector<std::string> arguments;
    std::string expected;  // the output lines, then "exit N"
};

std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        result.push_back(word);
    }
    return result;
}

std::vector<Case> casesOf(const std::string& text)
{
    std::vector<Case> cases;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("$ ", 0) == 0) {
            cases.push_back({words(line.substr(2)), ""});
        } else if (!cases.empty() && line.rfind('#', 0) != 0) {
            cases.back().expected += line + "\n";
        }
    }
    return cases;
}

class SealVectors : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A copy: the runs write their output beside the files they check.
        fs::copy(fs::path(TEST_SOURCE_DIR) / "tests" / "seal" / "vectors", folder.path(), fs::copy_options::recursive);
    }

    TestSupport::Outcome verify(const std::vector<std::string>& arguments)
    {
        return TestSupport::runProgram(folder.path(), std::string(TEST_BINARY_DIR) + "/tools/trawlex-verify/trawlex-verify",
                                       arguments);
    }

    TestSupport::TempDir folder{"trawlex-seal-vectors"};
};

}  // namespace

TEST_F(SealVectors, EveryListedRunPrintsItsLinesAndStatus)
{
    const std::vector<Case> cases = casesOf(TestSupport::readFile(folder / "expected.txt"));
    ASSERT_GE(cases.size(), 5u);
    for (const Case& run : cases) {
        const TestSupport::Outcome outcome = verify(run.arguments);
        EXPECT_EQ(outcome.out + "exit " + std::to_string(outcome.exitCode) + "\n", run.expected)
            << "arguments: " << ::testing::PrintToString(run.arguments) << "\n" << outcome.err;
    }
}

TEST_F(SealVectors, JsonNamesTheSealingKeyItsHostAndWhatFormatOneDoesNotProve)
{
    const std::vector<std::string> key = words(TestSupport::readFile(folder / "web1.key"));
    const std::vector<std::string> oldKey = words(TestSupport::readFile(folder / "format1.key"));
    ASSERT_EQ(key.size(), 4u);
    ASSERT_EQ(oldKey.size(), 3u);
    const TestSupport::Outcome outcome = verify({"--json", "--seal-key", "web1.key", "--seal-key", "format1.key",
                                                 "chain/web1-1.data", "format1/old-1.data"});
    ASSERT_EQ(outcome.exitCode, 0) << outcome.out << outcome.err;
    std::istringstream lines(outcome.out);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    const nlohmann::json sealed = nlohmann::json::parse(line);
    EXPECT_EQ(sealed["status"], "valid");
    EXPECT_EQ(sealed["sealed_by"], nlohmann::json({{"host", "web1"}, {"key-id", key[1]}}));
    EXPECT_FALSE(sealed.contains("note"));
    // The seal member is the seal line, field by field.
    const std::vector<std::string> seal = words(TestSupport::readFile(folder / "seal-line.txt"));
    ASSERT_EQ(seal.size(), 9u);
    EXPECT_EQ(sealed["seal"]["key-id"], seal[2]);
    EXPECT_EQ(std::to_string(sealed["seal"]["epoch"].get<uint64_t>()), seal[3]);
    EXPECT_EQ(sealed["seal"]["certificate"], seal[7]);
    EXPECT_EQ(sealed["seal"]["signature"], seal[8]);

    ASSERT_TRUE(std::getline(lines, line));
    const nlohmann::json old = nlohmann::json::parse(line);
    EXPECT_EQ(old["status"], "valid");
    EXPECT_EQ(old["sealed_by"]["key-id"], oldKey[1]);
    EXPECT_EQ(old["sealed_by"]["host"], "");
    EXPECT_EQ(old["note"], "sealed in format 1, whose keys are not bound to a host");
    EXPECT_FALSE(std::getline(lines, line)) << line;
}

#endif
