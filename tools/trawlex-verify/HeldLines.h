#pragma once
// The lines of one file as its check reads them (the header lines, the data lines or both),
// held back until the verdict is known: in memory up to memoryBound bytes, beyond that in an
// unnamed temporary file, so that a file of any size can be handed out whole or not at all.
//
//   HeldLines held(false, true);      // the data lines
//   reading.lines = &held;            // DataLogReader::Reading
//   ... the check; when everything holds: held.writeTo(stdout, problem);

#include <cstdint>
#include <cstdio>
#include <string>

#include "corelib/platform/FileSystem.h"
#include "datahandling/DataLogReader.h"

class HeldLines : public KelvraCorelib::DataLogReader::LineSink {
public:
    static constexpr size_t memoryBound = size_t(16) << 20;

    HeldLines(bool header, bool data) : withHeader(header), withData(data) {}

    void put(Part part, const char* data, size_t size) override;
    void restart() override;

    // Why the lines could not be held ("" when they are).
    const std::string& problem() const { return failure; }

    // Writes every line held to out; false (with the reason) when the lines held in the
    // temporary file cannot be read back. A failed write shows in out's error state.
    bool writeTo(std::FILE* out, std::string& problem);

private:
    const bool withHeader;
    const bool withData;
    std::string memory;
    KelvraCorelib::Platform::ScopedFile spill;  // once the lines outgrow memoryBound
    std::string failure;
};
