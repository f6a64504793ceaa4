#pragma once

#include <cstdio>
#include <string>

// The one way gapMend speaks for itself: a single line on standard error, "gapMend: <text>".
// GDAL's own error lines go their own way, before it.
inline void Say(const std::string& text) { std::fprintf(stderr, "gapMend: %s\n", text.c_str()); }

// A file's name as messages give it: in single quotes.
inline std::string Quoted(const std::string& text) { return "'" + text + "'"; }
