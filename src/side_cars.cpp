#include "side_cars.h"

#include "platform.h"

namespace {

constexpr char kJournalSuffix[] = ".gapmend-journal";

}  // namespace

SplitPath Split(const std::string& path) {
    const std::size_t slash = path.find_last_of(platform::kPathSeparators);
    if (slash == std::string::npos) return {".", "", path};
    const std::size_t directory_end = platform::IsRootBefore(path, slash) ? slash + 1 : slash;
    return {path.substr(0, directory_end), path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string JournalPathFor(const std::string& file) { return file + kJournalSuffix; }

std::string StemOf(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool IsSideCarName(const std::string& file_name, const std::string& name) {
    if (name.empty() || name == "." || name.find("..") != std::string::npos ||
        name.find_first_of(std::string("/\\\0", 3)) != std::string::npos ||
        name == file_name + kJournalSuffix)
        return false;
    const std::string stem = StemOf(file_name);
    return name == stem || name.compare(0, stem.size() + 1, stem + ".") == 0;
}
