#include "corelib/PrometheusText.h"

namespace KelvraCorelib {

std::string prometheusLabelValue(const std::string& value)
{
    std::string result;
    for (const char c : value) {
        if (c == '\\') {
            result += "\\\\";
        } else if (c == '"') {
            result += "\\\"";
        } else if (c == '\n') {
            result += "\\n";
        } else {
            result += c;
        }
    }
    return result;
}

std::string prometheusSeconds(int64_t milliseconds)
{
    const uint64_t magnitude = milliseconds < 0 ? uint64_t(0) - uint64_t(milliseconds) : uint64_t(milliseconds);
    std::string text = milliseconds < 0 ? "-" : "";
    text += std::to_string(magnitude / 1000);
    text += '.';
    text += std::to_string(1000 + magnitude % 1000).substr(1);
    return text;
}

void prometheusFamily(std::string& text, const char* name, const char* type, const char* help,
                      const std::string& samples)
{
    if (!samples.empty()) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + samples;
    }
}

}  // namespace KelvraCorelib
