#include "corelib/Codecs.h"
#include "datahandling/SealStore.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <new>
#include <sstream>
#include <vector>

#include "corelib/DateTime.h"
#include "corelib/FileTools.h"
#include "corelib/OwnInputFile.h"
#include "corelib/PathTools.h"
#include "corelib/SystemValues.h"
#include "corelib/TimeSpan.h"
#include "corelib/platform/AccessChecks.h"
#include "corelib/platform/DataLogFiles.h"
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
const char* const clockName = "clock";
const char* const lockName = "lock";

// Epochs made and written at a time.
constexpr uint64_t piece = 4096;
constexpr size_t clockSize = 14;

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
    const bool created = error == 0;
    if (created) {
        error = writeSynced(handle.get(), bytes);
    }
    if (error != 0) {
        problem = "cannot write \"" + path + "\" (" + Platform::errorText(error) + ")";
        if (created) {
            handle.reset();
            Platform::removeFile(path);  // never a part of it
        }
        return false;
    }
    return true;
}

// Where a new store is made before it is renamed in: ".NAME.making" beside it.
std::string makingFolder(const std::string& dir)
{
    const std::string path = stripTrailingSeparators(dir);
    size_t at = path.size();
    while (at > 0 && !isSeparator(path[at - 1])) {
        --at;
    }
    return path.substr(0, at) + "." + path.substr(at) + ".making";
}

// Removes what an init that did not end left in its making folder; true when nothing is left.
bool clearLeftover(const std::string& making, std::string& problem)
{
    Platform::FileStatus status;
    if (Platform::linkStatus(making, status) != 0) {
        return true;
    }
    const std::string why = Platform::privacyProblem(making, Platform::PrivateEntry::folder);
    for (const char* name : {storeName, publicName, secretName, verificationName, clockName}) {
        if (why.empty()) {
            Platform::removeFile(joinPath(making, name));
        }
    }
    if (why.empty() && (Platform::removeEmptyDirectory(joinPath(making, chainName)), true) &&
        Platform::removeEmptyDirectory(making) == 0) {
        return true;
    }
    problem = "\"" + making + "\", left by an init that did not end, is in the way" + (why.empty() ? "" : ": it " + why) +
              "; remove it";
    return false;
}

int openForWriting(const std::string& path, Platform::ScopedFile& handle, uint64_t size)
{
    int64_t position = 0;
    int error = Platform::openFile(path, Platform::OpenRead | Platform::OpenWrite | Platform::OpenNoFollow, handle.value);
    if (error == 0) {
        error = Platform::truncateFile(handle.get(), size);
    }
    if (error == 0) {
        error = Platform::seekFile(handle.get(), int64_t(size), Platform::SeekOrigin::start, position);
    }
    return error;
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

std::string SealStore::wayProblem(const std::string& dir)
{
    const Platform::AccessFinding finding = Platform::examineDirectoryChain(dir);
    using Platform::AccessFault;
    const bool untrusted = finding.fault == AccessFault::foreignOwner || finding.fault == AccessFault::openToOthers ||
                           finding.fault == AccessFault::foreignLink || finding.fault == AccessFault::link ||
                           finding.fault == AccessFault::foreignMountPoint;
    if (!untrusted) {
        return std::string();
    }
    return "the way to the seal store \"" + dir + "\" is not safe: " + accessRefusal(finding) +
           ", so another account could move the store aside";
}

std::string SealStore::dateOf(int64_t time)
{
    return DateTime(time).toText(false);
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

bool SealStore::writeEpochs(const std::string& masterSeed, uint64_t last, int secretHandle, int publicHandle,
                            std::string& problem) const
{
    for (uint64_t from = first + count; from <= last; from += piece) {
        const uint64_t to = std::min(from + piece, last + 1);
        std::string publicRecords;
        std::string secretRecords;
        bool written = makeEpochs(masterSeed, from, to, publicRecords, secretRecords, problem);
        int error = 0;
        if (written) {
            error = Platform::writeFile(secretHandle, secretRecords.data(), secretRecords.size());
        }
        if (written && error == 0) {
            error = Platform::writeFile(publicHandle, publicRecords.data(), publicRecords.size());
        }
        wipe(secretRecords);
        if (error != 0) {
            problem = "cannot write the keys of the seal store \"" + dir + "\" (" + Platform::errorText(error) + ")";
            written = false;
        }
        if (!written) {
            return false;
        }
    }
    int error = Platform::syncFile(secretHandle);
    if (error == 0) {
        error = Platform::syncFile(publicHandle);
    }
    if (error != 0) {
        problem = "cannot write the keys of the seal store \"" + dir + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    return true;
}

// Makes the store's files in dir (an empty private folder), the store file last.
bool SealStore::build(const std::string& masterSeed, uint64_t last, std::string& problem) const
{
    SealStore empty = *this;
    empty.count = 0;
    Platform::ScopedFile secrets;
    Platform::ScopedFile publics;
    int error = Platform::createPrivateFile(joinPath(dir, secretName), secrets.value);
    if (error == 0) {
        error = Platform::createPrivateFile(joinPath(dir, publicName), publics.value);
    }
    if (error != 0) {
        problem = "cannot create the store \"" + dir + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    char clock[32];
    std::snprintf(clock, sizeof clock, "%013" PRId64 "\n", int64_t(first) * epochSpan);
    if (!empty.writeEpochs(masterSeed, last, secrets.get(), publics.get(), problem)) {
        return false;
    }
    if (error = Platform::makePrivateDirectory(joinPath(dir, chainName)); error != 0) {
        problem = "cannot create the store \"" + dir + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    const bool written =
        writeNewPrivate(joinPath(dir, verificationName), SealLine::verificationKeyLine(master, boundHost) + "\n",
                        problem) &&
        writeNewPrivate(joinPath(dir, clockName), clock, problem) &&
        writeNewPrivate(joinPath(dir, storeName), describe(), problem);
    if (written) {
        Platform::syncDirectory(dir);
    }
    return written;
}

bool SealStore::create(const std::string& dir, const Settings& settings, std::string& verificationLine,
                       std::string& problem)
{
    if (settings.span <= 0 || settings.until <= settings.now || settings.now < 0) {
        problem = "the epoch span must be positive and the end after the start";
        return false;
    }
    const std::string host = settings.host.empty() ? systemValue(SystemValueId::hostName) : settings.host;
    if (!SealLine::isHostName(host)) {
        problem = "\"" + host + "\" is not a host name a store can be bound to (1 to 255 printable "
                  "characters, no blank)";
        return false;
    }
    const uint64_t firstEpoch = uint64_t(settings.now / settings.span);
    const uint64_t last = uint64_t((settings.until - 1) / settings.span);
    if (last + 1 - firstEpoch > maxEpochs) {
        problem = std::to_string(last + 1 - firstEpoch) + " epochs of " + TimeSpan(settings.span).toText() +
                  " until " + dateOf(settings.until) + " are more than a store holds (" + std::to_string(maxEpochs) +
                  "): choose a longer epoch or an earlier end";
        return false;
    }
    Platform::FileStatus status;
    if (!settings.masterOut.empty()) {
        const std::string folder = parentDirectory(settings.masterOut);
        if (!isDirectory(folder.empty() ? std::string(".") : folder)) {
            problem = "cannot write the master secret to \"" + settings.masterOut + "\": its folder \"" + folder +
                      "\" does not exist";
            return false;
        }
        if (Platform::linkStatus(settings.masterOut, status) == 0) {
            problem = "cannot write the master secret to \"" + settings.masterOut + "\": it exists";
            return false;
        }
    }
    if (Platform::linkStatus(dir, status) == 0) {
        problem = "\"" + dir + "\" exists; an existing store is never touched";
        return false;
    }
    if (const std::string way = wayProblem(dir); !way.empty()) {
        problem = way;
        return false;
    }
    const std::string parent = parentDirectory(dir);
    if (!parent.empty() && !isDirectory(parent) && !createDirectory(addTrailingSeparator(parent))) {
        problem = "cannot create the folder \"" + parent + "\"";
        return false;
    }
    if (const std::string way = wayProblem(parent.empty() ? std::string(".") : parent); !way.empty()) {
        problem = way;
        return false;
    }
    const std::string making = makingFolder(dir);
    if (!clearLeftover(making, problem)) {
        return false;
    }
    if (const int error = Platform::makePrivateDirectory(making); error != 0) {
        problem = "cannot create the store \"" + making + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    std::string masterSeed(Platform::ed25519SeedSize, '\0');
    bool made = false;
    try {
        std::string masterPublic(Platform::ed25519PublicKeySize, '\0');
        if (!Platform::randomBytes(reinterpret_cast<uint8_t*>(masterSeed.data()), masterSeed.size()) ||
            !Platform::ed25519PublicKey(reinterpret_cast<const uint8_t*>(masterSeed.data()),
                                        reinterpret_cast<uint8_t*>(masterPublic.data()))) {
            problem = "cannot make the master key";
        } else {
            SealStore store;
            store.dir = making;
            store.storeFormat = SealLine::currentFormat;
            store.id = SealLine::keyIdOf(masterPublic);
            store.boundHost = host;
            store.master = masterPublic;
            store.epochSpan = settings.span;
            store.first = firstEpoch;
            store.count = last + 1 - firstEpoch;
            made = store.build(masterSeed, last, problem);
            if (made && !settings.masterOut.empty()) {
                std::string text = masterFileText(store.storeFormat, store.id, masterSeed);
                made = writeNewPrivate(settings.masterOut, text, problem);
                wipe(text);
            }
            verificationLine = SealLine::verificationKeyLine(masterPublic, host);
        }
    } catch (const std::bad_alloc&) {
        problem = "not enough memory to make the store \"" + dir + "\"";
        made = false;
    }
    wipe(masterSeed);  // from here on the master secret exists only in masterOut, if at all
    if (made) {
        if (const int error = Platform::renameNoReplace(making, dir); error != 0) {
            problem = "cannot rename \"" + making + "\" to \"" + dir + "\" (" + Platform::errorText(error) + ")";
            if (!settings.masterOut.empty()) {
                Platform::removeFile(settings.masterOut);
            }
            made = false;
        }
    }
    if (!made) {
        std::string ignored;
        clearLeftover(making, ignored);
        return false;
    }
    Platform::syncDirectory(parent.empty() ? std::string(".") : parent);
    return true;
}

bool SealStore::open(const std::string& path, std::string& problem)
{
    dir = path;
    if (const std::string way = wayProblem(dir); !way.empty()) {
        problem = way;
        return false;
    }
    using Platform::PrivateEntry;
    Platform::FileStatus clockStatus;
    const bool clocked = Platform::linkStatus(joinPath(dir, clockName), clockStatus) == 0;
    // The verification key may be read by all; a store made before the clock file has none.
    std::vector<std::pair<std::string, PrivateEntry>> entries = {
        {"", PrivateEntry::folder},          {chainName, PrivateEntry::folder},
        {storeName, PrivateEntry::file},     {secretName, PrivateEntry::file},
        {publicName, PrivateEntry::file},    {verificationName, PrivateEntry::publicFile}};
    if (clocked) {
        entries.emplace_back(clockName, PrivateEntry::file);
    }
    for (const auto& [name, kind] : entries) {
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
        const int64_t start = int64_t(first) * epochSpan;
        const int64_t end = int64_t(first + count) * epochSpan;
        problem = "the seal store \"" + dir + "\" has no key for the time " + dateOf(time) + " (its keys are for " +
                  dateOf(start) + " to " + dateOf(end) + "); " +
                  (time >= end ? "add keys with \"trawlex-seal extend --master FILE\" or make a new store with "
                                 "\"trawlex-seal init\""
                               : "make a new store with \"trawlex-seal init\"");
        return false;
    }
    if (!epochByIndex(uint64_t(number) - first, epoch, WithSecret::yes, problem)) {
        return false;
    }
    if (epoch.seed.empty()) {
        problem = "the secret key of epoch " + std::to_string(number) + " (" + dateOf(epoch.start) + " to " +
                  dateOf(epoch.end) + ") in the seal store \"" + dir +
                  "\" was erased; nothing of that time can be sealed (when this is the time now, make a new store "
                  "with \"trawlex-seal init\")";
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

int64_t SealStore::latestTime() const
{
    std::string text;
    std::string ignored;
    uint64_t value = 0;
    if (!readAll(joinPath(dir, clockName), text, ignored, 64) || text.size() != clockSize || text.back() != '\n' ||
        !parseNumber(text.substr(0, clockSize - 1), value)) {
        return 0;
    }
    return int64_t(value);
}

bool SealStore::eraseEnded(int64_t time, Clock clock, std::string& problem)
{
    const int64_t latest = latestTime();
    if (clock == Clock::checked && latest > 0 && time - latest > aheadLimit) {
        problem = "the time " + dateOf(time) + " is more than " + std::to_string(aheadLimit / 86400000) +
                  " days after the latest time the seal store \"" + dir + "\" has seen (" + dateOf(latest) +
                  "), so no key was erased; when the clock is right, accept it with \"trawlex-seal erase "
                  "--accept-clock\"";
        return false;
    }
    if (!eraseBefore(time, problem)) {
        return false;
    }
    if (time > latest || clock == Clock::accepted) {
        // One small write in place; a lost update only lets the next run check against less.
        char text[32];
        std::snprintf(text, sizeof text, "%013" PRId64 "\n", std::clamp<int64_t>(time, 0, 9999999999999));
        const std::string path = joinPath(dir, clockName);
        Platform::ScopedFile handle;
        int64_t position = 0;
        int error = Platform::openFile(path, Platform::OpenWrite | Platform::OpenNoFollow, handle.value);
        if (Platform::isNotFound(error)) {
            error = Platform::createPrivateFile(path, handle.value);
        }
        if (error == 0 && Platform::seekFile(handle.get(), 0, Platform::SeekOrigin::start, position) == 0) {
            Platform::writeFile(handle.get(), text, clockSize);
        }
        if (clock == Clock::accepted) {
            Platform::syncFile(handle.get());
        }
    }
    return true;
}

bool SealStore::extend(const std::string& masterFile, int64_t until, std::string& problem)
{
    Platform::ScopedFile lock;
    if (const int error = holdLockFile(joinPath(dir, lockName), lock); error != 0) {
        problem = "cannot lock the seal store \"" + dir + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    // Another extension may have ended while this one waited.
    if (!open(dir, problem)) {
        return false;
    }
    try {
        return extendLocked(masterFile, until, problem);
    } catch (const std::bad_alloc&) {
        problem = "not enough memory to extend the store \"" + dir + "\"";
        return false;
    }
}

bool SealStore::extendLocked(const std::string& masterFile, int64_t until, std::string& problem)
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
        problem = "the store already holds epochs up to " + std::to_string(next - 1) + " (" +
                  dateOf(int64_t(next) * epochSpan) + ")";
        return false;
    }
    if (last + 1 - first > maxEpochs) {
        wipe(seed);
        problem = "epochs until " + dateOf(until) + " are more than a store holds (" + std::to_string(maxEpochs) + ")";
        return false;
    }
    // Records past the count (of an extension that failed) are cut off first, so that each
    // new epoch's secret lies at the index of its public record.
    const std::string secretPath = joinPath(dir, secretName);
    const std::string publicPath = joinPath(dir, publicName);
    Platform::ScopedFile secrets;
    Platform::ScopedFile publics;
    int error = openForWriting(secretPath, secrets, count * secretRecordSize);
    if (error == 0) {
        error = openForWriting(publicPath, publics, count * publicRecordSize);
    }
    if (error != 0) {
        wipe(seed);
        problem = "cannot write the keys of the seal store \"" + dir + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    bool written = writeEpochs(seed, last, secrets.get(), publics.get(), problem);
    wipe(seed);
    const uint64_t oldCount = count;
    if (written) {
        count = last + 1 - first;
        written = writeAtomically(joinPath(dir, storeName), describe(), problem);
    }
    if (!written) {
        count = oldCount;
        Platform::truncateFile(secrets.get(), count * secretRecordSize);
        Platform::truncateFile(publics.get(), count * publicRecordSize);
    }
    return written;
}

}  // namespace KelvraCorelib
