#pragma once

#include <functional>
#include <string>

// gapMend speaks for itself in single lines on standard error, "gapMend: <text>", and only run.cpp
// writes them. The units hand their texts back, or, for what must be said before the run goes
// on, to a Warn that run.cpp gives them.
using Warn = std::function<void(const std::string& text)>;

// A file's name as messages give it: in single quotes.
inline std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// A size as messages give it: in megabytes (10^6 bytes), rounded up.
inline std::string Megabytes(long long bytes) {
    return std::to_string((bytes + 999999) / 1000000) + " MB";
}
