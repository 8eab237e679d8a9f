#include "datahandling/SealWitness.h"

#include <set>
#include <sstream>

#include "corelib/Codecs.h"
#include "corelib/DateTime.h"
#include "corelib/platform/FileSystem.h"
#include "corelib/FileTools.h"

namespace KelvraCorelib {

namespace {

const std::string witnessFormat = "trawlex-seal-witness-2";
const std::string firstWitnessFormat = "trawlex-seal-witness-1";

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

// Not empty and no control character in it.
bool isPlainText(const std::string& text)
{
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return false;
        }
    }
    return !text.empty();
}

std::string absentText(const SealChainCheck::ChainId& chain, uint64_t sequence)
{
    return SealChainCheck::describe(chain) + ": no file in this check, the witness saw sequence " +
           std::to_string(sequence);
}

}  // namespace

std::string SealWitness::shown(const std::string& text)
{
    static const char digits[] = "0123456789abcdef";
    std::string result;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\t') {
            result += "\\t";
        } else if (c == '\n') {
            result += "\\n";
        } else if (c == '\r') {
            result += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            result += {'\\', 'x', digits[byte >> 4], digits[byte & 15]};
        } else {
            result += c;
        }
    }
    return result;
}

bool SealWitness::load(const std::string& path, std::string& problem, bool startNew)
{
    heads.clear();
    open.clear();
    acknowledgments.clear();
    const std::string lockPath = path + ".lock";
    const int error = lock.isOpen() ? 0 : holdLockFile(lockPath, lock);
    if (error != 0) {
        problem = "cannot lock the witness \"" + lockPath + "\" (" + Platform::errorText(error) + ")";
        return false;
    }
    const bool exists = Platform::pathExists(path);
    if (exists == startNew) {
        problem = exists ? "the witness \"" + path + "\" exists already, a new one is started only in its absence"
                         : "the witness \"" + path + "\" does not exist (a check told to start a new witness creates it)";
        return false;
    }
    if (!exists) {
        return true;
    }
    std::string text;
    if (!readAll(path, text, problem)) {
        return false;
    }
    std::istringstream lines(text);
    std::string line;
    const bool first = std::getline(lines, line) && line == firstWitnessFormat;
    if (!first && line != witnessFormat) {
        problem = "\"" + path + "\" is not a witness file";
        return false;
    }
    while (std::getline(lines, line)) {
        std::vector<std::string> parts = splitAtTabs(line);
        if (first) {
            parts.insert(parts.begin(), "head");
        }
        uint64_t sequence = 0;
        bool good = false;
        if ((parts.size() == 6 || parts.size() == 8) && parts[0] == "head") {
            uint64_t time = 0;
            uint64_t interval = 0;
            good = parseDecimal(parts[4], sequence, DecimalForm::zeroPadded) &&
                   (parts.size() == 6 || (parseDecimal(parts[6], time) && parseDecimal(parts[7], interval)));
            heads[{parts[1], parts[2], parts[3]}] = {sequence, parts[5], int64_t(time), int64_t(interval)};
        } else if (parts.size() == 5 && parts[0] == "open") {
            good = isPlainText(parts[4]);
            open.push_back({{parts[1], parts[2], parts[3]}, parts[4]});
        } else if (parts.size() == 4 && parts[0] == "acknowledged") {
            good = isPlainText(parts[1]) && isPlainText(parts[2]) && isPlainText(parts[3]);
            acknowledgments[parts[3]] = {parts[1], parts[2]};
        }
        if (!good) {
            problem = "\"" + path + "\" is damaged";
            return false;
        }
    }
    return true;
}

std::vector<SealChainCheck::Finding> SealWitness::compare(const SealChainCheck& chains)
{
    std::vector<SealChainCheck::Finding> found;
    for (const auto& [id, head] : heads) {
        const auto checked = chains.chains().find(id);
        if (checked == chains.chains().end() || checked->second.empty()) {
            found.push_back({id, absentText(id, head.sequence)});
        }
    }
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
        // A gap among the files checked is the chain check's; one right behind the head is ours.
        if (links.front().sequence > head.sequence + 1) {
            found.push_back({id, where + std::to_string(links.front().sequence - head.sequence - 1) +
                                     " missing after witnessed sequence " + std::to_string(head.sequence)});
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
            recorded->second.sequence = newest.sequence;
            recorded->second.hash = newest.hash;
        }
    }
    return found;
}

void SealWitness::see(const SealChainCheck::ChainId& chain, int64_t time, int64_t interval, bool start)
{
    const auto head = heads.find(chain);
    if (head != heads.end() && (start || head->second.time != 0) && time > head->second.time) {
        head->second.time = time;
        head->second.interval = interval;
    }
}

bool SealWitness::retired(const SealChainCheck::ChainId& chain) const
{
    const auto head = heads.find(chain);
    if (head == heads.end()) {
        return false;
    }
    const std::string text = shown(absentText(chain, head->second.sequence));
    return acknowledgments.count(text) != 0 || given.count(text) != 0;
}

bool SealWitness::acknowledge(const std::string& text, const std::string& by, std::string& problem)
{
    if (!isPlainText(text) || !isPlainText(by)) {
        problem = "an acknowledgment needs the finding's text as printed and a name, without control characters";
        return false;
    }
    given[text] = {by, DateTime::now().toText(false)};
    return true;
}

bool SealWitness::review(std::vector<SealChainCheck::Finding>& findings, std::string& problem)
{
    std::set<std::string> texts;
    for (const SealChainCheck::Finding& finding : findings) {
        texts.insert(shown(finding.text));
    }
    for (const Open& earlier : open) {
        if (texts.insert(earlier.text).second) {
            findings.push_back({earlier.chain, earlier.text});
        }
    }
    for (const auto& [text, acknowledgment] : given) {
        if (texts.count(text) == 0 && acknowledgments.count(text) == 0) {
            problem = "no finding of this check reads \"" + text + "\", nothing was acknowledged";
            return false;
        }
        acknowledgments.emplace(text, acknowledgment);  // an earlier acknowledgment stands
    }
    given.clear();
    open.clear();
    for (SealChainCheck::Finding& finding : findings) {
        const std::string text = shown(finding.text);
        const auto acknowledged = acknowledgments.find(text);
        if (acknowledged != acknowledgments.end()) {
            finding.acknowledgedBy = acknowledged->second.by;
            finding.acknowledgedOn = acknowledged->second.on;
        } else if (texts.erase(text) != 0) {
            open.push_back({finding.chain, text});
        }
    }
    return true;
}

bool SealWitness::save(const std::string& path, std::string& problem) const
{
    std::string text = witnessFormat + "\n";
    for (const auto& [id, head] : heads) {
        text += "head\t" + std::get<0>(id) + "\t" + std::get<1>(id) + "\t" + std::get<2>(id) + "\t" +
                std::to_string(head.sequence) + "\t" + head.hash;
        if (head.time != 0) {
            text += "\t" + std::to_string(head.time) + "\t" + std::to_string(head.interval);
        }
        text += "\n";
    }
    for (const Open& finding : open) {
        text += "open\t" + std::get<0>(finding.chain) + "\t" + std::get<1>(finding.chain) + "\t" +
                std::get<2>(finding.chain) + "\t" + finding.text + "\n";
    }
    for (const auto& [finding, acknowledgment] : acknowledgments) {
        text += "acknowledged\t" + acknowledgment.by + "\t" + acknowledgment.on + "\t" + finding + "\n";
    }
    return writeAtomically(path, text, problem);
}

}  // namespace KelvraCorelib
