#include "datahandling/DataLogName.h"

namespace KelvraCorelib {

namespace {

constexpr std::string_view asideMark = ".make-";
constexpr std::string_view tamperedMark = "-tampered";

// The run of decimal digits at at (moved past it); "" when there is none.
std::string digitsAt(const std::string& text, size_t& at)
{
    const size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        ++at;
    }
    return text.substr(start, at - start);
}

// True, and at moved past it, when mark stands at at.
bool skip(const std::string& text, size_t& at, std::string_view mark)
{
    if (text.compare(at, mark.size(), mark) != 0) {
        return false;
    }
    at += mark.size();
    return true;
}

// "-" and a counter at at, or "" (at unmoved) when none stands there.
std::string counterAt(const std::string& text, size_t& at)
{
    size_t next = at;
    if (!skip(text, next, "-")) {
        return std::string();
    }
    std::string digits = digitsAt(text, next);
    if (!digits.empty()) {
        at = next;
    }
    return digits;
}

}  // namespace

std::string DataLogName::prefix() const
{
    return lead + "-" + source + "-";
}

std::string DataLogName::text() const
{
    std::string name = prefix() + time;
    if (!process.empty()) {
        name += std::string(asideMark) + process;
        if (!asideCounter.empty()) {
            name += "-" + asideCounter;
        }
        name += tamperedMark;
    }
    if (!counter.empty()) {
        name += "-" + counter;
    }
    name += kind == Kind::working ? workingExtension : finalExtension;
    return name;
}

DataLogName DataLogName::withCounter(uint32_t n) const
{
    DataLogName name = *this;
    (kind == Kind::working && !process.empty() ? name.asideCounter : name.counter) = counterText(n);
    return name;
}

size_t DataLogName::longestFinalLength() const
{
    DataLogName longest = *this;
    longest.kind = Kind::final;
    return longest.withCounter(counters - 1).text().size();
}

std::optional<DataLogName> DataLogName::parse(const std::string& text, const std::string& lead,
                                              const std::string& source)
{
    DataLogName name;
    name.lead = lead;
    name.source = source;
    size_t at = 0;
    if (!skip(text, at, name.prefix())) {
        return std::nullopt;
    }
    name.time = digitsAt(text, at);
    if (name.time.empty()) {
        return std::nullopt;
    }
    if (skip(text, at, asideMark)) {
        name.process = digitsAt(text, at);
        name.asideCounter = counterAt(text, at);
        if (name.process.empty() || !skip(text, at, tamperedMark)) {
            return std::nullopt;
        }
    }
    name.counter = counterAt(text, at);
    // Working names carry no counter of their own.
    if (skip(text, at, finalExtension)) {
        name.kind = Kind::final;
    } else if (!name.counter.empty() || !skip(text, at, workingExtension)) {
        return std::nullopt;
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    return name;
}

std::string DataLogName::sourceOf(const std::string& application, const std::string& module,
                                  const std::string& datatype)
{
    std::string name = application;
    if (module != name) {
        name += name.empty() ? module : "." + module;
    }
    if (datatype != module) {
        name += name.empty() ? datatype : "." + datatype;
    }
    return name;
}

std::string DataLogName::counterText(uint32_t n)
{
    std::string text = std::to_string(n);
    return text.size() < 2 ? "0" + text : text;
}

}  // namespace KelvraCorelib
