#include "corelib/WinRegistry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "corelib/SystemValues.h"
#include "corelib/platform/Environment.h"
#include "corelib/platform/RegistryStore.h"
#include "support/TestSupport.h"

using namespace KelvraCorelib;
namespace fs = std::filesystem;

namespace {

const std::string machine = "HKEY_LOCAL_MACHINE";

std::vector<std::string> parameterTexts(const Exception& error)
{
    ParamStream values = error.parameters;
    values.rewind();
    std::vector<std::string> texts;
    Primitive item;
    while (values.getPrimitive(item))
        texts.push_back(item.toText());
    return texts;
}

using TestSupport::readFile;

// Every test gets its own store folder and no redirect.
class WinRegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Platform::setEnvironmentVariable("TRAWLEX_REGISTRY_DIR", root.string()));
        ASSERT_TRUE(Platform::unsetEnvironmentVariable("KELVRA_ENV"));
    }

    void TearDown() override
    {
        Platform::unsetEnvironmentVariable("KELVRA_ENV");
        Platform::unsetEnvironmentVariable("TRAWLEX_REGISTRY_DIR");
    }

    // Writes raw bytes of any type.
    void writeRaw(const std::string& key, const std::string& name, uint32_t type, const std::string& bytes)
    {
        const auto handle = WinRegistry::openKeyForWrite(machine, key, false);
        WinRegistry::setValue(handle, machine + "\\" + key, name, type, bytes.data(),
                              static_cast<uint32_t>(bytes.size()));
    }

    TestSupport::TempDir folder{"trawlex-registry"};
    fs::path root = folder / "store";
};

TEST_F(WinRegistryTest, StringsRoundTripWhateverTheirLength)
{
    const std::string shortText = "PT5M";
    std::string longText;
    for (int i = 0; i < 300; ++i)
        longText += static_cast<char>('a' + i % 26);
    std::string hugeText(100000, 'x');
    hugeText[99999] = 'y';
    const std::string oddBytes = "back\\slash /slash %25 \xE4\xF6\xFC\n line";

    WinRegistry::setString(machine, "SOFTWARE\\Test", "short", shortText);
    WinRegistry::setString(machine, "SOFTWARE\\Test", "long", longText);
    WinRegistry::setString(machine, "SOFTWARE\\Test", "huge", hugeText);
    WinRegistry::setString(machine, "SOFTWARE\\Test", "odd", oddBytes);
    WinRegistry::setString(machine, "SOFTWARE\\Test", "empty", "");

    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE\\Test", "short"), shortText);
    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE\\Test", "long"), longText);
    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE\\Test", "huge"), hugeText);
    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE\\Test", "odd"), oddBytes);
    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE\\Test", "empty"), "");

    // Replacing keeps only the new value; the 64-bit view is the same store.
    WinRegistry::setString(machine, "SOFTWARE\\Test", "long", "now short", true);
    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE\\Test", "long", true), "now short");
}

TEST_F(WinRegistryTest, QueryValueRepeatsWithTheReportedSize)
{
    WinRegistry::setString(machine, "SOFTWARE\\Test", "v", std::string(1000, 'q'));
    const auto handle = WinRegistry::openKeyForRead(machine, "SOFTWARE\\Test", WinRegistry::accessRead, false);
    uint32_t size = 1;
    uint32_t type = 0;
    EXPECT_EQ(WinRegistry::queryValue(handle, "path", "v", size, type), std::string(1000, 'q'));
    EXPECT_EQ(size, 1000u);
    EXPECT_EQ(type, WinRegistry::typeString);
    EXPECT_EQ(Platform::registryCloseKey(handle), Platform::registrySuccess);
}

TEST_F(WinRegistryTest, TrailingZeroBytesAreRemoved)
{
    writeRaw("SOFTWARE\\Test", "zeros", WinRegistry::typeString, std::string("abc\0\0\0", 6));
    writeRaw("SOFTWARE\\Test", "inner", WinRegistry::typeString, std::string("a\0b\0", 4));
    writeRaw("SOFTWARE\\Test", "only", WinRegistry::typeString, std::string("\0\0", 2));
    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE\\Test", "zeros"), "abc");
    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE\\Test", "inner"), std::string("a\0b", 3));
    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE\\Test", "only"), "");
}

TEST_F(WinRegistryTest, MultiStrings)
{
    WinRegistry::setMultiString(machine, "SOFTWARE\\Test", "list", {"A", "B"});
    EXPECT_EQ(WinRegistry::getMultiString(machine, "SOFTWARE\\Test", "list"), (std::vector<std::string>{"A", "B"}));

    // The stored bytes: each element and a zero, then one more zero; the empty list is one zero.
    WinRegistry::setMultiString(machine, "SOFTWARE\\Test", "none", {});
    const auto handle = WinRegistry::openKeyForRead(machine, "SOFTWARE\\Test", WinRegistry::accessRead, false);
    uint32_t size = 256;
    uint32_t type = 0;
    EXPECT_EQ(WinRegistry::queryValue(handle, "path", "list", size, type), std::string("A\0B\0\0", 5));
    EXPECT_EQ(type, WinRegistry::typeMultiString);
    size = 256;
    EXPECT_EQ(WinRegistry::queryValue(handle, "path", "none", size, type), std::string("\0", 1));
    Platform::registryCloseKey(handle);
    EXPECT_TRUE(WinRegistry::getMultiString(machine, "SOFTWARE\\Test", "none").empty());

    // Cutting: a leading zero is an empty element, two zeros end the list, a rest without a zero counts.
    writeRaw("SOFTWARE\\Test", "lead", 7, std::string("\0x\0\0", 4));
    writeRaw("SOFTWARE\\Test", "gap", 7, std::string("a\0\0b\0\0", 6));
    writeRaw("SOFTWARE\\Test", "open", 7, std::string("a\0b", 3));
    EXPECT_EQ(WinRegistry::getMultiString(machine, "SOFTWARE\\Test", "lead"), (std::vector<std::string>{"", "x"}));
    EXPECT_EQ(WinRegistry::getMultiString(machine, "SOFTWARE\\Test", "gap"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(WinRegistry::getMultiString(machine, "SOFTWARE\\Test", "open"), (std::vector<std::string>{"a", "b"}));
}

TEST_F(WinRegistryTest, WrongTypeNamesBothTypes)
{
    WinRegistry::setMultiString(machine, "SOFTWARE\\Test", "list", {"A"});
    WinRegistry::setString(machine, "SOFTWARE\\Test", "text", "A");
    try {
        WinRegistry::getString(machine, "SOFTWARE\\Test", "list");
        FAIL() << "no error";
    } catch (const WinRegistry::Get_WrongType& error) {
        EXPECT_EQ(parameterTexts(error),
                  (std::vector<std::string>{"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test", "list", "1", "7"}));
        EXPECT_NE(error.getMessage(false).find(
                      "Cannot get \"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\"->\"list\" of type 1 because the actual type is 7"),
                  std::string::npos);
        EXPECT_NE(error.getLogText().find("@logsrc{file=\"WinRegistry.cpp\""), std::string::npos);
    }
    EXPECT_THROW(WinRegistry::getMultiString(machine, "SOFTWARE\\Test", "text"), WinRegistry::Get_WrongType);
}

TEST_F(WinRegistryTest, MissingKeysAndValues)
{
    try {
        WinRegistry::getString(machine, "SOFTWARE/Nowhere", "v");
        FAIL() << "no error";
    } catch (const WinRegistry::Get_NotFound& error) {
        EXPECT_EQ(parameterTexts(error), (std::vector<std::string>{"HKEY_LOCAL_MACHINE", "SOFTWARE\\Nowhere"}));
    }
    WinRegistry::setString(machine, "SOFTWARE\\Test", "present", "1");
    try {
        WinRegistry::getString(machine, "SOFTWARE\\Test", "absent");
        FAIL() << "no error";
    } catch (const WinRegistry::Get_NotFound& error) {
        EXPECT_EQ(parameterTexts(error), (std::vector<std::string>{"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test", "absent"}));
        EXPECT_NE(error.getMessage(false).find("Could not find registry key"), std::string::npos);
    }
    // A subkey is not a value, and a value is not a key.
    WinRegistry::setString(machine, "SOFTWARE\\Test\\sub", "v", "1");
    EXPECT_THROW(WinRegistry::getString(machine, "SOFTWARE\\Test", "sub"), WinRegistry::Get_NotFound);
    EXPECT_THROW(WinRegistry::getString(machine, "SOFTWARE\\Test\\present", "v"), WinRegistry::Get_NotFound);
    // The hive itself always opens; an unwritten store has no values.
    EXPECT_THROW(WinRegistry::getString("HKEY_CURRENT_CONFIG", "", "v"), WinRegistry::Get_NotFound);
}

TEST_F(WinRegistryTest, HiveNamesAreExact)
{
    try {
        WinRegistry::getString("hkey_local_machine", "SOFTWARE", "v");
        FAIL() << "no error";
    } catch (const WinRegistry::Get_BadArguments& error) {
        EXPECT_EQ(parameterTexts(error), (std::vector<std::string>{"hkey_local_machine"}));
    }
    try {
        WinRegistry::setMultiString("HKLM", "SOFTWARE", "v", {"x"});
        FAIL() << "no error";
    } catch (const WinRegistry::Set_BadArguments& error) {
        EXPECT_EQ(parameterTexts(error), (std::vector<std::string>{"HKLM"}));
    }
    for (const char* hive : {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS",
                             "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG"}) {
        WinRegistry::setString(hive, "K", "v", hive);
        EXPECT_EQ(WinRegistry::getString(hive, "K", "v"), hive);
    }
}

TEST_F(WinRegistryTest, ResourceKeysFollowKelvraEnv)
{
    EXPECT_EQ(WinRegistry::mapResourceKey("SOFTWARE/Kelvra/Resources/X"), "SOFTWARE\\Kelvra\\Resources\\X");
    EXPECT_EQ(WinRegistry::mapResourceKey("SOFTWARE\\Kelvra\\Resources"), "SOFTWARE\\Kelvra\\Resources");
    WinRegistry::setString(machine, "SOFTWARE/Kelvra/Resources/X", "v", "unredirected");

    ASSERT_TRUE(Platform::setEnvironmentVariable("KELVRA_ENV", "TEST\\Res"));
    EXPECT_EQ(WinRegistry::mapResourceKey("SOFTWARE/Kelvra/Resources/X"), "TEST\\Res\\X");
    EXPECT_EQ(WinRegistry::mapResourceKey("SOFTWARE\\Kelvra\\Resources"), "TEST\\Res");
    EXPECT_EQ(WinRegistry::mapResourceKey("SOFTWARE\\Kelvra\\Other"), "SOFTWARE\\Kelvra\\Other");
    EXPECT_EQ(WinRegistry::mapResourceKey("SOFTWARE\\Kelvra\\ResourcesOld\\X"), "SOFTWARE\\Kelvra\\ResourcesOld\\X");
    EXPECT_EQ(WinRegistry::mapResourceKey("software\\kelvra\\resources\\X"), "software\\kelvra\\resources\\X");
    EXPECT_EQ(WinRegistry::mapResourceKey("SOFTWARE\\Kelvra\\Res"), "SOFTWARE\\Kelvra\\Res");

    WinRegistry::setString(machine, "SOFTWARE\\Kelvra\\Resources\\X", "v", "redirected");
    EXPECT_EQ(WinRegistry::getString(machine, "TEST\\Res\\X", "v"), "redirected");
    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE/Kelvra/Resources/X", "v"), "redirected");
    try {
        WinRegistry::getString(machine, "SOFTWARE\\Kelvra\\Resources\\Y", "v");
        FAIL() << "no error";
    } catch (const WinRegistry::Get_NotFound& error) {
        EXPECT_EQ(parameterTexts(error), (std::vector<std::string>{machine, "TEST\\Res\\Y"}));
    }

    ASSERT_TRUE(Platform::unsetEnvironmentVariable("KELVRA_ENV"));
    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE\\Kelvra\\Resources\\X", "v"), "unredirected");
}

TEST_F(WinRegistryTest, NamesAreCaseInsensitiveAndStayInsideTheStore)
{
    WinRegistry::setString(machine, "SOFTWARE\\Kelvra\\Collector", "Interval", "PT1M");
    EXPECT_EQ(WinRegistry::getString(machine, "software\\KELVRA\\collector", "INTERVAL"), "PT1M");
    EXPECT_EQ(readFile(root / "HKEY_LOCAL_MACHINE" / "software" / "kelvra" / "collector" / "@interval"),
              "1\nPT1M");

    // Empty parts of a key path are skipped.
    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE\\\\Kelvra\\Collector\\", "interval"), "PT1M");

    // Dots, slashes and percent signs never leave the key's folder.
    const std::vector<std::string> names = {"..", ".", "../../escape", "a/b", "%2E%2E", "", "@", ".hidden"};
    for (const std::string& name : names) {
        WinRegistry::setString(machine, "..\\..\\Up", name, "[" + name + "]");
        WinRegistry::setString(machine, ".", name, "<" + name + ">");
    }
    for (const std::string& name : names) {
        EXPECT_EQ(WinRegistry::getString(machine, "..\\..\\Up", name), "[" + name + "]");
        EXPECT_EQ(WinRegistry::getString(machine, ".", name), "<" + name + ">");
    }
    const std::string hiveFolder = (root / "HKEY_LOCAL_MACHINE").string();
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        EXPECT_EQ(entry.path().string().compare(0, hiveFolder.size(), hiveFolder), 0) << entry.path();
        EXPECT_NE(entry.path().filename().string().compare(0, 5, ".tmp-"), 0) << entry.path();
        files += entry.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(files, 1 + 2 * names.size());
}

TEST_F(WinRegistryTest, CurrentUserIsTheUsersKeyUnderUsers)
{
    const std::string user = systemValue(SystemValueId::currentUser);
    ASSERT_NE(user, "[unknown]");
    WinRegistry::setString("HKEY_CURRENT_USER", "SOFTWARE\\Kelvra", "mine", "yes");
    EXPECT_EQ(WinRegistry::getString("HKEY_USERS", user + "\\SOFTWARE\\Kelvra", "mine"), "yes");
    EXPECT_THROW(WinRegistry::getString(machine, "SOFTWARE\\Kelvra", "mine"), WinRegistry::Get_NotFound);
}

TEST_F(WinRegistryTest, KeysAreClosedOnEveryPath)
{
    WinRegistry::setString(machine, "SOFTWARE\\Test", "v", "1");

    auto handle = WinRegistry::openKeyForRead(machine, "SOFTWARE\\Test", WinRegistry::accessRead, false);
    EXPECT_EQ(WinRegistry::getValue(handle, "p", "v", WinRegistry::typeString), "1");
    EXPECT_EQ(Platform::registryCloseKey(handle), Platform::registryInvalidHandle);

    handle = WinRegistry::openKeyForRead(machine, "SOFTWARE\\Test", WinRegistry::accessRead, false);
    EXPECT_THROW(WinRegistry::getValue(handle, "p", "absent", WinRegistry::typeString), WinRegistry::Get_NotFound);
    EXPECT_EQ(Platform::registryCloseKey(handle), Platform::registryInvalidHandle);

    handle = WinRegistry::openKeyForRead(machine, "SOFTWARE\\Test", WinRegistry::accessRead, false);
    EXPECT_THROW(WinRegistry::getValue(handle, "p", "v", WinRegistry::typeMultiString), WinRegistry::Get_WrongType);
    EXPECT_EQ(Platform::registryCloseKey(handle), Platform::registryInvalidHandle);

    // A key opened for reading refuses writes.
    handle = WinRegistry::openKeyForRead(machine, "SOFTWARE\\Test", WinRegistry::accessRead, false);
    try {
        WinRegistry::setValue(handle, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Test", "v", 1, "2", 1);
        FAIL() << "no error";
    } catch (const WinRegistry::Set_AccessDenied& error) {
        EXPECT_EQ(parameterTexts(error), (std::vector<std::string>{"HKEY_LOCAL_MACHINE\\SOFTWARE\\Test", "v"}));
    }
    EXPECT_EQ(Platform::registryCloseKey(handle), Platform::registryInvalidHandle);
    EXPECT_EQ(WinRegistry::getString(machine, "SOFTWARE\\Test", "v"), "1");

    // A write handle has no query right, so the read fails and still closes.
    handle = WinRegistry::openKeyForWrite(machine, "SOFTWARE\\Test", false);
    EXPECT_THROW(WinRegistry::getValue(handle, "p", "v", WinRegistry::typeString), WinRegistry::Get_NotFound);
    EXPECT_EQ(Platform::registryCloseKey(handle), Platform::registryInvalidHandle);
}

TEST_F(WinRegistryTest, DamagedStoreReadsAsNotFoundOrFailsToWrite)
{
    WinRegistry::setString(machine, "SOFTWARE\\Test", "v", "1");
    std::ofstream(root / "HKEY_LOCAL_MACHINE" / "software" / "test" / "@broken", std::ios::binary) << "no type";
    EXPECT_THROW(WinRegistry::getString(machine, "SOFTWARE\\Test", "broken"), WinRegistry::Get_NotFound);

    // A file where a key's folder belongs.
    std::ofstream(root / "HKEY_LOCAL_MACHINE" / "blocked", std::ios::binary) << "x";
    EXPECT_THROW(WinRegistry::getString(machine, "blocked", "v"), WinRegistry::Get_NotFound);
    try {
        WinRegistry::setString(machine, "blocked\\below", "v", "1");
        FAIL() << "no error";
    } catch (const WinRegistry::Set_UnknownError& error) {
        EXPECT_EQ(parameterTexts(error), (std::vector<std::string>{machine, "blocked\\below"}));
    }
}

TEST(RegistryStoreFolder, ComesFromTheEnvironment)
{
    ASSERT_TRUE(Platform::unsetEnvironmentVariable("TRAWLEX_REGISTRY_DIR"));
    EXPECT_EQ(Platform::registryStoreFolder(), "/var/lib/trawlex/registry");
    ASSERT_TRUE(Platform::setEnvironmentVariable("TRAWLEX_REGISTRY_DIR", ""));
    EXPECT_EQ(Platform::registryStoreFolder(), "/var/lib/trawlex/registry");
    ASSERT_TRUE(Platform::setEnvironmentVariable("TRAWLEX_REGISTRY_DIR", "/tmp/elsewhere"));
    EXPECT_EQ(Platform::registryStoreFolder(), "/tmp/elsewhere");
    Platform::unsetEnvironmentVariable("TRAWLEX_REGISTRY_DIR");
}

TEST(Environment, SetEmptyAndUnsetVariables)
{
    std::string value = "untouched";
    ASSERT_TRUE(Platform::unsetEnvironmentVariable("SYS_TEST_VARIABLE"));
    EXPECT_FALSE(getEnvironmentVariable("SYS_TEST_VARIABLE", value));
    EXPECT_EQ(value, "untouched");
    ASSERT_TRUE(Platform::setEnvironmentVariable("SYS_TEST_VARIABLE", ""));
    EXPECT_TRUE(getEnvironmentVariable("SYS_TEST_VARIABLE", value));
    EXPECT_EQ(value, "");
    ASSERT_TRUE(Platform::setEnvironmentVariable("SYS_TEST_VARIABLE", "a b=c"));
    EXPECT_TRUE(getEnvironmentVariable("SYS_TEST_VARIABLE", value));
    EXPECT_EQ(value, "a b=c");
    EXPECT_FALSE(Platform::setEnvironmentVariable("BAD=NAME", "x"));
    EXPECT_FALSE(Platform::setEnvironmentVariable("", "x"));
    EXPECT_FALSE(getEnvironmentVariable("", value));
    Platform::unsetEnvironmentVariable("SYS_TEST_VARIABLE");
}

}  // namespace
