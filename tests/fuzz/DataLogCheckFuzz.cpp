// libFuzzer entry for the data log check that trawlex-verify runs: the input is written to a
// file and checked, with and without its header collected (the same verdict both ways).
// Valid, invalid and unreadable are all normal outcomes; an input that
// changes after a verified signature line, or in any line but a signature line, must not
// verify.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "corelib/Logger.h"
#include "datahandling/DataLog.h"

using namespace KelvraCorelib;

namespace {

DataLog::Check check(const std::string& path, const uint8_t* data, size_t size)
{
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        std::abort();
    if (size != 0 && std::fwrite(data, 1, size, out) != size)
        std::abort();
    std::fclose(out);
    std::string reason;
    const DataLog::Check plain = DataLog::checkFileSignature(path, reason);
    // Collecting the header, as trawlex-verify does, never changes the verdict.
    std::map<std::string, std::string> header;
    bool cut = false;
    if (DataLog::checkFileSignature(path, reason, &header, false, &cut) != plain)
        std::abort();
    return plain;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Logger::maximumLevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string path = FuzzSupport::folder() + "/input.data";
    const DataLog::Check first = check(path, data, size);
    if (first == DataLog::Check::valid && size > 0) {
        // One more data line after the signature must break it.
        std::string changed = FuzzSupport::text(data, size);
        if (changed.back() != '\n')
            changed += '\n';
        changed += "extra line\n";
        if (check(path, reinterpret_cast<const uint8_t*>(changed.data()), changed.size()) == DataLog::Check::valid)
            std::abort();

        // One changed byte at a position the input picks, outside the signature lines.
        changed = FuzzSupport::text(data, size);
        size_t position = 0;
        for (size_t i = 0; i < size; ++i)
            position = position * 31 + data[i];
        position %= size;
        const size_t lineStart = changed.rfind('\n', position == 0 ? 0 : position - 1);
        const size_t from = lineStart == std::string::npos || position == 0 ? 0 : lineStart + 1;
        if (changed.compare(from, 11, "@SIGNATURE:") != 0) {
            changed[position] = static_cast<char>(changed[position] ^ 1);
            if (check(path, reinterpret_cast<const uint8_t*>(changed.data()), changed.size()) == DataLog::Check::valid)
                std::abort();
        }
    }
    std::remove(path.c_str());
    return 0;
}
