#pragma once
// Pieces of the Prometheus text exposition format that the run record and the verifier's
// metrics share.
//
//   std::string text;
//   prometheusFamily(text, "trawlex_run_exit_code", "gauge", "Exit code of the run.",
//                    "trawlex_run_exit_code{host=\"" + prometheusLabelValue(host) + "\"} 0\n");

#include <cstdint>
#include <string>

namespace KelvraCorelib {

// A label value with backslash, double quote and line feed escaped.
std::string prometheusLabelValue(const std::string& value);

// Milliseconds as a sample value in seconds, to the millisecond: -1500 gives "-1.500".
std::string prometheusSeconds(int64_t milliseconds);

// Appends a family's HELP and TYPE lines and its samples; nothing for a family without samples.
void prometheusFamily(std::string& text, const char* name, const char* type, const char* help,
                      const std::string& samples);

}  // namespace KelvraCorelib
