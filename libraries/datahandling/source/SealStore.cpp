#include "corelib/Codecs.h"
#include "datahandling/SealStore.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>

#include "corelib/FileTools.h"
#include "corelib/PathTools.h"
#include "corelib/SystemValues.h"
#include "corelib/platform/Environment.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/PrivateFiles.h"
#include "corelib/platform/SealCrypto.h"
#include "datahandling/SealLine.h"

namespace KelvraCorelib {

namespace {

const char* const storeName = "store";
const char* const publicName = "epochs.public";
const char* const secretName = "epochs.secret";
const char* const verificationName = "verification.key";
const char* const chainName = "chain";

// Overwrites a secret's bytes before its memory is given back.
void wipe(std::string& secret)
{
    volatile char* bytes = secret.data();
    for (size_t i = 0; i < secret.size(); ++i) {
        bytes[i] = 0;
    }
    secret.clear();
}

bool allZero(const char* bytes, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

std::string publicRecord(uint64_t number, int64_t start, int64_t end, const std::string& key,
                         const std::string& certificate)
{
    char head[64];
    std::snprintf(head, sizeof head, "%010" PRIu64 " %013" PRId64 " %013" PRId64 " ", number, start, end);
    return head + toBase64(key) + " " + toBase64(certificate) + "\n";
}

// A number of the store's files, written zero-padded.
bool parseNumber(const std::string& text, uint64_t& value)
{
    return parseDecimal(text, value, DecimalForm::zeroPadded);
}

// Writes a new private file (it must not exist) and syncs it.
bool writeNewPrivate(const std::string& path, const std::string& bytes, std::string& problem)
{
    Platform::ScopedFile handle;
    int error = Platform::createPrivateFile(path, handle.value);
    if (error == 0) {
        error = writeSynced(handle.get(), bytes);
    }
    if (error != 0) {
        problem = "cannot write \"" + path + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    return true;
}

std::string masterTag(unsigned format)
{
    return SealLine::formatName(format) + "-master";
}

std::string masterFileText(unsigned format, const std::string& keyId, const std::string& seed)
{
    return masterTag(format) + " " + keyId + " " + toBase64(seed) + "\n";
}

}  // namespace

std::string SealStore::directory()
{
    std::string value;
    if (Platform::environmentVariable("TRAWLEX_SEAL_DIR", value) && !value.empty()) {
        return value;
    }
    return Platform::defaultSealDirectory();
}

std::string SealStore::chainFolder() const
{
    return joinPath(dir, chainName);
}

std::string SealStore::describe() const
{
    const std::string hostLine = storeFormat == SealLine::firstFormat ? std::string() : "host " + boundHost + "\n";
    return "format " + SealLine::formatName(storeFormat) + "\nkey-id " + id + "\n" + hostLine + "master-key " +
           toBase64(master) + "\nepoch-span " + std::to_string(epochSpan) + "\nfirst-epoch " +
           std::to_string(first) + "\nepochs " + std::to_string(count) + "\n";
}

bool SealStore::makeEpochs(const std::string& masterSeed, uint64_t from, uint64_t to, std::string& publicRecords,
                           std::string& secretRecords, std::string& problem) const
{
    const int64_t span = epochSpan;
    const auto* masterBytes = reinterpret_cast<const uint8_t*>(masterSeed.data());
    const auto* masterPublicBytes = reinterpret_cast<const uint8_t*>(master.data());
    publicRecords.reserve(size_t(to - from) * publicRecordSize);
    secretRecords.reserve(size_t(to - from) * secretRecordSize);
    std::string seed(Platform::ed25519SeedSize, '\0');
    std::string key(Platform::ed25519PublicKeySize, '\0');
    std::string certificate(Platform::ed25519SignatureSize, '\0');
    for (uint64_t number = from; number < to; ++number) {
        auto* seedBytes = reinterpret_cast<uint8_t*>(seed.data());
        const int64_t start = int64_t(number) * span;
        const int64_t end = start + span;
        if (!Platform::randomBytes(seedBytes, seed.size()) || allZero(seed.data(), seed.size()) ||
            !Platform::ed25519PublicKey(seedBytes, reinterpret_cast<uint8_t*>(key.data()))) {
            problem = "cannot make the key of epoch " + std::to_string(number);
            wipe(seed);
            return false;
        }
        const std::string message =
            SealLine::certificateMessage(storeFormat, id, boundHost, number, start, end, key);
        if (!Platform::ed25519Sign(masterBytes, masterPublicBytes, reinterpret_cast<const uint8_t*>(message.data()),
                                   message.size(), reinterpret_cast<uint8_t*>(certificate.data()))) {
            problem = "cannot certify the key of epoch " + std::to_string(number);
            wipe(seed);
            return false;
        }
        publicRecords += publicRecord(number, start, end, key, certificate);
        secretRecords += seed;
    }
    wipe(seed);
    return true;
}

bool SealStore::create(const std::string& dir, const Settings& settings, std::string& verificationLine,
                       std::string& problem)
{
    if (settings.span <= 0 || settings.until <= settings.now) {
        problem = "the epoch span must be positive and the end after the start";
        return false;
    }
    const std::string host = settings.host.empty() ? systemValue(SystemValueId::hostName) : settings.host;
    if (!SealLine::isHostName(host)) {
        problem = "\"" + host + "\" is not a host name a store can be bound to (1 to 255 printable "
                  "characters, no blank)";
        return false;
    }
    if (Platform::pathExists(dir)) {
        problem = "\"" + dir + "\" exists; an existing store is never touched";
        return false;
    }
    const std::string parent = parentDirectory(dir);
    if (!parent.empty() && !isDirectory(parent) && !createDirectory(addTrailingSeparator(parent))) {
        problem = "cannot create the folder \"" + parent + "\"";
        return false;
    }
    int error = Platform::makePrivateDirectory(dir);
    if (error == 0) {
        error = Platform::makePrivateDirectory(joinPath(dir, chainName));
    }
    if (error != 0) {
        problem = "cannot create the store \"" + dir + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    std::string masterSeed(Platform::ed25519SeedSize, '\0');
    std::string masterPublic(Platform::ed25519PublicKeySize, '\0');
    if (!Platform::randomBytes(reinterpret_cast<uint8_t*>(masterSeed.data()), masterSeed.size()) ||
        !Platform::ed25519PublicKey(reinterpret_cast<const uint8_t*>(masterSeed.data()),
                                    reinterpret_cast<uint8_t*>(masterPublic.data()))) {
        problem = "cannot make the master key";
        wipe(masterSeed);
        return false;
    }
    SealStore store;
    store.dir = dir;
    store.storeFormat = SealLine::currentFormat;
    store.id = SealLine::keyIdOf(masterPublic);
    store.boundHost = host;
    store.master = masterPublic;
    store.epochSpan = settings.span;
    if (!settings.masterOut.empty()) {
        std::string text = masterFileText(store.storeFormat, store.id, masterSeed);
        const bool written = writeNewPrivate(settings.masterOut, text, problem);
        wipe(text);
        if (!written) {
            wipe(masterSeed);
            return false;
        }
    }
    store.first = uint64_t(settings.now / settings.span);
    const uint64_t last = uint64_t((settings.until - 1) / settings.span);
    store.count = last + 1 - store.first;
    std::string publicRecords;
    std::string secretRecords;
    const bool made = store.makeEpochs(masterSeed, store.first, last + 1, publicRecords, secretRecords, problem);
    wipe(masterSeed);  // from here on the master secret exists only in masterOut, if at all
    if (!made) {
        return false;
    }
    verificationLine = SealLine::verificationKeyLine(masterPublic, host);
    const bool written =
        writeNewPrivate(joinPath(dir, secretName), secretRecords, problem) &&
        writeNewPrivate(joinPath(dir, publicName), publicRecords, problem) &&
        writeNewPrivate(joinPath(dir, verificationName), verificationLine + "\n", problem) &&
        writeNewPrivate(joinPath(dir, storeName), store.describe(), problem);
    wipe(secretRecords);
    if (written) {
        Platform::syncDirectory(dir);
    }
    return written;
}

bool SealStore::open(const std::string& path, std::string& problem)
{
    dir = path;
    using Platform::PrivateEntry;
    for (const auto& [name, kind] : {std::pair<std::string, PrivateEntry>{"", PrivateEntry::folder},
                                     {chainName, PrivateEntry::folder}, {storeName, PrivateEntry::file},
                                     {secretName, PrivateEntry::file}, {publicName, PrivateEntry::file},
                                     {verificationName, PrivateEntry::file}}) {
        const std::string full = name.empty() ? dir : joinPath(dir, name);
        const std::string why = Platform::privacyProblem(full, kind);
        if (!why.empty()) {
            problem = "the seal store's " + std::string(kind == PrivateEntry::folder ? "folder" : "file") + " \"" +
                      full + "\" " + why;
            return false;
        }
    }
    std::string text;
    if (!readAll(joinPath(dir, storeName), text, problem)) {
        return false;
    }
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t blank = line.find(' ');
        if (blank != std::string::npos) {
            values[line.substr(0, blank)] = line.substr(blank + 1);
        }
    }
    uint64_t spanValue = 0;
    std::string keyBytes;
    storeFormat = SealLine::formatOf(values["format"]);
    boundHost = storeFormat == SealLine::firstFormat ? std::string() : values["host"];
    if (storeFormat == 0 || (storeFormat != SealLine::firstFormat && !SealLine::isHostName(boundHost)) ||
        !fromBase64(values["master-key"], keyBytes) ||
        keyBytes.size() != Platform::ed25519PublicKeySize || SealLine::keyIdOf(keyBytes) != values["key-id"] ||
        !parseNumber(values["epoch-span"], spanValue) || spanValue == 0 ||
        !parseNumber(values["first-epoch"], first) || !parseNumber(values["epochs"], count) || count == 0) {
        problem = "the seal store's file \"" + joinPath(dir, storeName) + "\" is damaged";
        return false;
    }
    id = values["key-id"];
    master = keyBytes;
    epochSpan = int64_t(spanValue);
    return true;
}

bool SealStore::epochByIndex(uint64_t index, Epoch& epoch, WithSecret withSecret, std::string& problem) const
{
    std::string record;
    const std::string publicPath = joinPath(dir, publicName);
    if (!readAt(publicPath, index * publicRecordSize, publicRecordSize, record, problem)) {
        return false;
    }
    std::istringstream fields(record);
    std::string number;
    std::string start;
    std::string end;
    std::string key;
    std::string certificate;
    fields >> number >> start >> end >> key >> certificate;
    uint64_t n = 0;
    uint64_t s = 0;
    uint64_t e = 0;
    if (!parseNumber(number, n) || !parseNumber(start, s) || !parseNumber(end, e) || n != first + index ||
        !fromBase64(key, epoch.publicKey) || epoch.publicKey.size() != Platform::ed25519PublicKeySize ||
        !fromBase64(certificate, epoch.certificate) ||
        epoch.certificate.size() != Platform::ed25519SignatureSize || record.back() != '\n') {
        problem = "the seal store's file \"" + publicPath + "\" is damaged at epoch " + std::to_string(first + index);
        return false;
    }
    epoch.number = n;
    epoch.start = int64_t(s);
    epoch.end = int64_t(e);
    epoch.seed.clear();
    if (withSecret == WithSecret::no) {
        return true;
    }
    std::string seed;
    if (!readAt(joinPath(dir, secretName), index * secretRecordSize, secretRecordSize, seed,
                           problem)) {
        return false;
    }
    if (!allZero(seed.data(), seed.size())) {
        epoch.seed = seed;
    }
    wipe(seed);
    return true;
}

bool SealStore::epochAt(int64_t time, Epoch& epoch, std::string& problem) const
{
    const int64_t number = time / epochSpan;
    if (time < 0 || uint64_t(number) < first || uint64_t(number) >= first + count) {
        problem = "the seal store \"" + dir + "\" has no key for the time " + std::to_string(time) + " (epochs " +
                  std::to_string(first) + " to " + std::to_string(first + count - 1) + ")";
        return false;
    }
    if (!epochByIndex(uint64_t(number) - first, epoch, WithSecret::yes, problem)) {
        return false;
    }
    if (epoch.seed.empty()) {
        problem = "the secret key of epoch " + std::to_string(number) + " was erased";
        return false;
    }
    return true;
}

bool SealStore::eraseBefore(int64_t time, std::string& problem)
{
    const int64_t current = time / epochSpan;
    if (current <= int64_t(first)) {
        return true;
    }
    const uint64_t ended = std::min<uint64_t>(uint64_t(current) - first, count);
    // Erasing goes from the oldest on, so the erased keys are a prefix: look back from the
    // newest ended epoch to the first erased one.
    const std::string secretPath = joinPath(dir, secretName);
    constexpr uint64_t piece = 64;
    uint64_t from = ended;
    while (from > 0) {
        const uint64_t n = std::min(piece, from);
        std::string bytes;
        if (!readAt(secretPath, (from - n) * secretRecordSize, size_t(n * secretRecordSize), bytes,
                               problem)) {
            return false;
        }
        uint64_t kept = n;
        while (kept > 0 && !allZero(bytes.data() + (kept - 1) * secretRecordSize, secretRecordSize)) {
            --kept;
        }
        wipe(bytes);
        from -= n - kept;
        if (kept > 0) {
            break;
        }
    }
    if (from == ended) {
        return true;
    }
    return overwriteAt(secretPath, from * secretRecordSize,
                                  std::string(size_t((ended - from) * secretRecordSize), '\0'), problem);
}

bool SealStore::extend(const std::string& masterFile, int64_t until, std::string& problem)
{
    std::string text;
    if (!readAll(masterFile, text, problem)) {
        return false;
    }
    std::istringstream fields(text);
    std::string tag;
    std::string keyId;
    std::string seedText;
    fields >> tag >> keyId >> seedText;
    wipe(text);
    std::string seed;
    std::string derived(Platform::ed25519PublicKeySize, '\0');
    const bool parsed = tag == masterTag(storeFormat) && fromBase64(seedText, seed) &&
                        seed.size() == Platform::ed25519SeedSize &&
                        Platform::ed25519PublicKey(reinterpret_cast<const uint8_t*>(seed.data()),
                                                   reinterpret_cast<uint8_t*>(derived.data()));
    wipe(seedText);
    if (!parsed || derived != master || keyId != id) {
        wipe(seed);
        problem = "\"" + masterFile + "\" is not the master secret of key " + id;
        return false;
    }
    const uint64_t next = first + count;
    const uint64_t last = until > 0 ? uint64_t((until - 1) / epochSpan) : 0;
    if (last < next) {
        wipe(seed);
        problem = "the store already holds epochs up to " + std::to_string(next - 1);
        return false;
    }
    std::string publicRecords;
    std::string secretRecords;
    const bool made = makeEpochs(seed, next, last + 1, publicRecords, secretRecords, problem);
    wipe(seed);
    if (!made) {
        return false;
    }
    const bool written = appendSynced(joinPath(dir, secretName), secretRecords, problem) &&
                         appendSynced(joinPath(dir, publicName), publicRecords, problem);
    wipe(secretRecords);
    if (!written) {
        return false;
    }
    const uint64_t oldCount = count;
    count = last + 1 - first;
    if (!writeAtomically(joinPath(dir, storeName), describe(), problem)) {
        count = oldCount;
        return false;
    }
    return true;
}

}  // namespace KelvraCorelib
