#pragma once
// The name of a data log file, built and parsed in one place:
//
//   <lead>-<source>-<time>.make                                   working file
//   <lead>-<source>-<time>[-NN].data                              final file
//   <lead>-<source>-<time>.make-<pid>[-NN]-tampered.make          working file moved aside by
//                                                                 process pid (signature failed)
//   <lead>-<source>-<time>.make-<pid>[-NN]-tampered[-NN].data     such a file finalised
//
// source: application[.module][.datatype]; time: the file time in 1900epoch milliseconds;
// NN: a counter from "00" to "99999" that makes a name free. The numbers are kept as their
// digits, so that a parsed name gives back its text byte for byte.
//
//   DataLogName name{"app", "app.mod", "3850000000000"};
//   name.text();                              // "app-app.mod-3850000000000.make"
//   name.kind = DataLogName::Kind::final;
//   name.withCounter(0).text();               // "app-app.mod-3850000000000-00.data"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace KelvraCorelib {

struct DataLogName {
    enum class Kind { working, final };

    static constexpr std::string_view workingExtension = ".make";
    static constexpr std::string_view finalExtension = ".data";
    // Counters run from 0 to counters - 1.
    static constexpr uint32_t counters = 100000;

    DataLogName() = default;
    // The working name of this stem.
    DataLogName(std::string lead, std::string source, std::string time)
        : lead(std::move(lead)), source(std::move(source)), time(std::move(time))
    {
    }

    std::string lead;
    std::string source;
    std::string time;          // decimal digits
    std::string process;       // moved aside: the id of the process that did it, else ""
    std::string asideCounter;  // moved aside: NN, or ""
    std::string counter;       // final: NN, or ""
    Kind kind = Kind::working;

    std::string text() const;
    // "<lead>-<source>-": the start of every name of this lead and source.
    std::string prefix() const;
    // This name with counter n where its form keeps one: in the moved-aside part of a moved-aside
    // working name, else before the extension.
    DataLogName withCounter(uint32_t n) const;
    // The length of this name's final form with the largest counter.
    size_t longestFinalLength() const;

    // A name of one of the forms above that starts with "<lead>-<source>-" (taken literally),
    // or nothing.
    static std::optional<DataLogName> parse(const std::string& text, const std::string& lead,
                                            const std::string& source);

    // application[.module][.datatype]: the module is left out when it equals the application,
    // the data type when it equals the module.
    static std::string sourceOf(const std::string& application, const std::string& module,
                                const std::string& datatype);
    // The key of a source's seal chain, never shared by two sources: each part with "%" as "%25"
    // and "." as "%2E", joined by "."; the data type is left out when it equals the module, and
    // then the module when it equals the application. Where no part holds "." or "%" and the
    // application is not empty, this is sourceOf's text, but for a module equal to the
    // application with another data type ("a.a.d", where sourceOf gives "a.d" as for module "d").
    static std::string sourceKeyOf(const std::string& application, const std::string& module,
                                   const std::string& datatype);
    // Application, module and data type of a key, or nothing for a text that no source gives.
    static std::optional<std::array<std::string, 3>> sourceOfKey(const std::string& key);
    // A key for people: the key itself when it holds no "%", else its parts named.
    static std::string sourceKeyText(const std::string& key);
    // "00" to "99", then "100" on.
    static std::string counterText(uint32_t n);
};

}  // namespace KelvraCorelib
