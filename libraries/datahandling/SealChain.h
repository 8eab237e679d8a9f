#pragma once
// The chain state of one source in the seal store: the last sequence number taken and the
// SHA-256 (lower-case hexadecimal) of the last sealed file, "none" at the start.
//
// begin locks the source (an advisory lock on chain/<source>.lock that waits for another run)
// and reads the state; the lock is held until the object is destroyed. complete records the
// new number and the new file's hash, replacing chain/<source>.state atomically.
//
//   SealChain chain;
//   chain.begin(store.chainFolder(), "app.mod.type", problem);
//   header: seal.sequence = chain.sequence(), seal.previous = chain.previous()
//   chain.complete(hash, problem);   // just before the seal line is written
//   chain.giveBack(problem);         // the file was not completed after all

#include <cstdint>
#include <map>
#include <string>

#include "corelib/platform/FileSystem.h"

namespace KelvraCorelib {

class SealChain {
public:
    SealChain() = default;
    SealChain(const SealChain&) = delete;
    SealChain& operator=(const SealChain&) = delete;

    bool begin(const std::string& chainFolder, const std::string& source, std::string& problem);
    uint64_t sequence() const { return next; }
    const std::string& previous() const { return head; }
    bool complete(const std::string& fileHash, std::string& problem);
    // Takes back the number of complete (its file is not kept): the state is as before.
    bool giveBack(std::string& problem);

    // The last sequence number of every source of the folder.
    static std::map<std::string, uint64_t> lastSequences(const std::string& chainFolder);

    // The file name stem of a source: bytes other than letters, digits, ".", "-" and "_" as %XX.
    static std::string fileStem(const std::string& source);

private:
    static bool readState(const std::string& path, uint64_t& sequence, std::string& hash);

    Platform::ScopedFile lock;  // closing it releases the lock
    std::string statePath;
    uint64_t next = 0;
    std::string head = "none";
    std::string before;  // the head that complete replaced
};

}  // namespace KelvraCorelib
