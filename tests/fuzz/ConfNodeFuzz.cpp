// libFuzzer entry for the serial form of configuration trees: the input is read into a node
// (an error is a normal outcome); a tree that reads is written, read back and written again,
// and both written forms agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "corelib/ConfNode.h"
#include "corelib/Exception.h"
#include "corelib/Logger.h"

using namespace KelvraCorelib;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Logger::maximumLevel = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    StringStream input;
    input.serial = FuzzSupport::text(data, size);
    ConfNodeHandle root = createRoot();
    try {
        root->readFrom(input);
    } catch (const Exception&) {
        return 0;
    }
    StringStream first;
    root->writeTo(first);
    ConfNodeHandle copy = createRoot();
    copy->readFrom(first);
    StringStream second;
    copy->writeTo(second);
    if (first.serial != second.serial)
        std::abort();  // the written form does not read back to the same tree
    createCopy(*root);
    return 0;
}
