#include "corelib/MatchGlob.h"

namespace KelvraCorelib {

bool matchGlob(const std::string& text, const std::string& glob)
{
    if (text.empty()) {
        return glob.empty() || glob == "*";
    }
    if (glob.empty()) {
        return false;
    }
    if (glob == "*" || glob == "?*") {
        return true;
    }

    // Greedy scan that, on a mismatch, retries from the most recent "*" with that star taking
    // one more character. Only the last star ever needs to be retried: whatever an earlier star
    // could absorb, the later one can absorb as well. Each retry advances the text start of the
    // star, so the work is bounded by text length x glob length.
    const size_t textSize = text.size();
    const size_t globSize = glob.size();
    size_t t = 0;
    size_t g = 0;
    size_t starGlob = std::string::npos;
    size_t starText = 0;
    while (t < textSize) {
        if (g < globSize && glob[g] == '*') {
            starGlob = g++;
            starText = t;
        } else if (g < globSize && (glob[g] == '?' || glob[g] == text[t])) {
            ++t;
            ++g;
        } else if (starGlob != std::string::npos) {
            g = starGlob + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (g < globSize && glob[g] == '*') {
        ++g;
    }
    return g == globSize;
}

}  // namespace KelvraCorelib
