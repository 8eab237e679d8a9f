// Test helper: writes argv[1] bytes, byte i being (i % 251), in writes of varying size, with a
// pause of argv[2] microseconds (none by default) after each write.
#include <cstdlib>
#include <vector>

#include <unistd.h>

int main(int argc, char** argv)
{
    const unsigned long long total = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 0;
    const unsigned long pause = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 0;
    const size_t sizes[] = {1, 7, 4096, 65537, 3, 200000, 512};
    std::vector<char> buffer(200000);
    unsigned long long written = 0;
    size_t round = 0;
    while (written < total) {
        size_t size = sizes[round++ % (sizeof sizes / sizeof sizes[0])];
        if (size > total - written) {
            size = static_cast<size_t>(total - written);
        }
        for (size_t i = 0; i < size; ++i) {
            buffer[i] = static_cast<char>((written + i) % 251);
        }
        size_t done = 0;
        while (done < size) {
            const ssize_t count = write(STDOUT_FILENO, buffer.data() + done, size - done);
            if (count <= 0) {
                return 1;
            }
            done += static_cast<size_t>(count);
        }
        written += size;
        if (pause != 0) {
            usleep(static_cast<useconds_t>(pause));
        }
    }
    return 0;
}
