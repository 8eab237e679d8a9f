// Which left-behind working files a run finalises.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "datahandling/DataLog.h"

using namespace KelvraCorelib;
namespace fs = std::filesystem;

namespace {

std::string freshDir(const std::string& name)
{
    const fs::path path = fs::path(TEST_BINARY_DIR) / "datalog-working-files" / name;
    fs::remove_all(path);
    fs::create_directories(path);
    return path.string() + "/";
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeAll(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::set<std::string> namesIn(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// Prepares a run of the source with finalising; each planted name holds its own name.
std::set<std::string> finaliseAmong(const std::string& dir, const std::string& module, const std::string& datatype,
                                    const std::set<std::string>& planted)
{
    for (const std::string& name : planted) {
        writeAll(dir + name, name);
    }
    DataLog log;
    log.setLogType(DataCommons::logRaw);
    log.setSourceMeta("application", "Trawlex");
    log.setSourceMeta("module", module);
    log.setSourceMeta("datatype", datatype);
    log.setSourceMeta("time", "3850000000000");
    EXPECT_TRUE(log.makeReadyToOpenWriteFile(dir, "Trawlex", true, true));
    return namesIn(dir);
}

}  // namespace

TEST(DataLogWorkingFiles, OnlyTheRunsOwnSourceIsFinalised)
{
    const std::string dir = freshDir("own-source");
    const std::set<std::string> names = finaliseAmong(
        dir, "os", "df",
        {"Trawlex-Trawlex.os.df-5.make", "Trawlex-Trawlex.os.df-6.make-42-tampered.make",
         "Trawlex-Trawlex.os.df-7.make-42-00-tampered.make", "Trawlex-Trawlex.os.df-inodes-5.make",
         "Trawlex-Trawlex.os.df-5-8.make", "Trawlex-Trawlex.os.df-.make", "Trawlex-Trawlex.os.dfx-5.make",
         "Trawlex-Trawlex.os.df-5.make-x-tampered.make", "Trawlex-Trawlex.os.df-9.make.make"});
    EXPECT_EQ(names, (std::set<std::string>{
                         "Trawlex-Trawlex.os.df-5.data", "Trawlex-Trawlex.os.df-6.make-42-tampered.data",
                         "Trawlex-Trawlex.os.df-7.make-42-00-tampered.data", "Trawlex-Trawlex.os.df-inodes-5.make",
                         "Trawlex-Trawlex.os.df-5-8.make", "Trawlex-Trawlex.os.df-.make",
                         "Trawlex-Trawlex.os.dfx-5.make", "Trawlex-Trawlex.os.df-5.make-x-tampered.make",
                         "Trawlex-Trawlex.os.df-9.make.make"}));
    EXPECT_EQ(readAll(dir + "Trawlex-Trawlex.os.df-5.data"), "Trawlex-Trawlex.os.df-5.make");

    // Glob characters in the module and data type are only themselves.
    const std::string globDir = freshDir("glob-source");
    EXPECT_EQ(finaliseAmong(globDir, "o?", "d*",
                            {"Trawlex-Trawlex.o?.d*-5.make", "Trawlex-Trawlex.os.df-5.make",
                             "Trawlex-Trawlex.o?.d*x-5.make", "Trawlex-Trawlex.ox.d-5.make"}),
              (std::set<std::string>{"Trawlex-Trawlex.o?.d*-5.data", "Trawlex-Trawlex.os.df-5.make",
                                     "Trawlex-Trawlex.o?.d*x-5.make", "Trawlex-Trawlex.ox.d-5.make"}));
}
