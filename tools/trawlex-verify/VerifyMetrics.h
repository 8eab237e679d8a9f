#pragma once
// The outcome of a check in the Prometheus text exposition format, written atomically (a
// temporary name in the same folder, renamed over the file), so that a textfile collector or a
// push never reads half of it.
//
//   VerifyMetrics metrics;
//   metrics.now = now;  metrics.valid = 3;  metrics.findings["silence"] = 1;
//   metrics.sources[{"web1", "app.os.df"}] = {time, interval, 17};
//   metrics.write("/var/lib/prometheus/node-exporter/trawlex_verify.prom", problem);

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

struct VerifyMetrics {
    struct Source {
        int64_t time = 0;      // the newest "source.time", 1900epoch milliseconds; 0 when not known
        int64_t interval = 0;  // milliseconds; 0 when the files name none
        std::optional<uint64_t> sequence;  // the newest seal sequence, where sealed
    };

    int64_t now = 0;  // the check's time, 1900epoch milliseconds
    int exitCode = 0;
    unsigned valid = 0;
    unsigned invalid = 0;
    unsigned unreadable = 0;
    std::map<std::string, size_t> findings;  // open findings by kind
    size_t acknowledged = 0;
    std::map<std::pair<std::string, std::string>, Source> sources;  // by host and source

    std::string text() const;
    bool write(const std::string& path, std::string& problem) const;

};
