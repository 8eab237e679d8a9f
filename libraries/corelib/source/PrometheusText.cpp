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

void prometheusFamily(std::string& text, const char* name, const char* type, const char* help,
                      const std::string& samples)
{
    if (!samples.empty()) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + samples;
    }
}

}  // namespace KelvraCorelib
