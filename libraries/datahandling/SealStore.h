#pragma once
// The installation's seal key store: a master key's public part and key id, and for each
// epoch (a fixed span of time, numbered from 1900-01-01 on: epoch n holds n * span <= t <
// (n + 1) * span, in 1900epoch milliseconds) an Ed25519 key pair and its certificate, the
// master's signature over SealLine::certificateMessage.
//
// Folder layout (folder 0700, files 0600, owned by the running account):
//   store            "format", "key-id", "host" (not in format 1), "master-key", "epoch-span",
//                    "first-epoch", "epochs" lines
//   verification.key the verification key line (SealLine::verificationKeyLine)
//   epochs.public    one line of 173 bytes per epoch: number, start, end, public key, certificate
//   epochs.secret    32 bytes per epoch, the key's seed; zero bytes once erased
//   chain/           the chain state per source (SealChain)
//
//   SealStore store;
//   if (!store.open(SealStore::directory(), problem)) ...
//   store.eraseBefore(time, problem);
//   SealStore::Epoch epoch;
//   store.epochAt(time, epoch, problem);

#include <cstdint>
#include <map>
#include <string>

namespace KelvraCorelib {

class SealStore {
public:
    struct Epoch {
        uint64_t number = 0;
        int64_t start = 0;
        int64_t end = 0;
        std::string publicKey;    // 32 bytes
        std::string certificate;  // 64 bytes
        std::string seed;         // 32 bytes; empty once erased
    };

    struct Settings {
        int64_t span = 3600000;  // epoch length in milliseconds
        int64_t now = 0;         // the first epoch holds this time
        int64_t until = 0;       // the last epoch holds the time before this
        std::string host;        // the host whose files the keys seal (its "source.host"); "" this host
        std::string masterOut;   // where the master secret goes; "" erases it
    };

    // TRAWLEX_SEAL_DIR when set, else the platform's default place.
    static std::string directory();

    // Creates a new store (the folder must not exist); verificationLine receives the key's line.
    static bool create(const std::string& dir, const Settings& settings, std::string& verificationLine,
                       std::string& problem);

    // Opens an existing store, refusing one that others can read or change.
    bool open(const std::string& dir, std::string& problem);

    // Adds epochs up to until under the same key; masterFile holds the master secret.
    bool extend(const std::string& masterFile, int64_t until, std::string& problem);

    // Erases (overwrites with zeros and syncs) the secret keys of every epoch that ended at
    // or before time.
    bool eraseBefore(int64_t time, std::string& problem);
    // The epoch that holds time, with its secret key when it is still there.
    bool epochAt(int64_t time, Epoch& epoch, std::string& problem) const;
    // Whether epochByIndex also reads the secret key.
    enum class WithSecret { no, yes };
    bool epochByIndex(uint64_t index, Epoch& epoch, WithSecret withSecret, std::string& problem) const;

    const std::string& folder() const { return dir; }
    const std::string& keyId() const { return id; }
    unsigned format() const { return storeFormat; }
    // The host the keys are bound to; empty in format 1.
    const std::string& host() const { return boundHost; }
    const std::string& masterKey() const { return master; }
    int64_t span() const { return epochSpan; }
    uint64_t firstEpoch() const { return first; }
    uint64_t epochCount() const { return count; }
    std::string chainFolder() const;

    static constexpr size_t publicRecordSize = 173;
    static constexpr size_t secretRecordSize = 32;

private:
    std::string describe() const;
    bool makeEpochs(const std::string& masterSeed, uint64_t from, uint64_t to, std::string& publicRecords,
                    std::string& secretRecords, std::string& problem) const;

    std::string dir;
    unsigned storeFormat = 0;
    std::string id;
    std::string boundHost;
    std::string master;
    int64_t epochSpan = 0;
    uint64_t first = 0;
    uint64_t count = 0;
};

}  // namespace KelvraCorelib
