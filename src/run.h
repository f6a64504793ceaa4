#pragma once

#include <algorithm>
#include <climits>
#include <cstdlib>

// The max search radius as the C library's atoi reads its text (leading white space, an optional
// sign, then digits up to the first non-digit; 0 when there are none), except that digits beyond
// the int range clamp to INT_MIN or INT_MAX instead of being undefined. Inline, so that the tests
// read the arguments as run.cpp does without linking its main.
inline int ParseMaxSearchRadius(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}
