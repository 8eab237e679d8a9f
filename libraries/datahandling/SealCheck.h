#pragma once
// Checks the seal of a data log file against verification keys: the seal line is the file's
// last line and well-formed, its key id is known and matches the header's "seal.key-id", the
// key is of the seal's format and (from format 2 on) of the file's own "source.host", the
// epoch key carries a valid certificate of that master key for that host (each certificate is
// checked once per object), the epoch's range holds the file's "source.time", and the epoch
// key's signature covers the SHA-512 of every byte before the seal line.
//
//   SealCheck check;
//   check.addKeys("keys/", problem);
//   DataLogReader::Reading reading;   // header and sealDigests asked for
//   DataLogReader::checkOpenFile(handle, reason, reading);
//   SealCheck::Result result = check.check(reading, header);
//   if (!result.valid) ... result.reason

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "datahandling/DataLogReader.h"
#include "datahandling/SealLine.h"

namespace KelvraCorelib {

class SealCheck {
public:
    struct Result {
        bool valid = false;
        std::string reason;
        std::string host;
        std::string source;
        std::string keyId;
        std::string keyHost;  // the host the sealing key is bound to; empty in format 1
        unsigned format = 0;
        std::string note;     // for a valid seal: what it does not prove
        uint64_t sequence = 0;
        std::string previous;
        std::string hash;  // SHA-256 of the whole file, lower-case hexadecimal
    };

    // A verification key file, or every regular file in a folder (files that hold no key
    // line are skipped in a folder, refused when named). Two different keys with one key id
    // are refused.
    bool addKeys(const std::string& path, std::string& problem);
    size_t keyCount() const { return keys.size(); }

    // The seal as one read of the file found it (DataLogReader::Reading, with sealDigests),
    // against the meta keys of that read: what is checked is what was read, nothing is read.
    Result check(const DataLogReader::Reading& reading, const std::map<std::string, std::string>& header);
    // The file by name (opened without waiting; only a regular file is read), or an open
    // file, read once more from its start for the seal: a header read before may be of
    // another content.
    Result check(const std::string& path, const std::map<std::string, std::string>& header);
    Result check(int handle, const std::map<std::string, std::string>& header);

    // The chain key of a header's source keys (DataLogName::sourceKeyOf).
    static std::string sourceOf(const std::map<std::string, std::string>& header);

private:
    bool certificateHolds(const SealLine& seal, const SealLine::VerificationKey& key);

    struct KnownKey {
        SealLine::VerificationKey key;
        std::string file;
    };
    std::map<std::string, KnownKey> keys;  // by key id
    std::map<std::string, bool> certificates;  // checked certificate texts
};

}  // namespace KelvraCorelib
