#pragma once
// Whole-text glob matching: "*" matches any run of characters, "?" exactly one, every other
// byte only itself (case matters; no escape character, no character classes).

#include <string>

namespace KelvraCorelib {

// True when glob matches all of text. The empty text is matched only by "" and "*"; a
// non-empty text never by "". Runs in O(text length x glob length) at worst.
bool matchGlob(const std::string& text, const std::string& glob);

}  // namespace KelvraCorelib
