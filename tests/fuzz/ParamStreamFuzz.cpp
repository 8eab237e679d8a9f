// libFuzzer entry for the serial form of parameter streams: the input is a StringStream's
// serial bytes. Every item read is printed, copied into a ParamStream that formats a template,
// and written again; the rewritten form reads back to the same items.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "corelib/ParamStream.h"

using namespace KelvraCorelib;

namespace {

void readAll(const std::string& serial, int depth)
{
    StringStream input;
    input.serial = serial;
    ParamStream params;
    StringStream rewritten;
    std::vector<Primitive> items;
    Primitive item;
    while (input.getPrimitive(item)) {
        item.toText();
        item.toWideText();
        params.putPrimitive(item);
        if (rewritten.putPrimitive(item))
            items.push_back(item);
        if (item.type == Stream && depth < 4)
            readAll(item.text, depth + 1);
    }
    params.format(std::string("% (%) %%"));
    params.format(serial);
    params.format(u"% and %");

    Primitive back;
    for (const Primitive& expected : items) {
        if (!rewritten.getPrimitive(back) || back.type != expected.type || back.text != expected.text)
            std::abort();  // the written form does not read back
    }
    if (rewritten.getPrimitive(back))
        std::abort();

    // The typed readers on the same bytes, each taking the next item whatever its tag.
    StringStream typed;
    typed.serial = serial;
    for (int round = 0; round < 64 && typed.readPosition < typed.serial.size(); ++round) {
        const size_t before = typed.readPosition;
        std::string narrow;
        WideString wide;
        SharedText shared;
        double real = 0;
        int64_t signed64 = 0;
        uint64_t unsigned64 = 0;
        int32_t signed32 = 0;
        uint32_t unsigned32 = 0;
        char16_t wideChar = 0;
        char narrowChar = 0;
        bool flag = false;
        StringStream nested;
        switch (round % 13) {
        case 0: typed.readString(narrow); break;
        case 1: typed.readWideString(wide); break;
        case 2: typed.readSharedText(shared); shared.narrowText(); break;
        case 3: typed.readDouble(real); break;
        case 4: typed.readInt64(signed64); break;
        case 5: typed.readUInt64(unsigned64); break;
        case 6: typed.readInt32(signed32); break;
        case 7: typed.readUInt32(unsigned32); break;
        case 8: typed.readWideChar(wideChar); break;
        case 9: typed.readChar(narrowChar); break;
        case 10: typed.readBool(flag); break;
        case 11: typed.readTime(signed64); break;
        default: typed.readStream(nested); break;
        }
        if (typed.readPosition == before)
            break;  // an item the stream cannot read
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    readAll(FuzzSupport::text(data, size), 0);
    return 0;
}
