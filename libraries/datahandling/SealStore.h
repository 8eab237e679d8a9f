#pragma once
// The installation's seal key store: a master key's public part and key id, and for each
// epoch (a fixed span of time, numbered from 1900-01-01 on: epoch n holds n * span <= t <
// (n + 1) * span, in 1900epoch milliseconds) an Ed25519 key pair and its certificate, the
// master's signature over SealLine::certificateMessage.
//
// Folder layout (folder 0700, files 0600, owned by the running account):
//   store            "format", "key-id", "host" (not in format 1), "master-key", "epoch-span",
//                    "first-epoch", "epochs" lines; records past "epochs" do not count
//   verification.key the verification key line (SealLine::verificationKeyLine); may be 0644
//   epochs.public    one line of 173 bytes per epoch: number, start, end, public key, certificate
//   epochs.secret    32 bytes per epoch, the key's seed; zero bytes once erased
//   clock            the latest time a run or an erasure accepted (13 digits, a line feed)
//   lock             held by extend
//   chain/           the chain state per source (SealChain)
//
// Every folder on the way to the store must be one that only the superuser or the running
// account can change (AccessChecks.h). A new store is made in ".NAME.making" beside its place
// and renamed in when complete.
//
//   SealStore store;
//   if (!store.open(SealStore::directory(), problem)) ...
//   store.eraseEnded(time, SealStore::Clock::checked, problem);
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

    // Why the folders on the way to dir (dir included, as far as they exist) let another
    // account move or change the store; "" when they do not.
    static std::string wayProblem(const std::string& dir);

    // The most epochs a store holds.
    static constexpr uint64_t maxEpochs = 4194304;
    // How far past the latest time the store has seen a time may be before it is refused.
    static constexpr int64_t aheadLimit = 7 * 86400000LL;

    // Creates a new store (the folder must not exist; masterOut's folder must exist and its
    // name not); verificationLine receives the key's line. All or nothing.
    static bool create(const std::string& dir, const Settings& settings, std::string& verificationLine,
                       std::string& problem);

    // Opens an existing store, refusing one that others can read or change.
    bool open(const std::string& dir, std::string& problem);

    // Adds epochs up to until under the same key; masterFile holds the master secret. All or
    // nothing: the count in the store file changes last.
    bool extend(const std::string& masterFile, int64_t until, std::string& problem);

    // Erases (overwrites with zeros and syncs) the secret keys of every epoch that ended at
    // or before time.
    bool eraseBefore(int64_t time, std::string& problem);
    // eraseBefore(time) and time kept as the latest time seen. A time more than aheadLimit
    // past the latest time seen erases nothing and fails, unless the clock is accepted.
    enum class Clock { checked, accepted };
    bool eraseEnded(int64_t time, Clock clock, std::string& problem);
    // The latest time a run or an erasure accepted; 0 when none is recorded.
    int64_t latestTime() const;
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
    // The date of a time, as "2026-12-09T20:00:00Z".
    static std::string dateOf(int64_t time);

    static constexpr size_t publicRecordSize = 173;
    static constexpr size_t secretRecordSize = 32;

private:
    std::string describe() const;
    bool makeEpochs(const std::string& masterSeed, uint64_t from, uint64_t to, std::string& publicRecords,
                    std::string& secretRecords, std::string& problem) const;
    // Writes the records of the epochs from first + count to last in pieces at the ends of
    // the open files (the secrets first) and syncs them.
    bool writeEpochs(const std::string& masterSeed, uint64_t last, int secretHandle, int publicHandle,
                     std::string& problem) const;
    bool build(const std::string& masterSeed, uint64_t last, std::string& problem) const;
    bool extendLocked(const std::string& masterFile, int64_t until, std::string& problem);

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
