#pragma once
// Small helpers shared by the libFuzzer targets: splitting an input into texts and a
// private temporary folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

namespace FuzzSupport {

// The input as one text.
inline std::string text(const uint8_t* data, size_t size)
{
    return std::string(reinterpret_cast<const char*>(data), size);
}

// The input cut at every NUL byte (so the pieces themselves hold none); at most limit pieces,
// the last one keeping the rest.
inline std::vector<std::string> split(const uint8_t* data, size_t size, size_t limit = SIZE_MAX)
{
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && pieces.size() < limit)
            pieces.emplace_back();
        else
            pieces.back() += static_cast<char>(data[i]);
    }
    return pieces;
}

// A folder of its own, removed at exit.
inline const std::string& folder()
{
    static const std::string* const path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/trawlex-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(folder(), ignored);
        });
        return new std::string(pattern);
    }();
    return *path;
}

}  // namespace FuzzSupport
