#pragma once
// The chain check over validly sealed files, per host, source and key id: gaps in the
// sequence numbers, two files with one number, and a file whose "seal.previous" is not the
// SHA-256 of the file one number before it. Files may come in any order. A chain whose
// oldest files are gone (retention) is no finding.
//
//   SealChainCheck chains;
//   chains.add(result, path);          // each valid SealCheck::Result
//   for (const auto& finding : chains.findings()) ...

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "datahandling/SealCheck.h"

namespace KelvraCorelib {

class SealChainCheck {
public:
    // A chain's identity: host, source, key id.
    using ChainId = std::tuple<std::string, std::string, std::string>;

    struct Link {
        uint64_t sequence = 0;
        std::string previous;
        std::string hash;
        std::string path;
    };

    struct Finding {
        ChainId chain;
        std::string text;
        std::string acknowledgedBy = {};  // set when an operator acknowledged it in the witness
        std::string acknowledgedOn = {};
    };

    void add(const SealCheck::Result& result, const std::string& path);
    std::vector<Finding> findings() const;

    // The files of each chain, ordered by sequence (files with one number in path order).
    const std::map<ChainId, std::vector<Link>>& chains() const;

    static std::string describe(const ChainId& chain);

private:
    mutable std::map<ChainId, std::vector<Link>> links;
    mutable bool sorted = true;
};

}  // namespace KelvraCorelib
