#pragma once
// Seals the data logs of a run while the installation has a seal store (SealStore::directory):
// the header gets "seal.key-id", "seal.sequence" and "seal.previous", and after the signature
// line comes the seal line (SealLine.h), the epoch key's signature over the SHA-512 of every
// byte before it. A run that cannot seal still writes its file, unsealed; problem() says why.
//
// The chain of the source stays locked from taking the number until this object is destroyed;
// its state records the new file just before the seal line is written, and takes it back when
// the file is not completed after all. A file that names a seal it cannot get is not kept.
//
//   SealWriter seal;
//   seal.begin(log);        // store, erasing of ended epochs, chain lock and number, header keys
//   openWriteFile, write, closeFile ...   // the seal line is added after the signature line
//   if (!seal.problem().empty()) ...

#include <memory>
#include <optional>
#include <string>

#include "corelib/platform/SealCrypto.h"
#include "datahandling/DataLog.h"
#include "datahandling/SealChain.h"
#include "datahandling/SealStore.h"

namespace KelvraCorelib {

class SealWriter : public DataLog::Sealer {
public:
    SealWriter();
    ~SealWriter() override;

    // Looks for the store; without one nothing is sealed and true is given. False (and
    // problem set) when a store exists but this run cannot seal with it.
    bool begin(DataLog& log);
    bool active() const { return sealing; }
    const std::string& problem() const { return why; }
    // While active: the sequence number the file gets, and the end of the store's last epoch
    // (1900epoch milliseconds; no key seals a later file).
    uint64_t sequence() const { return chain.sequence(); }
    int64_t keysUntil() const { return int64_t(store.firstEpoch() + store.epochCount()) * store.span(); }

    void startFile() override;
    void add(const char* data, size_t size) override;
    std::optional<std::string> lastLine(const DataLog& log) override;
    bool fileDropped() override;

private:
    void fail(const std::string& text);

    SealStore store;
    SealChain chain;
    DataLog* owner = nullptr;
    // Made once a store is found: a run without one never starts the crypto library.
    std::unique_ptr<Platform::HashDigest> sealed;
    std::unique_ptr<Platform::HashDigest> whole;
    bool sealing = false;
    bool lineGiven = false;
    bool chainMoved = false;  // the chain holds the number of the line given
    // The epoch key pair that begin found to match the published key; the line of the same
    // epoch (nearly always) takes it without deriving the public key a second time.
    SealStore::Epoch checked;
    std::string why;
};

}  // namespace KelvraCorelib
