#pragma once
// Conversions to int that stay defined for any input: out-of-range values
// saturate, NaN gives 0.
#include <climits>

namespace pelmora {

inline int truncateToInt(double value)
{
    if (!(value == value)) return 0;
    if (value >= 2147483647.0) return INT_MAX;
    if (value <= -2147483648.0) return INT_MIN;
    return static_cast<int>(value);
}

inline int clampToInt(long long value)
{
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

} // namespace pelmora
