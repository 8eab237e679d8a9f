#include "datahandling/SilenceCheck.h"

#include <algorithm>
#include <cstdio>

#include "corelib/Codecs.h"
#include "corelib/DateTime.h"
#include "corelib/TimeSpan.h"
#include "datahandling/SealCheck.h"

namespace KelvraCorelib {

namespace {

bool positiveNumber(const std::map<std::string, std::string>& header, const char* key, int64_t& value)
{
    const auto found = header.find(key);
    uint64_t number = 0;
    if (found == header.end() || !parseDecimal(found->second, number) || number == 0) {
        return false;
    }
    value = int64_t(number);
    return true;
}

std::string where(const SilenceCheck::SourceId& source)
{
    return "host " + source.first + ", source " + source.second + ": ";
}

std::string measure(int64_t intervals, int64_t interval)
{
    return std::to_string(intervals) + (intervals == 1 ? " interval of " : " intervals of ") +
           TimeSpan(interval).toText();
}

// More than limit intervals in span.
bool beyond(int64_t span, int64_t interval, uint64_t limit)
{
    const uint64_t whole = uint64_t(span / interval);
    return span > 0 && (whole > limit || (whole == limit && span % interval != 0));
}

}  // namespace

bool SilenceCheck::collectionOf(const std::map<std::string, std::string>& header, Collection& collection)
{
    return positiveNumber(header, "source.time", collection.time) &&
           positiveNumber(header, "source.collection-interval", collection.interval);
}

SilenceCheck::SourceId SilenceCheck::sourceOf(const std::map<std::string, std::string>& header)
{
    const auto host = header.find("source.host");
    return {host == header.end() ? std::string() : host->second, SealCheck::sourceOf(header)};
}

void SilenceCheck::add(const SourceId& source, const Collection& collection)
{
    collections[source].push_back(collection);
}

std::vector<SilenceCheck::Finding> SilenceCheck::findings(int64_t now, uint64_t limit) const
{
    std::vector<Finding> found;
    std::vector<Finding> silent;
    for (const auto& [source, list] : collections) {
        std::vector<Collection> sorted = list;
        std::sort(sorted.begin(), sorted.end(),
                  [](const Collection& a, const Collection& b) { return a.time < b.time; });
        for (size_t i = 1; i < sorted.size(); ++i) {
            const int64_t interval = sorted[i].interval;
            const int64_t span = sorted[i].time - sorted[i - 1].time;
            if (beyond(span, interval, limit)) {
                const Finding gap{source, true, sorted[i - 1].time, sorted[i].time, span / interval,
                                  where(source) + "no collection from " + timeText(sorted[i - 1].time) + " to " +
                                      timeText(sorted[i].time) + ", " + measure(span / interval, interval)};
                found.push_back(gap);
            }
        }
        const Collection& newest = sorted.back();
        const int64_t age = now - newest.time;
        if (beyond(age, newest.interval, limit)) {
            silent.push_back({source, false, newest.time, now, age / newest.interval,
                              where(source) + "no collection since " + timeText(newest.time) + ", " +
                                  measure(age / newest.interval, newest.interval)});
        }
    }
    found.insert(found.end(), silent.begin(), silent.end());
    return found;
}

std::map<SilenceCheck::SourceId, SilenceCheck::Collection> SilenceCheck::newest() const
{
    std::map<SourceId, Collection> result;
    for (const auto& [source, list] : collections) {
        result[source] = *std::max_element(list.begin(), list.end(),
                                           [](const Collection& a, const Collection& b) { return a.time < b.time; });
    }
    return result;
}

std::string SilenceCheck::timeText(int64_t time)
{
    const DateTimeDetails fields(time);
    const auto two = [](int64_t value) {
        std::string text = std::to_string(value);
        return value < 10 ? text.insert(0, 1, '0') : text;
    };
    std::string year = std::to_string(fields.year);
    year.insert(0, year.size() < 4 ? 4 - year.size() : 0, '0');
    std::string text = year + "-" + two(fields.month) + "-" + two(fields.day) + "T" + two(fields.hour) + ":" +
                       two(fields.minute);
    if (fields.second != 0) {
        text += ':';
        text += two(fields.second);
    }
    text += 'Z';
    return text;
}

bool SilenceCheck::parseTime(const std::string& text, int64_t& time)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
    const bool withSeconds = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &year, &month, &day, &hour,
                                         &minute, &second, &used) == 6 && used == int(text.size());
    if (!withSeconds) {
        second = 0;
        used = 0;
        if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2dZ%n", &year, &month, &day, &hour, &minute, &used) != 5 ||
            used != int(text.size())) {
            return false;
        }
    }
    const DateTimeDetails fields(year, month, day, hour, minute, second, 0, false);
    if (year < 1900 || fields.year != year || fields.month != month || fields.day != day || fields.hour != hour ||
        fields.minute != minute || fields.second != second) {
        return false;  // out of range: normalizing moved a field
    }
    time = fields.toCount();
    return true;
}

}  // namespace KelvraCorelib
