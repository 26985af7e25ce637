#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

// The value below which a share `p` (0.5 the median, 0.99 p99) of `sorted`
// lies, as every benchmark here prints them; NaN when there is none.
inline double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return NAN;
    return sorted[std::min(sorted.size() - 1, std::size_t(p * double(sorted.size())))];
}
