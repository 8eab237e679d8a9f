// Test helper: pattern_output SIZE SEED writes TestPattern::patternText(SIZE, SEED) to its
// standard output in writes of varying size, then exits with 0.
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "PatternText.h"

int main(int argc, char** argv)
{
    const uint64_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 0;
    const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 0;
    const std::string text = TestPattern::patternText(size, seed);
    const size_t pieces[] = {1, 4096, 65536, 13, 1 << 20, 777};
    size_t done = 0;
    for (size_t round = 0; done < text.size(); ++round) {
        size_t n = pieces[round % (sizeof pieces / sizeof pieces[0])];
        if (n > text.size() - done) {
            n = text.size() - done;
        }
        const ssize_t count = write(STDOUT_FILENO, text.data() + done, n);
        if (count <= 0) {
            return 1;
        }
        done += static_cast<size_t>(count);
    }
    return 0;
}
