#include "datahandling/DataCommons.h"

#include "corelib/StringTools.h"
#include "corelib/SystemValues.h"

namespace KelvraCorelib {

namespace {

Logger& fileLogger()
{
    static Logger* logger = new Logger();  // lives until the process ends
    return *logger;
}

// Splits at every separator; empty parts are kept except an empty last one (so a trailing
// separator adds nothing and the empty text gives no parts).
std::vector<std::string> splitKeepingEmpty(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            if (start < text.size()) {
                parts.push_back(text.substr(start));
            }
            break;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Columns belong to typed logs only.
const char* const notTypedLog = "@data-commons.set-columns.bad-logtype{The meta key \"log.type\" must be set to "
                                "\"kelvra\" before column parsing};";

const char* const columnTypeNames[] = {"string", "double", "int32", "uint32", "int64", "uint64", "time"};
const char* const sumTypeNames[] = {"none", "sum", "max", "min", "avg"};

}  // namespace

DataCommons::DataCommons() : logVersion(2), sourceVersion(1)
{
}

DataCommons::~DataCommons() = default;

bool DataCommons::debugEnabled() const
{
    return logger.isLogging(LogDebug);
}

DataCommons::ColumnType DataCommons::columnTypeFromName(const std::string& name)
{
    for (int32_t i = 0; i < 7; ++i) {
        if (name == columnTypeNames[i]) {
            return ColumnType(i);
        }
    }
    return columnInvalid;
}

DataCommons::SumType DataCommons::sumTypeFromName(const std::string& name)
{
    if (name.empty()) {
        return sumNone;
    }
    for (int32_t i = 0; i < 5; ++i) {
        if (name == sumTypeNames[i]) {
            return SumType(i);
        }
    }
    return sumInvalid;
}

bool DataCommons::parseColumns(const std::string& definition)
{
    if (debugEnabled()) {
        logger.debug("DataCommons::parseColumns: Setting \"%\"", ParamStream() << definition);
    }
    if (getLogType() != logKelvra) {
        return raise(ParseColumns_BadLogType(notTypedLog, KELVRA_HERE), fileLogger());
    }
    return setColumns(definition);
}

bool DataCommons::copyColumns(const std::vector<Column>& newColumns, const std::set<uint32_t>& newKeyColumns)
{
    if (getLogType() != logKelvra) {
        return raise(CopyColumns_BadLogType(notTypedLog, KELVRA_HERE), fileLogger());
    }
    if (&newColumns != &columns) {
        columns = newColumns;
    }
    if (&newKeyColumns != &keyColumns) {
        keyColumns = newKeyColumns;
    }
    // The name index follows the copied columns, so that columnIndexOf agrees with them.
    columnIndex.clear();
    for (uint32_t i = 0; i < columns.size(); ++i) {
        columnIndex[columns[i].name] = i;
    }
    return true;
}

bool DataCommons::setColumns(const std::string& definition)
{
    columns.clear();
    columnIndex.clear();
    keyColumns.clear();
    const char separator = logVersion == 1 ? char(0xA6) : '|';
    for (const std::string& part : splitKeepingEmpty(definition, separator)) {
        const std::vector<std::string> fields = splitKeepingEmpty(part, ':');
        Column column;
        bool key = false;
        bool valid = false;
        if (fields.size() < 2) {
            raise(ParseColumns_BadString("@data-commons.parse-columns.bad-string{Invalid columns definition string: "
                                         "\"%\"};",
                                         KELVRA_HERE, ParamStream() << part),
                  fileLogger());
        } else if (columnTypeFromName(fields[1]) == columnInvalid) {
            raise(ParseColumns_InvalidType("@data-commons.parse-columns.invalid-type{Invalid column type \"%\"};",
                                           KELVRA_HERE, ParamStream() << fields[1]),
                  fileLogger());
        } else if (fields.size() > 2 && sumTypeFromName(fields[2]) == sumInvalid) {
            raise(ParseColumns_InvalidSum("@data-commons.parse-columns.invalid-sum{Invalid sum type \"%\"};",
                                          KELVRA_HERE, ParamStream() << fields[2]),
                  fileLogger());
        } else {
            valid = true;
        }
        if (valid) {
            column.name = fields[0];
            column.type = columnTypeFromName(fields[1]);
            column.sum = fields.size() > 2 ? sumTypeFromName(fields[2]) : sumNone;
            key = fields.size() > 3 && fields[3] == "*";
        }
        const uint32_t position = uint32_t(columns.size());
        if (key) {
            keyColumns.insert(position);
        }
        columnIndex[column.name] = position;
        columns.push_back(column);
    }
    return true;
}

void DataCommons::setLogType(int32_t type, uint32_t version)
{
    const char* text = type == logKelvra ? "kelvra" : type == logRaw ? "raw" : "undef";
    setMeta("log", "type", text);
    setMeta("log", "version", StringTools::formatUInt32(version != 0 ? version : uint32_t(logVersion)));
}

void DataCommons::setSource(const SourceInfo& source)
{
    TimeZone localZone;
    localZone.setLocal();
    const DateTime now = DateTime::now();
    setSourceMeta("application", source.application);
    setSourceMeta("module", source.module);
    setSourceMeta("datatype", source.datatype);
    setSourceMeta("host", systemValue(SystemValueId::hostName));
    setSourceMeta("domain", systemValue(SystemValueId::domain));
    setSourceMeta("architecture", systemValue(SystemValueId::architecture));
    setSourceMeta("os", systemValue(SystemValueId::osName));
    setSourceMeta("tz", localZone.toText());
    setSourceMeta("timeformat", "1900epoch");
    setSourceMeta("time", StringTools::formatUInt64(uint64_t(now.count)));
    setSourceMeta("collection-interval", StringTools::formatInt64(source.collectionInterval.milliseconds));
    setSourceMeta("rotation-period", StringTools::formatInt64(source.rotationPeriod.milliseconds));
    setSourceMeta("version", StringTools::formatUInt32(source.version));
}

void DataCommons::setMeta(const std::string& group, const std::string& key, const std::string& value)
{
    meta[group + "." + key] = value;
    if (key == "version") {
        if (group == "log") {
            logVersion = int32_t(StringTools::parseUInt32(value));
        } else if (group == "source") {
            sourceVersion = int32_t(StringTools::parseUInt32(value));
        }
    }
}

void DataCommons::setSourceMeta(const std::string& key, const std::string& value)
{
    setMeta("source", key, value);
}

std::string DataCommons::getMeta(const std::string& group, const std::string& key) const
{
    const auto found = meta.find(group + "." + key);
    return found == meta.end() ? std::string() : found->second;
}

std::string DataCommons::getLogMeta(const std::string& key) const
{
    return getMeta("log", key);
}

std::string DataCommons::getSourceMeta(const std::string& key) const
{
    return getMeta("source", key);
}

bool DataCommons::hasMeta(const std::string& group, const std::string& key) const
{
    return meta.count(group + "." + key) > 0;
}

DataCommons::LogType DataCommons::getLogType() const
{
    const std::string type = getLogMeta("type");
    if (type == "kelvra") {
        return logKelvra;
    }
    if (type == "raw") {
        return logRaw;
    }
    return logUndef;
}

TimeSpan DataCommons::getRotationPeriod() const
{
    return TimeSpan(int64_t(StringTools::parseUInt64(getSourceMeta("rotation-period"))));
}

TimeSpan DataCommons::getCollectionInterval() const
{
    return TimeSpan(int64_t(StringTools::parseUInt64(getSourceMeta("collection-interval"))));
}

DateTime DataCommons::getSourceTime() const
{
    return DateTime(int64_t(StringTools::parseUInt64(getSourceMeta("time"))));
}

int32_t DataCommons::columnIndexOf(const std::string& name) const
{
    const auto found = columnIndex.find(name);
    return found == columnIndex.end() ? -1 : int32_t(found->second);
}

}  // namespace KelvraCorelib
