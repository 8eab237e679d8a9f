#include "corelib/Codecs.h"
#include "datahandling/SealCheck.h"

#include <algorithm>
#include <vector>

#include "corelib/platform/DataLogFiles.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/platform/SealCrypto.h"
#include "corelib/FileTools.h"
#include "datahandling/DataLogName.h"
#include "datahandling/DataLogReader.h"

namespace KelvraCorelib {

namespace {

std::string valueOf(const std::map<std::string, std::string>& header, const std::string& key)
{
    const auto found = header.find(key);
    return found == header.end() ? std::string() : found->second;
}

// A canonical decimal above zero.
bool parseSequence(const std::string& text, uint64_t& value)
{
    return parseDecimal(text, value) && value != 0;
}

// 64 lower-case hexadecimal digits.
bool isLowerHexDigest(const std::string& text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// Opens a file to read without waiting; -1 when it cannot be opened.
int openWithoutWaiting(const std::string& path)
{
    int handle = -1;
    return Platform::openFile(path, Platform::OpenRead | Platform::OpenNonBlocking, handle) == 0 ? handle : -1;
}

}  // namespace

std::string SealCheck::sourceOf(const std::map<std::string, std::string>& header)
{
    return DataLogName::sourceKeyOf(valueOf(header, "source.application"), valueOf(header, "source.module"),
                                    valueOf(header, "source.datatype"));
}

bool SealCheck::addKeys(const std::string& path, std::string& problem)
{
    Platform::FileStatus status;
    int error = Platform::fileStatus(path, status);
    if (error != 0) {
        problem = "cannot read the seal key \"" + path + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    std::vector<std::string> files;
    const bool folder = status.isDirectory;
    if (folder) {
        std::vector<Platform::DirectoryEntry> entries;
        error = Platform::listDirectory(path, entries);
        if (error != 0) {
            problem = "cannot list the seal keys in \"" + path + "\" (" + Platform::errorText(error) + ")";
            return false;
        }
        for (const Platform::DirectoryEntry& entry : entries) {
            if (!entry.isDirectory) {
                files.push_back(joinPath(path, entry.name));
            }
        }
    } else {
        files.push_back(path);
    }
    size_t added = 0;
    for (const std::string& file : files) {
        std::string text;
        if (!readAll(file, text, problem)) {
            return false;
        }
        const std::optional<SealLine::VerificationKey> key = SealLine::parseVerificationKey(text);
        if (!key) {
            if (!folder) {
                problem = "\"" + file + "\" is not a verification key (\"" + SealLine::formatName(SealLine::currentFormat) +
                          " <key id> <host> <key>\")";
                return false;
            }
            continue;
        }
        const auto known = keys.find(key->keyId);
        if (known != keys.end() && known->second.key.text() != key->text()) {
            problem = "two different verification keys with the key id " + key->keyId + ": \"" + known->second.file +
                      "\" and \"" + file + "\"";
            return false;
        }
        keys[key->keyId] = {*key, file};
        ++added;
    }
    if (added == 0) {
        problem = "no verification key in \"" + path + "\"";
        return false;
    }
    return true;
}

bool SealCheck::certificateHolds(const SealLine& seal, const SealLine::VerificationKey& key)
{
    const std::string& master = key.key;
    const std::string message = seal.certificateMessage(key.host);
    const std::string known = message + " " + seal.certificate;
    const auto found = certificates.find(known);
    if (found != certificates.end()) {
        return found->second;
    }
    const bool holds = Platform::ed25519Verify(reinterpret_cast<const uint8_t*>(master.data()),
                                               reinterpret_cast<const uint8_t*>(message.data()), message.size(),
                                               reinterpret_cast<const uint8_t*>(seal.certificate.data()));
    certificates[known] = holds;
    return holds;
}

SealCheck::Result SealCheck::check(const std::string& path, const std::map<std::string, std::string>& header)
{
    Platform::ScopedFile handle;
    handle.value = openWithoutWaiting(path);
    if (handle.value < 0) {
        Result result;
        result.host = valueOf(header, "source.host");
        result.source = sourceOf(header);
        result.reason = "cannot be read";
        return result;
    }
    return check(handle.value, header);
}

SealCheck::Result SealCheck::check(int handle, const std::map<std::string, std::string>& header)
{
    DataLogReader::Reading reading;
    reading.sealDigests = true;
    std::string reason;
    if (DataLogReader::checkOpenFile(handle, reason, reading) == DataLogReader::Check::unreadable) {
        Result result;
        result.host = valueOf(header, "source.host");
        result.source = sourceOf(header);
        result.reason = "cannot be read";
        return result;
    }
    return check(reading, header);
}

SealCheck::Result SealCheck::check(const DataLogReader::Reading& reading,
                                   const std::map<std::string, std::string>& header)
{
    Result result;
    result.host = valueOf(header, "source.host");
    result.source = sourceOf(header);
    const std::optional<SealLine>& seal = reading.seal;
    if (!seal) {
        result.reason = "no seal";
        return result;
    }
    // One encoding of a sealed file: its seal line ends in one line feed.
    if (!reading.sealEndsInLineFeed) {
        result.reason = "the seal line does not end in a line feed";
        return result;
    }
    result.keyId = seal->keyId;
    const auto key = keys.find(seal->keyId);
    if (key == keys.end()) {
        result.reason = "sealed under the unknown key " + seal->keyId;
        return result;
    }
    if (valueOf(header, "seal.key-id") != seal->keyId) {
        result.reason = "the header's seal.key-id is not the seal's key " + seal->keyId;
        return result;
    }
    const SealLine::VerificationKey& verificationKey = key->second.key;
    result.format = seal->format;
    result.keyHost = verificationKey.host;
    if (seal->format != verificationKey.format) {
        result.reason = "sealed in format " + std::to_string(seal->format) + ", but the key " + seal->keyId +
                        " is of format " + std::to_string(verificationKey.format);
        return result;
    }
    if (seal->format != SealLine::firstFormat && verificationKey.host != result.host) {
        result.reason = "sealed by the key of the host \"" + verificationKey.host +
                        "\", not of the file's source.host \"" + result.host + "\"";
        return result;
    }
    if (!parseSequence(valueOf(header, "seal.sequence"), result.sequence)) {
        result.reason = "no valid seal.sequence in the header";
        return result;
    }
    result.previous = valueOf(header, "seal.previous");
    // "none" starts a chain and only a chain; any other file names its predecessor's SHA-256.
    const bool starts = result.sequence == 1;
    if (starts != (result.previous == "none") || (!starts && !isLowerHexDigest(result.previous))) {
        result.reason = "no valid seal.previous in the header";
        return result;
    }
    if (!Platform::ed25519Canonical(reinterpret_cast<const uint8_t*>(verificationKey.key.data()),
                                    reinterpret_cast<const uint8_t*>(seal->certificate.data()))) {
        result.reason = "the certificate of epoch " + std::to_string(seal->epoch) + " is not a canonical signature";
        return result;
    }
    if (!certificateHolds(*seal, verificationKey)) {
        result.reason = "the epoch key of epoch " + std::to_string(seal->epoch) + " has no valid certificate";
        return result;
    }
    int64_t time = 0;
    const std::string timeText = valueOf(header, "source.time");
    uint64_t parsed = 0;
    if (!parseSequence(timeText, parsed)) {
        result.reason = "no valid source.time in the header";
        return result;
    }
    time = int64_t(parsed);
    if (time < seal->start || time >= seal->end) {
        result.reason = "the collection's time " + timeText + " lies outside the seal's epoch " +
                        std::to_string(seal->epoch) + " (" + std::to_string(seal->start) + " to " +
                        std::to_string(seal->end) + ")";
        return result;
    }
    if (reading.sealedDigest.empty()) {
        result.reason = "cannot be read";
        return result;
    }
    if (!Platform::ed25519Canonical(reinterpret_cast<const uint8_t*>(seal->epochKey.data()),
                                    reinterpret_cast<const uint8_t*>(seal->signature.data()))) {
        result.reason = "the seal's signature or epoch key is not in its canonical encoding";
        return result;
    }
    const std::string message = SealLine::fileMessage(seal->format, reading.sealedDigest);
    if (!Platform::ed25519Verify(reinterpret_cast<const uint8_t*>(seal->epochKey.data()),
                                 reinterpret_cast<const uint8_t*>(message.data()), message.size(),
                                 reinterpret_cast<const uint8_t*>(seal->signature.data()))) {
        result.reason = "the seal does not sign this file's content";
        return result;
    }
    result.hash = toHex(reading.wholeDigest);
    result.valid = true;
    if (seal->format == SealLine::firstFormat) {
        result.note = "sealed in format 1, whose keys are not bound to a host";
    }
    return result;
}

}  // namespace KelvraCorelib
