#include "temp_dir.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <cpl_conv.h>

std::string PrivateTempDir::Parent() {
    for (const char* name : {"CPL_TMPDIR", "TMPDIR"}) {
        const char* value = CPLGetConfigOption(name, nullptr);
        if (value && *value) return value;
    }
    return "/tmp";
}

PrivateTempDir::PrivateTempDir(const std::string& parent) {
    std::string name = parent + "/gapmend-XXXXXX";
    if (mkdtemp(name.data()))
        path_ = name;
    else
        error_ = std::strerror(errno);
}

PrivateTempDir::~PrivateTempDir() {
    if (path_.empty()) return;
    std::error_code ignored;  // nothing sensible is left to do about a failure here
    std::filesystem::remove_all(path_, ignored);
}

long long PrivateTempDir::FreeBytes() const {
    struct statvfs stats {};
    if (path_.empty() || statvfs(path_.c_str(), &stats) != 0) return -1;
    return static_cast<long long>(stats.f_bavail) * static_cast<long long>(stats.f_frsize);
}

GdalTempFilesIn::GdalTempFilesIn(const std::string& dir) {
    const char* previous = CPLGetConfigOption("CPL_TMPDIR", nullptr);
    had_previous_ = previous != nullptr;
    if (previous) previous_ = previous;
    CPLSetConfigOption("CPL_TMPDIR", dir.c_str());
}

GdalTempFilesIn::~GdalTempFilesIn() {
    CPLSetConfigOption("CPL_TMPDIR", had_previous_ ? previous_.c_str() : nullptr);
}
