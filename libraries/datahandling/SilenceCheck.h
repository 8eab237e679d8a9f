#pragma once
// Sources that have gone quiet: per host and source (SealCheck::sourceOf) the "source.time" of
// each collection checked, measured in that source's own "source.collection-interval". A
// source whose newest collection lies more than the limit of intervals before the check's
// time is silent; two consecutive collections further apart than that are a gap.
//
//   SilenceCheck silence;
//   if (SilenceCheck::collectionOf(header, collection))   // each valid file's meta keys
//       silence.add(SilenceCheck::sourceOf(header), collection);
//   for (const auto& finding : silence.findings(now, 4)) ... finding.text
//   // "host web1, source Trawlex.os.df: no collection since 2026-12-09T03:15Z, 14 intervals of PT15M"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace KelvraCorelib {

class SilenceCheck {
public:
    // Host and source key.
    using SourceId = std::pair<std::string, std::string>;

    struct Collection {
        int64_t time = 0;      // 1900epoch milliseconds
        int64_t interval = 0;  // milliseconds, above 0
    };

    struct Finding {
        SourceId source;
        bool gap = false;   // between two collections, else up to the check's time
        int64_t since = 0;  // the collection before the silence
        int64_t until = 0;  // the next collection, or the check's time
        int64_t intervals = 0;
        std::string text;
    };

    // The collection a file's header describes; false when it has no "source.time" or no
    // collection interval above 0.
    static bool collectionOf(const std::map<std::string, std::string>& header, Collection& collection);
    // "source.host" and the source key of a header.
    static SourceId sourceOf(const std::map<std::string, std::string>& header);

    void add(const SourceId& source, const Collection& collection);

    // Gaps longer than limit intervals, each source's in time order (the interval of the later
    // collection), then the sources silent for longer than limit intervals at now.
    std::vector<Finding> findings(int64_t now, uint64_t limit) const;

    // The newest collection of each source.
    std::map<SourceId, Collection> newest() const;

    // A time as findings show it: "2026-12-09T03:15Z", with seconds where they are not 0.
    static std::string timeText(int64_t time);
    // "2026-12-09T03:15Z" or "2026-12-09T03:15:07Z" (UTC) as 1900epoch milliseconds.
    static bool parseTime(const std::string& text, int64_t& time);

private:
    std::map<SourceId, std::vector<Collection>> collections;
};

}  // namespace KelvraCorelib
