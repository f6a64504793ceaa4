#pragma once

#include <string>

// The names around the file: how a path splits into its directory and its name, and which names
// beside the file are its side-cars and its journal. The guard, the journal and the recovery all
// go by these, so that they agree on which files are the file's.

// A path cut at its last separator (platform::kPathSeparators).
struct SplitPath {
    std::string directory;  // to open: "." for a bare name; a root keeps its separator ("/", "C:\")
    std::string prefix;     // all before the name, with its separator: "" for a bare name
    std::string name;
};
SplitPath Split(const std::string& path);

// The journal of a file: `<file>.gapmend-journal`, beside it.
std::string JournalPathFor(const std::string& file);

// The name without its last extension; a name that is all extension is its own stem.
std::string StemOf(const std::string& name);

// Whether `name` is one of the side-cars of the file named `file_name`, both bare names in one
// directory: a name of its own (no '/', '\', "..") that is the file's stem (the name without its
// last extension) or starts with the stem and a dot, but not the file's journal. The file itself
// qualifies when its name passes the same rule.
bool IsSideCarName(const std::string& file_name, const std::string& name);
