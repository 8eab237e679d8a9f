#pragma once
// The verifier's witness: per host, source and key id the highest sequence number seen and
// the SHA-256 of that file, kept in a file that is replaced atomically. A later check that
// shows a lower head, another file for the recorded number, or a file after the recorded
// head that does not extend it is a finding. Files older than the head that are gone are not.
//
// File: "trawlex-seal-witness-1", then one line per chain: host, source, key id, sequence
// and hash, separated by tabs.
//
// load takes an advisory lock on "<path>.lock" (waiting for another verifier) and holds it until
// the object is destroyed, so that two checks never lose each other's heads.
//
//   SealWitness witness;
//   witness.load("state", problem);      // a missing file is an empty witness
//   findings = witness.compare(chains);  // and takes the new heads
//   witness.save("state", problem);

#include <map>
#include <string>
#include <vector>

#include "corelib/platform/FileSystem.h"
#include "datahandling/SealChainCheck.h"

namespace KelvraCorelib {

class SealWitness {
public:
    struct Head {
        uint64_t sequence = 0;
        std::string hash;
    };

    bool load(const std::string& path, std::string& problem);
    std::vector<SealChainCheck::Finding> compare(const SealChainCheck& chains);
    bool save(const std::string& path, std::string& problem) const;

    const std::map<SealChainCheck::ChainId, Head>& recorded() const { return heads; }

private:
    std::map<SealChainCheck::ChainId, Head> heads;
    Platform::ScopedFile lock;  // closing it releases the lock
};

}  // namespace KelvraCorelib
