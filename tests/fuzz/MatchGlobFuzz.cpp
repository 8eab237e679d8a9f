// libFuzzer entry for glob matching: the input up to the first NUL byte is the pattern, the
// rest the text. The answer must agree with a plain dynamic-programming matcher.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "corelib/MatchGlob.h"

using namespace KelvraCorelib;

namespace {

bool referenceMatch(const std::string& text, const std::string& glob)
{
    // The one rule beyond plain globbing: an empty text is matched only by "" and "*".
    if (text.empty())
        return glob.empty() || glob == "*";
    // matches[j]: glob[0, i) matches text[0, j).
    std::vector<char> matches(text.size() + 1, 0);
    matches[0] = 1;
    for (const char g : glob) {
        std::vector<char> next(text.size() + 1, 0);
        if (g == '*') {
            char any = 0;
            for (size_t j = 0; j <= text.size(); ++j) {
                any = any || matches[j];
                next[j] = any;
            }
        } else {
            for (size_t j = 1; j <= text.size(); ++j)
                next[j] = matches[j - 1] && (g == '?' || g == text[j - 1]);
        }
        matches.swap(next);
    }
    return matches[text.size()] != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<std::string> parts = FuzzSupport::split(data, size, 2);
    const std::string& glob = parts[0];
    const std::string text = parts.size() > 1 ? parts[1] : std::string();
    if (matchGlob(text, glob) != referenceMatch(text, glob))
        std::abort();
    if (matchGlob(glob, text) != referenceMatch(glob, text))
        std::abort();
    return 0;
}
