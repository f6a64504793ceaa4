// platform.h on Linux and the other POSIX systems.
#include "platform.h"

#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

int FlagsOf(Open how) {
    return how == Open::kRead        ? O_RDONLY
           : how == Open::kReadWrite ? O_RDWR
                                     : O_RDWR | O_CREAT | O_EXCL;
}

}  // namespace

FileHandle OpenFile(const std::string& path, Open how) {
    return open(path.c_str(), FlagsOf(how) | O_CLOEXEC, 0600);
}

void CloseFile(FileHandle file) {
    if (file != kNoFile) close(static_cast<int>(file));
}

long long ReadAt(FileHandle file, void* data, std::size_t size, std::uint64_t offset) {
    return pread(static_cast<int>(file), data, size, static_cast<off_t>(offset));
}

long long WriteAt(FileHandle file, const void* data, std::size_t size, std::uint64_t offset) {
    return pwrite(static_cast<int>(file), data, size, static_cast<off_t>(offset));
}

bool SyncFile(FileHandle file) { return fsync(static_cast<int>(file)) == 0; }

bool SyncData(FileHandle file) { return fdatasync(static_cast<int>(file)) == 0; }

void StartWriteBack(FileHandle file, std::uint64_t offset, std::uint64_t length) {
#if defined(__linux__)
    sync_file_range(static_cast<int>(file), static_cast<off_t>(offset), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WRITE);
#else
    (void)file, (void)offset, (void)length;
#endif
}

bool SyncDataAt(const std::string& path) {
    const FileHandle file = OpenFile(path, Open::kRead);
    if (file == kNoFile) return false;
    const bool synced = SyncData(file);
    CloseFile(file);
    return synced;
}

bool SyncDirectory(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

bool Truncate(FileHandle file, std::uint64_t length) {
    return ftruncate(static_cast<int>(file), static_cast<off_t>(length)) == 0;
}

Removed RemoveFile(const std::string& path) {
    if (unlink(path.c_str()) == 0) return Removed::kYes;
    return errno == ENOENT ? Removed::kAbsent : Removed::kFailed;
}

FileIdentity IdentityOf(FileHandle file) {
    struct stat info {};
    if (fstat(static_cast<int>(file), &info) != 0) return {};
    FileIdentity id{static_cast<std::uint64_t>(info.st_ino), 0, 0};
#ifdef STATX_BTIME
    struct statx extended {};
    if (statx(static_cast<int>(file), "", AT_EMPTY_PATH, STATX_BTIME, &extended) == 0 &&
        (extended.stx_mask & STATX_BTIME)) {
        id.birth_seconds = extended.stx_btime.tv_sec;
        id.birth_nanoseconds = extended.stx_btime.tv_nsec;
    }
#endif
    return id;
}

bool OpenDirectory(const std::string& path, Directory& directory) {
    directory.path = path;
    directory.handle = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return directory.handle != kNoFile;
}

void CloseDirectory(Directory& directory) {
    CloseFile(directory.handle);
    directory.handle = kNoFile;
}

bool SyncDirectory(const Directory& directory) {
    return fsync(static_cast<int>(directory.handle)) == 0;
}

namespace {

Failure FailureOf(int error) {
    switch (error) {
        case ENOENT:
            return Failure::kMissing;
        case ELOOP:  // a symbolic link, with O_NOFOLLOW
        case EISDIR:
        case ENXIO:  // a FIFO without a writer, or a device, with O_NONBLOCK
            return Failure::kNotAFile;
        case EACCES:
        case EPERM:
        case EROFS:
            return Failure::kDenied;
        default:
            return Failure::kOther;
    }
}

void Fill(const struct stat& stat, FileInfo& info) {
    info.regular = S_ISREG(stat.st_mode);
    info.size = static_cast<std::uint64_t>(stat.st_size);
    info.links = static_cast<std::uint32_t>(stat.st_nlink);
    info.mode = stat.st_mode & 07777;
    info.others_may_write = (stat.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    info.owner = std::to_string(stat.st_uid);
}

}  // namespace

Failure LastFailure() { return FailureOf(errno); }

FileHandle OpenIn(const Directory& directory, const std::string& name, Open how, Failure& failure) {
    const int fd = openat(static_cast<int>(directory.handle), name.c_str(),
                          FlagsOf(how) | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    struct stat stat {};
    failure = fd < 0 ? FailureOf(errno) : Failure::kNone;
    if (fd >= 0 && (fstat(fd, &stat) != 0 || !S_ISREG(stat.st_mode))) {
        close(fd);
        failure = Failure::kNotAFile;
        return kNoFile;
    }
    return fd < 0 ? kNoFile : fd;
}

Removed RemoveIn(const Directory& directory, const std::string& name) {
    if (unlinkat(static_cast<int>(directory.handle), name.c_str(), 0) == 0) return Removed::kYes;
    return errno == ENOENT ? Removed::kAbsent : Removed::kFailed;
}

bool InfoOf(FileHandle file, FileInfo& info) {
    struct stat stat {};
    if (fstat(static_cast<int>(file), &stat) != 0) return false;
    Fill(stat, info);
    return true;
}

bool InfoIn(const Directory& directory, const std::string& name, FileInfo& info) {
    struct stat stat {};
    if (fstatat(static_cast<int>(directory.handle), name.c_str(), &stat, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    Fill(stat, info);
    return true;
}

bool InfoAt(const std::string& path, FileInfo& info) {
    struct stat stat {};
    if (lstat(path.c_str(), &stat) != 0) return false;
    Fill(stat, info);
    return true;
}

bool IsOwnOwner(const std::string& owner) { return owner == std::to_string(geteuid()); }

bool SetMode(FileHandle file, std::uint32_t mode) {
    return fchmod(static_cast<int>(file), static_cast<mode_t>(mode)) == 0;
}

bool TryLockExclusive(FileHandle file) {
    return flock(static_cast<int>(file), LOCK_EX | LOCK_NB) == 0;
}

std::string LastError() { return std::strerror(errno); }

bool IsRootBefore(const std::string&, std::size_t slash) { return slash == 0; }

bool IsOwnDirectory(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid();
}

std::string SystemTempDirectory() {
    const char* tmpdir = std::getenv("TMPDIR");
    return tmpdir && *tmpdir ? tmpdir : "/tmp";
}

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t Signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : kSignals) sigaddset(&set, signal_number);
    return set;
}

}  // namespace

void CatchInterruptions(void (*note)(int)) {
    struct sigaction action {};
    action.sa_handler = note;
    action.sa_flags = SA_RESTART;  // a noted signal must not fail the write it arrives in
    sigemptyset(&action.sa_mask);
    for (int signal_number : kSignals) sigaction(signal_number, &action, nullptr);
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
}

MemoryLimit TightestMemoryLimit() {
    long long pages[6] = {};  // size resident shared text lib data: data counts heap and stacks
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm) {
        for (long long& field : pages)
            if (std::fscanf(statm, "%lld", &field) != 1) field = 0;
        std::fclose(statm);
    }
    const long long page = sysconf(_SC_PAGESIZE);
    const struct {
        int resource;
        long long used;
        const char* name;
    } limits[] = {{RLIMIT_AS, pages[0] * page, "the address space's limit (RLIMIT_AS, ulimit -v)"},
                  {RLIMIT_DATA, pages[5] * page, "the data limit (RLIMIT_DATA, ulimit -d)"}};
    MemoryLimit tightest;
    for (const auto& limit : limits) {
        rlimit value{};
        if (getrlimit(limit.resource, &value) != 0 || value.rlim_cur == RLIM_INFINITY) continue;
        const long long room = static_cast<long long>(value.rlim_cur) - limit.used;
        if (tightest.bytes >= 0 && room >= tightest.bytes - tightest.used) continue;
        tightest = {static_cast<long long>(value.rlim_cur), limit.used, limit.name};
    }
    return tightest;
}

void HoldInterruptions() {
    const sigset_t set = Signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ReleaseInterruptions() {
    const sigset_t set = Signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void EndByInterruption(int signal_number) {
    signal(signal_number, SIG_DFL);
    ReleaseInterruptions();
    raise(signal_number);
    _Exit(128 + signal_number);  // not reached: the default action of these signals ends it
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void KeepFreedMemory() {
#if defined(__GLIBC__)
    // glibc maps every allocation over 32 MiB afresh and unmaps it when freed, and hands the
    // heap's free top back past 128 KiB: neither, up to 1 GiB, more than all but the widest
    // rasters' windows. Setting either threshold fixes the other where it stands: the trimming's
    // is set only once the mapping's is, or every allocation over 128 KiB would be mapped.
    constexpr int kKept = 1 << 30;
    mallopt(M_ARENA_MAX, 1);
    if (mallopt(M_MMAP_THRESHOLD, kKept) == 1) mallopt(M_TRIM_THRESHOLD, kKept);
#endif
}

std::string BundledProjData() { return ""; }

}  // namespace platform
