#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corelib/Ims.h"
#include "corelib/Logger.h"
#include "support/TestSupport.h"
#include "corelib/SystemValues.h"
#include "datahandling/DataCommons.h"

using namespace KelvraCorelib;

namespace {

using TestSupport::ErrorModeGuard;
using TestSupport::LogSink;

// A typed log of the given version (0: the default).
struct KelvraLog : DataCommons {
    explicit KelvraLog(uint32_t version = 0) { setLogType(logKelvra, version); }
};

}  // namespace

TEST(DataCommonsMeta, FreshObjectAndLogType)
{
    DataCommons d;
    EXPECT_EQ(d.getLogType(), DataCommons::logUndef);
    EXPECT_EQ(d.getLogVersion(), 2);
    EXPECT_EQ(d.getSourceVersion(), 1);
    EXPECT_EQ(d.getMeta("source", "host"), "");
    EXPECT_FALSE(d.hasMeta("log", "type"));
    EXPECT_EQ(d.getRotationPeriod().milliseconds, 0);
    EXPECT_EQ(d.getSourceTime().count, 0);

    d.setLogType(DataCommons::logRaw, 0);
    EXPECT_EQ(d.getLogMeta("type"), "raw");
    EXPECT_EQ(d.getLogMeta("version"), "2");
    EXPECT_EQ(d.getLogType(), DataCommons::logRaw);
    d.setLogType(DataCommons::logKelvra, 5);
    EXPECT_EQ(d.getLogMeta("type"), "kelvra");
    EXPECT_EQ(d.getLogVersion(), 5);
    d.setLogType(9, 0);
    EXPECT_EQ(d.getLogMeta("type"), "undef");
    EXPECT_EQ(d.getLogMeta("version"), "5");
    d.setMeta("log", "type", "RAW");  // names are case-sensitive
    EXPECT_EQ(d.getLogType(), DataCommons::logUndef);
}

TEST(DataCommonsMeta, VersionKeysAndNumberReading)
{
    DataCommons d;
    d.setMeta("source", "version", "17");
    EXPECT_EQ(d.getSourceVersion(), 17);
    d.setMeta("other", "version", "3");
    EXPECT_EQ(d.getSourceVersion(), 17);
    EXPECT_EQ(d.getLogVersion(), 2);
    d.setMeta("log", "version", " 4x");
    EXPECT_EQ(d.getLogVersion(), 4);
    EXPECT_EQ(d.getMeta("other", "version"), "3");

    d.setSourceMeta("rotation-period", "3600000ms");
    EXPECT_EQ(d.getRotationPeriod().milliseconds, 3600000);
    d.setSourceMeta("rotation-period", "-5");
    EXPECT_EQ(d.getRotationPeriod().milliseconds, 0);
    d.setSourceMeta("collection-interval", "60000");
    EXPECT_EQ(d.getCollectionInterval().milliseconds, 60000);
    d.setSourceMeta("time", "3850000000000");
    EXPECT_EQ(d.getSourceTime().count, 3850000000000);
}

TEST(DataCommonsMeta, SetSourceWritesTheSourceGroup)
{
    DataCommons d;
    DataCommons::SourceInfo source;
    source.application = "app";
    source.module = "mod";
    source.datatype = "dt";
    source.collectionInterval = TimeSpan("P1D");
    source.rotationPeriod = TimeSpan("P1M");
    source.version = 3;
    const int64_t before = DateTime::now().count;
    d.setSource(source);
    const int64_t after = DateTime::now().count;

    TimeZone local;
    local.setLocal();
    EXPECT_EQ(d.getSourceMeta("application"), "app");
    EXPECT_EQ(d.getSourceMeta("module"), "mod");
    EXPECT_EQ(d.getSourceMeta("datatype"), "dt");
    EXPECT_EQ(d.getSourceMeta("host"), systemValue(SystemValueId::hostName));
    EXPECT_EQ(d.getSourceMeta("domain"), systemValue(SystemValueId::domain));
    EXPECT_EQ(d.getSourceMeta("architecture"), systemValue(SystemValueId::architecture));
    EXPECT_EQ(d.getSourceMeta("os"), systemValue(SystemValueId::osName));
    EXPECT_EQ(d.getSourceMeta("tz"), local.toText());
    EXPECT_EQ(d.getSourceMeta("timeformat"), "1900epoch");
    EXPECT_EQ(d.getSourceMeta("collection-interval"), "86400000");
    EXPECT_EQ(d.getSourceMeta("rotation-period"), "0");  // months are not carried
    EXPECT_EQ(d.getSourceMeta("version"), "3");
    EXPECT_EQ(d.getSourceVersion(), 3);
    EXPECT_GE(d.getSourceTime().count, before);
    EXPECT_LE(d.getSourceTime().count, after);

    // Iteration (the header order) is byte-wise ascending by full key.
    d.setLogType(DataCommons::logRaw);
    std::vector<std::string> keys;
    for (const auto& entry : d.metaKeys()) {
        keys.push_back(entry.first);
    }
    const std::vector<std::string> expected = {
        "log.type", "log.version", "source.application", "source.architecture", "source.collection-interval",
        "source.datatype", "source.domain", "source.host", "source.module", "source.os", "source.rotation-period",
        "source.time", "source.timeformat", "source.tz", "source.version"};
    EXPECT_EQ(keys, expected);
}

TEST(DataCommonsColumns, ParsesTypesSumsAndKeys)
{
    KelvraLog d;
    ASSERT_TRUE(d.parseColumns("time:time|user:string:none:*|count:int32:sum"));
    ASSERT_EQ(d.getColumns().size(), 3u);
    EXPECT_EQ(d.getColumns()[0].name, "time");
    EXPECT_EQ(d.getColumns()[0].type, DataCommons::columnTime);
    EXPECT_EQ(d.getColumns()[0].sum, DataCommons::sumNone);
    EXPECT_EQ(d.getColumns()[1].type, DataCommons::columnString);
    EXPECT_EQ(d.getColumns()[2].type, DataCommons::columnInt32);
    EXPECT_EQ(d.getColumns()[2].sum, DataCommons::sumSum);
    EXPECT_EQ(d.getKeyColumns(), (std::set<uint32_t>{1}));
    EXPECT_EQ(d.columnIndexOf("count"), 2);
    EXPECT_EQ(d.columnIndexOf("nothing"), -1);

    // Every type and sum name; an empty sum field is "none", a fourth field other than "*" is no key.
    ASSERT_TRUE(d.setColumns("a:double:max|b:uint32:min|c:int64:avg|d:uint64:|e:int32::*|f:time:sum:x:y"));
    EXPECT_EQ(d.getColumns()[0].type, DataCommons::columnDouble);
    EXPECT_EQ(d.getColumns()[0].sum, DataCommons::sumMax);
    EXPECT_EQ(d.getColumns()[1].type, DataCommons::columnUInt32);
    EXPECT_EQ(d.getColumns()[1].sum, DataCommons::sumMin);
    EXPECT_EQ(d.getColumns()[2].type, DataCommons::columnInt64);
    EXPECT_EQ(d.getColumns()[2].sum, DataCommons::sumAvg);
    EXPECT_EQ(d.getColumns()[3].type, DataCommons::columnUInt64);
    EXPECT_EQ(d.getColumns()[3].sum, DataCommons::sumNone);
    EXPECT_EQ(d.getColumns()[4].sum, DataCommons::sumNone);
    EXPECT_EQ(d.getKeyColumns(), (std::set<uint32_t>{4}));

    // Names are kept as written; duplicates stay, the later one wins in the index.
    ASSERT_TRUE(d.setColumns(" x :int32|x:string|"));
    ASSERT_EQ(d.getColumns().size(), 2u);
    EXPECT_EQ(d.getColumns()[0].name, " x ");
    ASSERT_TRUE(d.setColumns("x:int32|x:string"));
    EXPECT_EQ(d.getColumns().size(), 2u);
    EXPECT_EQ(d.columnIndexOf("x"), 1);
    ASSERT_TRUE(d.setColumns(""));
    EXPECT_TRUE(d.getColumns().empty());
}

TEST(DataCommonsColumns, FailuresThrowTheirClasses)
{
    KelvraLog d;
    auto parameterOf = [&](const std::string& definition) {
        try {
            d.setColumns(definition);
        } catch (const Exception& e) {
            ParamStream p = e.parameters;
            std::string value;
            p >> value;
            return e.className + ":" + value;
        }
        return std::string("no error");
    };
    EXPECT_EQ(parameterOf("a"), "ParseColumns_BadString:a");
    EXPECT_EQ(parameterOf("a:"), "ParseColumns_BadString:a:");
    EXPECT_EQ(parameterOf("x:int32||y:int32"), "ParseColumns_BadString:");
    EXPECT_EQ(parameterOf("a::sum"), "ParseColumns_InvalidType:");
    EXPECT_EQ(parameterOf("a:Int32"), "ParseColumns_InvalidType:Int32");
    EXPECT_EQ(parameterOf("a:int32:total"), "ParseColumns_InvalidSum:total");
    EXPECT_THROW(d.setColumns("a:float"), DataCommons::ParseColumns_InvalidType);

    DataCommons untyped;
    EXPECT_THROW(untyped.parseColumns("a:int32"), DataCommons::ParseColumns_BadLogType);
    EXPECT_THROW(untyped.copyColumns({}, {}), DataCommons::CopyColumns_BadLogType);
    try {
        untyped.parseColumns("a:int32");
    } catch (const Exception& e) {
        EXPECT_EQ(e.getMessage(false),
                  " The meta key \"log.type\" must be set to \"kelvra\" before column parsing");
    }
}

TEST(DataCommonsColumns, VersionOneSeparatesWithA6)
{
    KelvraLog d(1);
    try {
        d.setColumns("a:int32|b:string");
        FAIL();
    } catch (const DataCommons::ParseColumns_InvalidType& e) {
        ParamStream p = e.parameters;
        std::string value;
        p >> value;
        EXPECT_EQ(value, "int32|b");
    }
    ASSERT_TRUE(d.setColumns("a:int32\xA6" "b:string"));
    EXPECT_EQ(d.getColumns().size(), 2u);
    EXPECT_EQ(d.columnIndexOf("b"), 1);
}

TEST(DataCommonsColumns, ErrorModeOffLogsAndKeepsAnInvalidColumn)
{
    ErrorModeGuard off(false);
    LogSink capture;
    KelvraLog d;
    EXPECT_TRUE(d.parseColumns("x:float|y:int32"));
    ASSERT_EQ(d.getColumns().size(), 2u);
    EXPECT_EQ(d.getColumns()[0].name, "");
    EXPECT_EQ(d.getColumns()[0].type, DataCommons::columnInvalid);
    EXPECT_EQ(d.getColumns()[0].sum, DataCommons::sumInvalid);
    EXPECT_EQ(d.getColumns()[1].name, "y");
    EXPECT_TRUE(d.getKeyColumns().empty());
    ASSERT_EQ(capture.at(LogError).size(), 1u);
    const std::string text = capture.at(LogError)[0].text;
    EXPECT_EQ(text.rfind("@data-commons.parse-columns.invalid-type{Invalid column type \"%\"};", 0), 0u) << text;
    EXPECT_NE(text.find("@logsrc{file=\"DataCommons.cpp\""), std::string::npos) << text;

    DataCommons untyped;
    EXPECT_FALSE(untyped.parseColumns("a:int32"));
    EXPECT_FALSE(untyped.copyColumns({}, {}));
    EXPECT_EQ(capture.at(LogError).size(), 3u);
}

TEST(DataCommonsColumns, CopyColumnsReplacesColumnsKeysAndIndex)
{
    KelvraLog source;
    ASSERT_TRUE(source.parseColumns("a:int32:sum:*|b:string"));
    KelvraLog d;
    ASSERT_TRUE(d.parseColumns("z:double"));
    ASSERT_TRUE(d.copyColumns(source.getColumns(), source.getKeyColumns()));
    EXPECT_EQ(d.getColumns().size(), 2u);
    EXPECT_EQ(d.getKeyColumns(), (std::set<uint32_t>{0}));
    EXPECT_EQ(d.columnIndexOf("b"), 1);
    EXPECT_EQ(d.columnIndexOf("z"), -1);
    // Copying its own columns keeps them.
    ASSERT_TRUE(d.copyColumns(d.getColumns(), d.getKeyColumns()));
    EXPECT_EQ(d.getColumns().size(), 2u);
    EXPECT_EQ(d.getKeyColumns(), (std::set<uint32_t>{0}));
}
