#pragma once
// What describes a data log apart from the file: the meta keys of its header, its type and
// format versions, and the column definitions of typed logs.
//
//   DataCommons d;
//   d.setLogType(DataCommons::logKelvra);
//   d.parseColumns("time:time|user:string:none:*|count:int32:sum");
//   d.columnIndexOf("user");    // 1, and a key column
//
// Meta keys are stored as "group.key" and iterate in byte-wise ascending order. Failures follow
// the process-wide error mode: thrown when it is on, else logged at error level (message and
// source annotation) with a false result.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "corelib/DateTime.h"
#include "corelib/Exception.h"
#include "corelib/Logger.h"
#include "corelib/TimeSpan.h"

namespace KelvraCorelib {

class DataCommons : public Throws {
public:
    KELVRA_ERROR_CLASS(ParseColumns_BadLogType);
    KELVRA_ERROR_CLASS(CopyColumns_BadLogType);
    KELVRA_ERROR_CLASS(ParseColumns_BadString);
    KELVRA_ERROR_CLASS(ParseColumns_InvalidType);
    KELVRA_ERROR_CLASS(ParseColumns_InvalidSum);

    enum ColumnType : int32_t {
        columnString = 0,
        columnDouble = 1,
        columnInt32 = 2,
        columnUInt32 = 3,
        columnInt64 = 4,
        columnUInt64 = 5,
        columnTime = 6,
        columnInvalid = 7,
    };

    enum SumType : int32_t {
        sumNone = 0,
        sumSum = 1,
        sumMax = 2,
        sumMin = 3,
        sumAvg = 4,
        sumInvalid = 5,
    };

    // Stored in "log.type" as "kelvra", "raw" and "undef".
    enum LogType : int32_t {
        logKelvra = 0,
        logRaw = 1,
        logUndef = 2,
    };

    struct Column {
        std::string name;
        ColumnType type = columnInvalid;
        SumType sum = sumInvalid;
    };

    struct SourceInfo {
        std::string application;
        std::string module;
        std::string datatype;
        TimeSpan collectionInterval;
        TimeSpan rotationPeriod;
        uint32_t version = 1;
    };

    DataCommons();
    DataCommons(const DataCommons&) = delete;
    DataCommons& operator=(const DataCommons&) = delete;
    ~DataCommons() override;

    // Requires log type "kelvra", then setColumns.
    virtual bool parseColumns(const std::string& definition);
    // Requires log type "kelvra"; replaces the columns and key columns (and rebuilds the name
    // index from the copied columns).
    virtual bool copyColumns(const std::vector<Column>& newColumns, const std::set<uint32_t>& newKeyColumns);
    // Parses "name:type[:sum[:*]]" parts separated by "|" (by the byte 0xA6 for log version 1).
    // With the error mode off a bad part still becomes a column: empty name, invalid type and sum.
    virtual bool setColumns(const std::string& definition);

    // type 0 "kelvra", 1 "raw", otherwise "undef"; version 0 keeps the log version.
    void setLogType(int32_t type, uint32_t version = 0);
    // The "source" group: names, host, domain, architecture, os, tz, timeformat, time,
    // collection-interval, rotation-period and version.
    void setSource(const SourceInfo& source);
    // A "version" key of group "log" or "source" also sets that version.
    void setMeta(const std::string& group, const std::string& key, const std::string& value);
    void setSourceMeta(const std::string& key, const std::string& value);

    // The empty text when the key is absent.
    std::string getMeta(const std::string& group, const std::string& key) const;
    std::string getLogMeta(const std::string& key) const;
    std::string getSourceMeta(const std::string& key) const;
    bool hasMeta(const std::string& group, const std::string& key) const;

    LogType getLogType() const;
    // Milliseconds from "source.rotation-period" / "source.collection-interval" (unsigned reading).
    TimeSpan getRotationPeriod() const;
    TimeSpan getCollectionInterval() const;
    // The count from "source.time".
    DateTime getSourceTime() const;

    // Position of the named column, -1 when there is none.
    int32_t columnIndexOf(const std::string& name) const;

    const std::map<std::string, std::string>& metaKeys() const { return meta; }
    const std::vector<Column>& getColumns() const { return columns; }
    const std::set<uint32_t>& getKeyColumns() const { return keyColumns; }
    int32_t getLogVersion() const { return logVersion; }
    int32_t getSourceVersion() const { return sourceVersion; }

    static ColumnType columnTypeFromName(const std::string& name);
    static SumType sumTypeFromName(const std::string& name);

protected:
    Logger logger;
    std::map<std::string, std::string> meta;
    std::vector<Column> columns;
    std::map<std::string, uint32_t> columnIndex;
    std::set<uint32_t> keyColumns;
    int32_t logVersion;
    int32_t sourceVersion;

    bool debugEnabled() const;

    // The error mode: throws the error when it is on; otherwise logs its message and source
    // annotation at error level on the given (file-level) logger and gives false.
    template <class Error>
    static bool raise(const Error& error, Logger& fileLogger)
    {
        if (errorModeThrows()) {
            throw error;
        }
        fileLogger.error(error.getLogText(), error.parameters);
        return false;
    }
};

}  // namespace KelvraCorelib
