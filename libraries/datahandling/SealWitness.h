#pragma once
// The verifier's witness: per host, source and key id the highest sequence number seen and
// the SHA-256 of that file, the findings of the checks made with it and the operators'
// acknowledgments of findings, kept in a file that is replaced atomically. A later check that
// shows a lower head, another file for the recorded number, a file after the recorded head
// that does not extend it, a chain whose files begin above the head + 1, or no file of a
// recorded chain is a finding. Files older than the head that are gone are not.
//
// Each finding of a check is kept until an operator acknowledges it and reported again at
// every later check meanwhile; an acknowledged finding is still reported, marked, no longer
// fails the check, and its acknowledgment is kept for ever. A finding is named by its text as
// printed (control characters escaped, see shown).
//
// File: "trawlex-seal-witness-2", then lines of fields separated by tabs, the first a word:
// "head", host, source, key id, sequence, hash[, time, interval]; "open", host, source, key id, text;
// "acknowledged", by, on, text. The first form ("trawlex-seal-witness-1", head lines without
// the word) is read as well and saved in this one. A head's time and interval (milliseconds) are
// the newest "source.time" of its chain and its collection interval, once a check noted them.
//
// load takes an advisory lock on "<path>.lock" (waiting for another verifier) and holds it until
// the object is destroyed, so that two checks never lose each other's heads.
//
//   SealWitness witness;
//   witness.load("state", problem);            // a missing file is an error unless startNew
//   witness.acknowledge(text, "alice", problem);
//   findings = witness.compare(chains);        // and takes the new heads
//   witness.review(findings, problem);         // adds the open ones, marks the acknowledged
//   witness.save("state", problem);

#include <map>
#include <string>
#include <vector>

#include "corelib/platform/FileSystem.h"
#include "datahandling/SealChainCheck.h"

namespace KelvraCorelib {

class SealWitness {
public:
    struct Head {
        uint64_t sequence = 0;
        std::string hash;
        int64_t time = 0;  // 0: not noted
        int64_t interval = 0;
    };

    struct Acknowledgment {
        std::string by;
        std::string on;  // UTC, "2026-05-06T07:08:09Z"
    };

    // startNew: the file must not exist yet, and the witness starts empty; otherwise a missing
    // file is an error.
    bool load(const std::string& path, std::string& problem, bool startNew = false);
    std::vector<SealChainCheck::Finding> compare(const SealChainCheck& chains);
    // Notes the newest "source.time" and collection interval of a chain in this check with
    // its head (after compare): where later than the one noted, and only where start is true or
    // one was noted before, so that a witness holds times only once a check asked for them.
    void see(const SealChainCheck::ChainId& chain, int64_t time, int64_t interval, bool start);
    // Whether the finding that a recorded chain has no file in the check is acknowledged (the
    // chain retired), before or by this check.
    bool retired(const SealChainCheck::ChainId& chain) const;
    // Records, as of now, that the operator "by" has looked into the finding printed as text;
    // review refuses it when no finding of the check has that text and it was not acknowledged
    // before.
    bool acknowledge(const std::string& text, const std::string& by, std::string& problem);
    // Adds the open findings of earlier checks that this one did not make again, marks the
    // acknowledged ones (acknowledgedBy, acknowledgedOn) and keeps the others open. False when
    // an acknowledgment given to this check matched no finding.
    bool review(std::vector<SealChainCheck::Finding>& findings, std::string& problem);
    bool save(const std::string& path, std::string& problem) const;

    const std::map<SealChainCheck::ChainId, Head>& recorded() const { return heads; }
    const std::map<std::string, Acknowledgment>& acknowledged() const { return acknowledgments; }

    // text as the verifier prints it: a tab as \t, a line feed as \n, a carriage return as \r,
    // any other control character as \xhh.
    static std::string shown(const std::string& text);

private:
    struct Open {
        SealChainCheck::ChainId chain;
        std::string text;  // shown
    };

    std::map<SealChainCheck::ChainId, Head> heads;
    std::vector<Open> open;
    std::map<std::string, Acknowledgment> acknowledgments;  // by shown text
    std::map<std::string, Acknowledgment> given;            // to this check
    Platform::ScopedFile lock;  // closing it releases the lock
};

}  // namespace KelvraCorelib
