// libFuzzer entry for the configuration file loader: each input is written to a temporary
// file, once plain and once gzip-compressed, and loaded. A load error is a normal outcome;
// a crash, a sanitizer report, a leak or a hang is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <zlib.h>

#include "corelib/ConfOldFile.h"
#include "corelib/Exception.h"
#include "corelib/Logger.h"

using namespace KelvraCorelib;

namespace {

// A folder of its own, removed at exit; the text lives on until then.
const std::string& folder()
{
    static const std::string* const path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/trawlex-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        return new std::string(pattern);
    }();
    return *path;
}

void loadOnce(const std::string& path)
{
    ConfOldFile loader;
    try {
        loader.loadIntoMemory(path);
    } catch (const Exception&) {
        // A load error: the expected end of a broken file.
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // No agent writes log records out; producing them would only slow the runs.
    Logger::maximumLevel = 0;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(folder(), ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string plain = folder() + "/input.conf";
    std::FILE* out = std::fopen(plain.c_str(), "wb");
    if (out == nullptr)
        std::abort();
    if (size != 0 && std::fwrite(data, 1, size, out) != size)
        std::abort();
    std::fclose(out);
    loadOnce(plain);

    const std::string compressed = folder() + "/input.conf.gz";
    gzFile gz = gzopen(compressed.c_str(), "wb");
    if (gz == nullptr)
        std::abort();
    if (size != 0 && gzwrite(gz, data, static_cast<unsigned>(size)) != static_cast<int>(size))
        std::abort();
    gzclose(gz);
    loadOnce(compressed);

    // The raw bytes under a compressed name: mostly a corrupt or not compressed stream.
    const std::string corrupt = folder() + "/raw.conf.gz";
    std::rename(plain.c_str(), corrupt.c_str());
    loadOnce(corrupt);
    std::remove(corrupt.c_str());
    std::remove(compressed.c_str());
    return 0;
}
