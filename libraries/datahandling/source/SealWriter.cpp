#include "datahandling/SealWriter.h"

#include <algorithm>
#include <optional>

#include "corelib/Codecs.h"
#include "corelib/DateTime.h"
#include "corelib/platform/FileSystem.h"
#include "datahandling/SealLine.h"

namespace KelvraCorelib {

namespace {

void wipe(std::string& secret)
{
    volatile char* bytes = secret.data();
    for (size_t i = 0; i < secret.size(); ++i) {
        bytes[i] = 0;
    }
    secret.clear();
}

// The public key of the epoch's seed, when it is the key the store publishes for the epoch;
// else nothing, and problem says why. A pair that does not match would sign files that never
// verify.
std::optional<std::string> publishedKeyOf(const SealStore::Epoch& epoch, std::string& problem)
{
    std::string derived(Platform::ed25519PublicKeySize, '\0');
    if (epoch.seed.size() != Platform::ed25519SeedSize ||
        !Platform::ed25519PublicKey(reinterpret_cast<const uint8_t*>(epoch.seed.data()),
                                    reinterpret_cast<uint8_t*>(derived.data()))) {
        problem = "the key of epoch " + std::to_string(epoch.number) + " cannot be used";
        return std::nullopt;
    }
    if (derived != epoch.publicKey) {
        problem = "the secret key of epoch " + std::to_string(epoch.number) + " in the seal store \"" +
                  SealStore::directory() + "\" does not match its published key";
        return std::nullopt;
    }
    return derived;
}

// Whether the store may seal the files of this host: a store of the host format seals only the
// files of the host it is bound to.
bool hostMatches(const SealStore& store, const std::string& host, std::string& problem)
{
    if (store.format() == SealLine::firstFormat || store.host() == host) {
        return true;
    }
    problem = "the seal store \"" + store.folder() + "\" belongs to the host \"" + store.host() +
              "\", not to this collection's source.host \"" + host + "\"";
    return false;
}

}  // namespace

SealWriter::SealWriter() = default;

SealWriter::~SealWriter()
{
    wipe(checked.seed);
    if (owner != nullptr) {
        owner->setSealer(nullptr);
    }
}

void SealWriter::fail(const std::string& text)
{
    if (why.empty()) {
        why = text;
    }
}

bool SealWriter::begin(DataLog& log)
{
    const std::string dir = SealStore::directory();
    if (!Platform::pathExists(dir)) {
        // Missing only when no other account could have moved it away.
        const std::string way = SealStore::wayProblem(dir);
        if (way.empty()) {
            return true;
        }
        fail("Cannot seal: " + way);
        return false;
    }
    sealed = std::make_unique<Platform::HashDigest>(Platform::HashDigest::Kind::sha512);
    whole = std::make_unique<Platform::HashDigest>(Platform::HashDigest::Kind::sha256);
    std::string problem;
    const int64_t time = log.getSourceTime().count;
    // The keys of ended epochs go first, by the later of the clock and the source's time,
    // whatever else fails (a clock far ahead of what the store has seen erases nothing). A
    // store without a key for this time fails before the header names a seal; the epoch
    // itself is taken for the file's final time (lastLine).
    SealStore::Epoch now;
    const int64_t erasedBy = std::max(DateTime::now().count, time);
    const bool keyReady = store.open(dir, problem) &&
                          store.eraseEnded(erasedBy, SealStore::Clock::checked, problem) &&
                          hostMatches(store, log.getSourceMeta("host"), problem) &&
                          store.epochAt(time, now, problem) && publishedKeyOf(now, problem);
    if (keyReady) {
        checked = now;
    }
    wipe(now.seed);
    const bool ready = keyReady && chain.begin(store.chainFolder(), log.sourceKey(), problem);
    if (!ready || !sealed->usable() || !whole->usable()) {
        fail("Cannot seal: " + (problem.empty() ? std::string("the crypto library cannot be used") : problem));
        return false;
    }
    log.setMeta("seal", "key-id", store.keyId());
    log.setMeta("seal", "sequence", std::to_string(chain.sequence()));
    log.setMeta("seal", "previous", chain.previous());
    log.setSealer(this);
    owner = &log;
    sealing = true;
    return true;
}

void SealWriter::startFile()
{
    if (!sealing || lineGiven) {
        return;
    }
    sealed = std::make_unique<Platform::HashDigest>(Platform::HashDigest::Kind::sha512);
    whole = std::make_unique<Platform::HashDigest>(Platform::HashDigest::Kind::sha256);
    if (!sealed->usable() || !whole->usable()) {
        sealing = false;
        fail("Cannot seal: the crypto library cannot be used");
    }
}

void SealWriter::add(const char* data, size_t size)
{
    if (!sealing) {
        return;
    }
    // A large text gets its two digests on two threads.
    if (size >= DataLog::parallelDigestSize) {
        DataLog::runBeside([&] { whole->update(data, size); }, [&] { sealed->update(data, size); });
    } else {
        sealed->update(data, size);
        whole->update(data, size);
    }
}

std::optional<std::string> SealWriter::lastLine(const DataLog& log)
{
    if (owner == nullptr || lineGiven) {
        return std::string();
    }
    lineGiven = true;
    if (!sealing) {
        return std::nullopt;
    }
    // The epoch of the file's final "source.time", the time that named it.
    SealStore::Epoch epoch;
    std::string problem;
    if (!store.epochAt(log.getSourceTime().count, epoch, problem)) {
        wipe(epoch.seed);
        sealing = false;
        fail("Cannot seal: " + problem);
        return std::nullopt;
    }
    const bool alreadyChecked = epoch.number == checked.number && !epoch.seed.empty() &&
                                epoch.seed == checked.seed && epoch.publicKey == checked.publicKey;
    const std::optional<std::string> publicKey =
        alreadyChecked ? std::optional<std::string>(checked.publicKey) : publishedKeyOf(epoch, problem);
    wipe(checked.seed);
    if (!publicKey) {
        wipe(epoch.seed);
        sealing = false;
        fail("Cannot seal: " + problem);
        return std::nullopt;
    }
    SealLine seal;
    seal.format = store.format();
    seal.keyId = store.keyId();
    seal.epoch = epoch.number;
    seal.start = epoch.start;
    seal.end = epoch.end;
    seal.epochKey = epoch.publicKey;
    seal.certificate = epoch.certificate;
    seal.signature.assign(Platform::ed25519SignatureSize, '\0');
    const std::string message = SealLine::fileMessage(seal.format, sealed->finish());
    const bool signedOk =
        Platform::ed25519Sign(reinterpret_cast<const uint8_t*>(epoch.seed.data()),
                              reinterpret_cast<const uint8_t*>(publicKey->data()),
                              reinterpret_cast<const uint8_t*>(message.data()), message.size(),
                              reinterpret_cast<uint8_t*>(seal.signature.data()));
    wipe(epoch.seed);
    if (!signedOk) {
        sealing = false;
        fail("Cannot seal: the epoch key cannot sign");
        return std::nullopt;
    }
    // The chain moves on before the seal line is written: a run that dies in between leaves
    // its working file with the number (unsealed, or sealed and finalised by a later run),
    // and a run that dies earlier leaves no sealed file, so its number is taken again. A run
    // that fails to complete the file gives the number back (fileDropped).
    const std::string line = seal.text();
    whole->update(line.data(), line.size());
    whole->update("\n", 1);
    if (!chain.complete(toHex(whole->finish()), problem)) {
        sealing = false;
        fail("Cannot seal: " + problem);
        return std::nullopt;
    }
    chainMoved = true;
    return line;
}

bool SealWriter::fileDropped()
{
    if (!chainMoved) {
        return true;
    }
    // The failure that dropped the file is the one reported.
    std::string ignored;
    if (!chain.giveBack(ignored)) {
        return false;
    }
    chainMoved = false;
    return true;
}

}  // namespace KelvraCorelib
