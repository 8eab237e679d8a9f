#pragma once
// The checkable output of the pattern_output helper: exactly size bytes, a first line naming
// the size and the seed, then lines of letters that depend on the seed and the position.
#include <cstdint>
#include <string>

namespace TestPattern {

inline std::string patternText(uint64_t size, uint64_t seed)
{
    std::string text = "pattern size=" + std::to_string(size) + " seed=" + std::to_string(seed) + "\n";
    text.reserve(size > text.size() ? size : text.size());
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    while (text.size() < size) {
        // splitmix64: eight letters from each step, a line feed every 64 bytes
        state += 0x9E3779B97F4A7C15ull;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (int i = 0; i < 8 && text.size() < size; ++i, z >>= 8) {
            text += text.size() % 64 == 63 ? '\n' : char('a' + (z & 0xFF) % 26);
        }
    }
    text.resize(size);
    return text;
}

}  // namespace TestPattern
