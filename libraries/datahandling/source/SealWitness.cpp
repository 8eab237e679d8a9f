#include "datahandling/SealWitness.h"

#include <sstream>

#include "corelib/Codecs.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/FileTools.h"

namespace KelvraCorelib {

namespace {

const std::string witnessFormat = "trawlex-seal-witness-1";

std::vector<std::string> splitAtTabs(const std::string& line)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(line);
    while (std::getline(in, part, '\t')) {
        parts.push_back(part);
    }
    return parts;
}

}  // namespace

bool SealWitness::load(const std::string& path, std::string& problem)
{
    heads.clear();
    const std::string lockPath = path + ".lock";
    const int error = lock.isOpen() ? 0 : holdLockFile(lockPath, lock);
    if (error != 0) {
        problem = "cannot lock the witness \"" + lockPath + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    if (!Platform::pathExists(path)) {
        return true;
    }
    std::string text;
    if (!readAll(path, text, problem)) {
        return false;
    }
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != witnessFormat) {
        problem = "\"" + path + "\" is not a witness file";
        return false;
    }
    while (std::getline(lines, line)) {
        const std::vector<std::string> parts = splitAtTabs(line);
        uint64_t sequence = 0;
        if (parts.size() != 5 || !parseDecimal(parts[3], sequence, DecimalForm::zeroPadded)) {
            problem = "\"" + path + "\" is damaged";
            return false;
        }
        heads[{parts[0], parts[1], parts[2]}] = {sequence, parts[4]};
    }
    return true;
}

std::vector<SealChainCheck::Finding> SealWitness::compare(const SealChainCheck& chains)
{
    std::vector<SealChainCheck::Finding> found;
    for (const auto& [id, links] : chains.chains()) {
        if (links.empty()) {
            continue;
        }
        const std::string where = SealChainCheck::describe(id) + ": ";
        const SealChainCheck::Link& newest = links.back();
        const auto recorded = heads.find(id);
        if (recorded == heads.end()) {
            heads[id] = {newest.sequence, newest.hash};
            continue;
        }
        const Head head = recorded->second;
        if (newest.sequence < head.sequence) {
            found.push_back({id, where + "the newest file has sequence " + std::to_string(newest.sequence) +
                                     ", but the witness saw sequence " + std::to_string(head.sequence)});
        }
        for (const SealChainCheck::Link& link : links) {
            if (link.sequence == head.sequence && link.hash != head.hash) {
                found.push_back({id, where + link.path + " is another file for sequence " +
                                         std::to_string(head.sequence) + " than the witness saw"});
            } else if (link.sequence == head.sequence + 1 && link.previous != head.hash) {
                found.push_back({id, where + link.path + " (sequence " + std::to_string(link.sequence) +
                                         ") does not extend the head the witness saw"});
            }
        }
        if (newest.sequence > head.sequence) {
            recorded->second = {newest.sequence, newest.hash};
        }
    }
    return found;
}

bool SealWitness::save(const std::string& path, std::string& problem) const
{
    std::string text = witnessFormat + "\n";
    for (const auto& [id, head] : heads) {
        text += std::get<0>(id) + "\t" + std::get<1>(id) + "\t" + std::get<2>(id) + "\t" +
                std::to_string(head.sequence) + "\t" + head.hash + "\n";
    }
    return writeAtomically(path, text, problem);
}

}  // namespace KelvraCorelib
