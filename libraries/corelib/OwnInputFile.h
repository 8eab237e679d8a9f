#pragma once
// A file that a utility wrote for the running account to read, taken only when no other
// account can have put it in place or swap it: a regular file that the running account
// owns, opened without following a link at its name and without waiting on a FIFO, in
// folders that only the superuser or the running account can change (on the path as given
// and on its real path). The file read and removed is the file that was checked.
//
//   OwnInputFile input("out/report.txt");
//   if (!input.isOpen()) report(input.refusal());   // "" when it is missing or unreadable
//   input.readAll(bytes, limit, tooLarge);
//   input.remove();
//
// Never throws.

#include <cstdint>
#include <string>

#include "corelib/platform/AccessChecks.h"

namespace KelvraCorelib {

using FileReaders = Platform::FileReaders;

// Why an entry found by an access check is refused, naming it: "\"/srv/in\" is owned by
// another account". Empty for no fault, a missing entry and one that could not be examined.
std::string accessRefusal(const Platform::AccessFinding& finding);

class OwnInputFile {
public:
    explicit OwnInputFile(const std::string& path);
    ~OwnInputFile();
    OwnInputFile(const OwnInputFile&) = delete;
    OwnInputFile& operator=(const OwnInputFile&) = delete;

    bool isOpen() const { return file.handle.isOpen(); }
    // Why a file that is there was refused ("" when it opened, is missing or unreadable).
    const std::string& refusal() const { return refused; }
    // Who may read the file besides its owner.
    FileReaders readers() const { return file.readers; }

    // The whole content, bytes unchanged, of a file of at most maxBytes bytes: a longer one
    // is not read on (false, with tooLarge set and bytes untouched).
    bool readAll(std::string& bytes, uint64_t maxBytes, bool& tooLarge);
    // Removes the file, only while its name still names the file that was opened.
    bool remove();

private:
    Platform::OwnFile file;
    std::string refused;
};

}  // namespace KelvraCorelib
