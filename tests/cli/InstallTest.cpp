// The installed layout and the manual pages: the pages render without warnings and name the
// same options as the programs' --help.
#include <gtest/gtest.h>

#include <unistd.h>  // a POSIX test: it runs shell commands (the Windows build leaves it out)

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

using TestSupport::readFile;

// Runs a shell command; its standard output and error together, and its exit code.
int run(const std::string& command, std::string& output)
{
    const TestSupport::Outcome outcome = TestSupport::runShell(TestSupport::testFolder(), "(" + command + ") 2>&1");
    output = outcome.out;
    return outcome.exitCode;
}

std::set<std::string> optionWords(std::string text)
{
    std::set<std::string> words;
    for (char& c : text) {
        if (c == ',' || c == '"') {
            c = ' ';
        }
    }
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        if (word.size() > 1 && word[0] == '-') {
            words.insert(word);
        }
    }
    return words;
}

// Options of a help text: the first column of the lines that start with blanks and "-".
std::set<std::string> helpOptions(const std::string& help)
{
    std::set<std::string> options;
    std::istringstream in(help);
    const std::regex optionLine("^\\s+(-.*?)(\\s\\s|\\s:|$).*");
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (std::regex_match(line, match, optionLine)) {
            options.merge(optionWords(match[1]));
        }
    }
    return options;
}

// Options of a manual page: the tag lines of the OPTIONS section.
std::set<std::string> pageOptions(const std::string& page)
{
    std::set<std::string> options;
    std::istringstream in(page);
    bool inSection = false;
    bool tagNext = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(".SH", 0) == 0) {
            inSection = line == ".SH OPTIONS";
        } else if (inSection && line == ".TP") {
            tagNext = true;
        } else if (tagNext) {
            tagNext = false;
            line = std::regex_replace(line, std::regex("\\\\-"), "-");
            options.merge(optionWords(line.substr(line.find(' ') + 1)));
        }
    }
    return options;
}

}  // namespace

TEST(ManualPages, NameTheOptionsOfHelp)
{
    const std::string bin = TEST_BINARY_DIR;
    for (const auto& [program, page] : {std::pair{bin + "/collector/trawlex", "trawlex.1"},
                                        std::pair{bin + "/tools/trawlex-verify/trawlex-verify", "trawlex-verify.1"}}) {
        std::string help;
        ASSERT_EQ(run(program + " --help", help), 0);
        const std::set<std::string> fromHelp = helpOptions(help);
        EXPECT_GE(fromHelp.size(), 4u) << help;
        EXPECT_EQ(fromHelp, pageOptions(readFile(std::string(TEST_SOURCE_DIR) + "/man/" + page))) << page;
    }
}

TEST(ManualPages, RenderWithoutWarnings)
{
    std::string output;
    ASSERT_EQ(run("command -v groff", output), 0) << "groff is missing: scripts/setup.sh installs it";
    std::string mandoc;
    const bool haveMandoc = run("command -v mandoc", mandoc) == 0;
    for (const char* page : {"trawlex.1", "trawlex-verify.1", "trawlex-seal.1"}) {
        const std::string path = std::string(TEST_SOURCE_DIR) + "/man/" + page;
        EXPECT_EQ(run("groff -ww -z -man " + path, output), 0);
        EXPECT_EQ(output, "") << page;
        if (haveMandoc) {
            EXPECT_EQ(run("mandoc -T lint " + path, output), 0);
            EXPECT_EQ(output, "") << page;
        }
    }
}

TEST(Install, PutsProgramsPagesAndExamplesAndNothingElse)
{
    const std::string bin = TEST_BINARY_DIR;
    const std::string prefix = TestSupport::testFolder() + "prefix";
    fs::remove_all(prefix);
    std::string output;
    ASSERT_EQ(run("cmake --build " + bin + " --target trawlex-docs", output), 0) << output;
    ASSERT_EQ(run("cmake --install " + bin + " --prefix " + prefix, output), 0) << output;

    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(prefix)) {
        if (!entry.is_directory()) {
            files.insert(fs::relative(entry.path(), prefix).string());
        }
    }
    const std::set<std::string> expected{
        "bin/trawlex",
        "bin/trawlex-verify",
        "bin/trawlex-seal",
        "share/man/man1/trawlex.1.gz",
        "share/man/man1/trawlex-verify.1.gz",
        "share/man/man1/trawlex-seal.1.gz",
        "share/doc/trawlex/changelog.gz",
        "share/doc/trawlex/copyright",
        "share/doc/trawlex/examples/trawlex.conf",
        "share/doc/trawlex/examples/crontab",
        "share/doc/trawlex/examples/cron.d/trawlex",
        "share/doc/trawlex/examples/systemd/trawlex-df.service",
        "share/doc/trawlex/examples/systemd/trawlex-df.timer",
        "lib/systemd/system/trawlex@.service",
        "lib/systemd/system/trawlex@.timer",
        "lib/systemd/system/trawlex-seal-erase.service",
        "lib/systemd/system/trawlex-seal-erase.timer",
    };
    EXPECT_EQ(files, expected);

    // The installed programs run, and the compressed page is the source page.
    ASSERT_EQ(run(prefix + "/bin/trawlex --version", output), 0);
    EXPECT_EQ(output.rfind("Version=6.3.0.0", 0), 0u) << output;
    ASSERT_EQ(run("gzip -dc " + prefix + "/share/man/man1/trawlex.1.gz", output), 0);
    EXPECT_EQ(output, readFile(std::string(TEST_SOURCE_DIR) + "/man/trawlex.1"));
    const std::string service = readFile(prefix + "/share/doc/trawlex/examples/systemd/trawlex-df.service");
    EXPECT_NE(service.find("/bin/trawlex -c /etc/trawlex/df.conf"), std::string::npos) << service;
    const std::string source = readFile(prefix + "/lib/systemd/system/trawlex@.service");
    EXPECT_NE(source.find("/bin/trawlex -c /etc/trawlex/%i.conf\n"), std::string::npos) << source;
    const std::string erase = readFile(prefix + "/lib/systemd/system/trawlex-seal-erase.service");
    EXPECT_NE(erase.find("/bin/trawlex-seal erase\n"), std::string::npos) << erase;
}
