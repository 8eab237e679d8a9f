#include "datahandling/SealChainCheck.h"

#include <algorithm>

namespace KelvraCorelib {

void SealChainCheck::add(const SealCheck::Result& result, const std::string& path)
{
    links[{result.host, result.source, result.keyId}].push_back({result.sequence, result.previous, result.hash, path});
    sorted = false;
}

const std::map<SealChainCheck::ChainId, std::vector<SealChainCheck::Link>>& SealChainCheck::chains() const
{
    if (!sorted) {
        for (auto& [id, chain] : links) {
            std::sort(chain.begin(), chain.end(), [](const Link& a, const Link& b) {
                return a.sequence != b.sequence ? a.sequence < b.sequence : a.path < b.path;
            });
        }
        sorted = true;
    }
    return links;
}

std::string SealChainCheck::describe(const ChainId& chain)
{
    return "host " + std::get<0>(chain) + ", source " + std::get<1>(chain) + ", key " + std::get<2>(chain);
}

std::vector<SealChainCheck::Finding> SealChainCheck::findings() const
{
    std::vector<Finding> found;
    for (const auto& [id, chain] : chains()) {
        const std::string where = describe(id) + ": ";
        for (size_t i = 1; i < chain.size(); ++i) {
            const Link& before = chain[i - 1];
            const Link& link = chain[i];
            if (link.sequence == before.sequence) {
                if (link.hash != before.hash) {
                    found.push_back({id, where + "two files with sequence " + std::to_string(link.sequence) + ": " +
                                             before.path + " and " + link.path});
                }
                continue;
            }
            if (link.sequence > before.sequence + 1) {
                found.push_back({id, where + std::to_string(link.sequence - before.sequence - 1) +
                                         " missing after sequence " + std::to_string(before.sequence)});
                continue;
            }
            if (link.previous != before.hash) {
                found.push_back({id, where + link.path + " (sequence " + std::to_string(link.sequence) +
                                         ") does not follow " + before.path + ": seal.previous differs"});
            }
        }
    }
    return found;
}

}  // namespace KelvraCorelib
