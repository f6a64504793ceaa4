#include "temp_dir.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>
#include <vector>

#include <cpl_conv.h>
#include <cpl_vsi.h>

namespace fs = std::filesystem;

std::string PrivateTempDir::Parent() {
    const char* value = CPLGetConfigOption("CPL_TMPDIR", nullptr);
    return value && *value ? value : platform::SystemTempDirectory();
}

namespace {

constexpr char kPrefix[] = "gapmend-";
constexpr std::size_t kSuffixSize = 6;
constexpr char kLock[] = "lock";

// A directory without a lock is being made, or its removal was cut short by a kill. A day is
// far longer than the first can take.
constexpr auto kLocklessAge = std::chrono::hours(24);

// Paths are UTF-8, as GDAL takes them, on every platform.
fs::path PathOf(const std::string& utf8) { return fs::u8path(utf8); }

// Holds the lock of a private directory, or kNoFile when another run holds it or it has none.
platform::FileHandle LockDirectory(const std::string& dir) {
    const platform::FileHandle lock = platform::OpenFile(dir + "/" + kLock, platform::Open::kRead);
    if (lock != platform::kNoFile && platform::TryLockExclusive(lock)) return lock;
    platform::CloseFile(lock);
    return platform::kNoFile;
}

// A new directory's lock, held before it has its name: were it locked only once made, another
// run's clean-up could find it unlocked in between and take the directory for abandoned.
platform::FileHandle MakeLock(const std::string& dir) {
    const std::string pending = dir + "/" + kLock + ".new", lock_path = dir + "/" + kLock;
    const platform::FileHandle lock = platform::OpenFile(pending, platform::Open::kCreateNew);
    if (lock != platform::kNoFile && platform::TryLockExclusive(lock) &&
        VSIRename(pending.c_str(), lock_path.c_str()) == 0)
        return lock;
    platform::CloseFile(lock);
    return platform::kNoFile;
}

// Removes a private directory and everything in it. The lock goes last: a kill on the way leaves
// a locked directory, which the next run knows to be abandoned, never a lockless one that still
// holds a scratch file. Windows removes no open file, so the lock is closed before it goes.
void RemoveDirectory(const fs::path& dir, platform::FileHandle lock) {
    std::error_code error;  // nothing sensible is left to do about a failure here
    std::vector<fs::path> contents;
    for (const auto& entry : fs::directory_iterator(dir, error))
        if (entry.path().filename() != kLock) contents.push_back(entry.path());
    for (const fs::path& path : contents) fs::remove_all(path, error);
    platform::CloseFile(lock);
    fs::remove(dir / kLock, error);
    fs::remove(dir, error);
}

bool Lockless(const fs::path& dir) {
    std::error_code error;
    return !fs::exists(dir / kLock, error) && !error &&
           fs::file_time_type::clock::now() - fs::last_write_time(dir, error) > kLocklessAge &&
           !error;
}

// Removes what runs killed before they could clean up left in `parent`: this user's private
// directories whose lock nobody holds, and those left without a lock for more than a day.
void RemoveAbandoned(const std::string& parent) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(PathOf(parent), error)) {
        const std::string name = entry.path().filename().u8string();
        if (name.size() != sizeof kPrefix - 1 + kSuffixSize ||
            name.compare(0, sizeof kPrefix - 1, kPrefix) != 0 ||
            !platform::IsOwnDirectory(entry.path().u8string()))
            continue;
        const platform::FileHandle lock = LockDirectory(entry.path().u8string());
        if (lock != platform::kNoFile || Lockless(entry.path()))
            RemoveDirectory(entry.path(), lock);
    }
}

std::string RandomSuffix() {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    std::string suffix(kSuffixSize, ' ');
    for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
    return suffix;
}

}  // namespace

PrivateTempDir::PrivateTempDir(const std::string& parent) {
    RemoveAbandoned(parent);
    for (int tries = 0; tries < 100; ++tries) {
        const std::string name = parent + "/" + kPrefix + RandomSuffix();
        if (VSIMkdir(name.c_str(), 0700) == 0) {
            path_ = name;
            lock_ = MakeLock(path_);
            return;
        }
        if (errno != EEXIST) break;
    }
    error_ = std::strerror(errno);
}

PrivateTempDir::~PrivateTempDir() {
    if (!path_.empty()) RemoveDirectory(PathOf(path_), lock_);
}

long long PrivateTempDir::FreeBytes() const {
    return path_.empty() ? -1 : VSIGetDiskFreeSpace(path_.c_str());
}
