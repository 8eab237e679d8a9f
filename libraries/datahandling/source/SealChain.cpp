#include "datahandling/SealChain.h"

#include <sstream>
#include <vector>

#include "corelib/platform/FileSystem.h"
#include "corelib/platform/PrivateFiles.h"
#include "corelib/FileTools.h"
#include "corelib/PathTools.h"

namespace KelvraCorelib {

namespace {

const std::string stateExtension = ".state";

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

int hexValue(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

std::string unescaped(const std::string& stem)
{
    std::string text;
    for (size_t i = 0; i < stem.size(); ++i) {
        if (stem[i] == '%' && i + 2 < stem.size() && hexValue(stem[i + 1]) >= 0 && hexValue(stem[i + 2]) >= 0) {
            text += char(hexValue(stem[i + 1]) * 16 + hexValue(stem[i + 2]));
            i += 2;
        } else {
            text += stem[i];
        }
    }
    return text;
}

}  // namespace

std::string SealChain::fileStem(const std::string& source)
{
    static const char* const digits = "0123456789ABCDEF";
    std::string stem;
    for (const char c : source) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '-' || c == '_';
        if (plain) {
            stem += c;
        } else {
            stem += '%';
            stem += digits[uint8_t(c) >> 4];
            stem += digits[uint8_t(c) & 15];
        }
    }
    return stem.empty() ? std::string("%") : stem;
}

bool SealChain::readState(const std::string& path, uint64_t& sequence, std::string& hash)
{
    std::string text;
    std::string ignored;
    if (!readAll(path, text, ignored)) {
        return false;
    }
    std::istringstream fields(text);
    std::string sequenceTag;
    std::string headTag;
    fields >> sequenceTag >> sequence >> headTag >> hash;
    return !fields.fail() && sequenceTag == "sequence" && headTag == "head" &&
           (hash == "none" || hash.size() == 64);
}

bool SealChain::begin(const std::string& chainFolder, const std::string& source, std::string& problem)
{
    const std::string stem = joinPath(chainFolder, fileStem(source));
    const std::string lockPath = stem + ".lock";
    const int error = holdLockFile(lockPath, lock);
    if (error != 0) {
        problem = "cannot lock the seal chain \"" + lockPath + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    statePath = stem + stateExtension;
    uint64_t last = 0;
    head = "none";
    if (Platform::pathExists(statePath)) {
        const std::string why = Platform::privacyProblem(statePath, Platform::PrivateEntry::file);
        if (!why.empty()) {
            problem = "the seal chain's file \"" + statePath + "\" " + why;
            return false;
        }
        if (!readState(statePath, last, head)) {
            problem = "the seal chain's file \"" + statePath + "\" is damaged";
            return false;
        }
    }
    next = last + 1;
    return true;
}

bool SealChain::complete(const std::string& fileHash, std::string& problem)
{
    if (!writeAtomically(statePath, "sequence " + std::to_string(next) + "\nhead " + fileHash + "\n",
                                    problem)) {
        return false;
    }
    before = head;
    head = fileHash;
    return true;
}

bool SealChain::giveBack(std::string& problem)
{
    const uint64_t last = next - 1;
    if (last == 0) {
        const int error = Platform::removeFile(statePath);
        if (error != 0 && !Platform::isNotFound(error)) {
            problem = "cannot remove \"" + statePath + "\" (" + Platform::errorText(error) + ")";
            return false;
        }
        Platform::syncDirectory(parentDirectory(statePath));
    } else if (!writeAtomically(statePath, "sequence " + std::to_string(last) + "\nhead " + before + "\n", problem)) {
        return false;
    }
    head = before;
    return true;
}

std::map<std::string, uint64_t> SealChain::lastSequences(const std::string& chainFolder)
{
    std::map<std::string, uint64_t> result;
    std::vector<Platform::DirectoryEntry> entries;
    if (Platform::listDirectory(chainFolder, entries) != 0) {
        return result;
    }
    for (const Platform::DirectoryEntry& entry : entries) {
        if (entry.isDirectory || !endsWith(entry.name, stateExtension)) {
            continue;
        }
        uint64_t sequence = 0;
        std::string hash;
        if (readState(joinPath(chainFolder, entry.name), sequence, hash)) {
            result[unescaped(entry.name.substr(0, entry.name.size() - stateExtension.size()))] = sequence;
        }
    }
    return result;
}

}  // namespace KelvraCorelib
