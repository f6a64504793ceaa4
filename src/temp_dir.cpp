#include "temp_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

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

namespace {

constexpr char kPrefix[] = "gapmend-";
constexpr char kLock[] = "/lock";

// Holds the lock of a private directory, or -1 when another run holds it or it has none.
int LockDirectory(const std::string& dir, int flags) {
    const int fd = open((dir + kLock).c_str(), O_RDONLY | O_CLOEXEC | flags, 0600);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// Removes what runs killed before they could clean up left in `parent`: this user's private
// directories whose lock nobody holds. A directory still without a lock is being made.
void RemoveAbandoned(const std::string& parent) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(parent, error)) {
        const std::string name = entry.path().filename().string();
        struct stat info {};
        if (name.size() != sizeof kPrefix - 1 + 6 ||
            name.compare(0, sizeof kPrefix - 1, kPrefix) != 0 ||
            lstat(entry.path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            info.st_uid != geteuid())
            continue;
        const int lock = LockDirectory(entry.path().string(), 0);
        if (lock < 0) continue;
        std::filesystem::remove_all(entry.path(), error);
        close(lock);
    }
}

}  // namespace

PrivateTempDir::PrivateTempDir(const std::string& parent) {
    RemoveAbandoned(parent);
    std::string name = parent + "/" + kPrefix + "XXXXXX";
    if (!mkdtemp(name.data())) {
        error_ = std::strerror(errno);
        return;
    }
    path_ = name;
    lock_ = LockDirectory(path_, O_CREAT);
}

PrivateTempDir::~PrivateTempDir() {
    if (lock_ >= 0) close(lock_);
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
