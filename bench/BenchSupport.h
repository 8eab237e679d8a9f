#pragma once
// Clock and statistics shared by the benchmark programs.
#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

// Seconds of the steady clock.
inline double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The largest value less the smallest.
inline double spread(const std::vector<double>& values)
{
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return *high - *low;
}

}  // namespace bench
