#include "datahandling/DataLogName.h"

#include <vector>

namespace KelvraCorelib {

namespace {

constexpr std::string_view asideMark = ".make-";
constexpr std::string_view tamperedMark = "-tampered";

// A part of a source key: "%" as "%25", "." as "%2E".
std::string escapedPart(const std::string& part)
{
    std::string text;
    for (const char c : part) {
        text += c == '%' ? "%25" : c == '.' ? "%2E" : std::string(1, c);
    }
    return text;
}

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

std::string DataLogName::sourceKeyOf(const std::string& application, const std::string& module,
                                     const std::string& datatype)
{
    std::string key = escapedPart(application);
    if (datatype != module) {
        return key + "." + escapedPart(module) + "." + escapedPart(datatype);
    }
    return module == application ? key : key + "." + escapedPart(module);
}

std::optional<std::array<std::string, 3>> DataLogName::sourceOfKey(const std::string& key)
{
    std::vector<std::string> parts{std::string()};
    for (size_t i = 0; i < key.size(); ++i) {
        if (key[i] == '.') {
            parts.emplace_back();
        } else if (key[i] != '%') {
            parts.back() += key[i];
        } else if (key.compare(i, 3, "%25") == 0 || key.compare(i, 3, "%2E") == 0) {
            parts.back() += key[i + 2] == '5' ? '%' : '.';
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    std::array<std::string, 3> source;
    if (parts.size() == 1) {
        source = {parts[0], parts[0], parts[0]};
    } else if (parts.size() == 2) {
        source = {parts[0], parts[1], parts[1]};
    } else if (parts.size() == 3) {
        source = {parts[0], parts[1], parts[2]};
    } else {
        return std::nullopt;
    }
    // Only the form sourceKeyOf gives.
    if (sourceKeyOf(source[0], source[1], source[2]) != key) {
        return std::nullopt;
    }
    return source;
}

std::string DataLogName::sourceKeyText(const std::string& key)
{
    const auto source = key.find('%') == std::string::npos ? std::nullopt : sourceOfKey(key);
    if (!source) {
        return key;
    }
    return "application \"" + (*source)[0] + "\", module \"" + (*source)[1] + "\", data type \"" + (*source)[2] +
           "\"";
}

std::string DataLogName::counterText(uint32_t n)
{
    std::string text = std::to_string(n);
    return text.size() < 2 ? "0" + text : text;
}

}  // namespace KelvraCorelib
