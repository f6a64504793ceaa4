#include "journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <random>

#include "journal_format.h"

using namespace journal_format;

namespace {

constexpr char kSuffix[] = ".gapmend-journal";

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Sibling(const std::string& path, const std::string& name) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
}

bool SyncDirectory(const std::string& path) {
    const int fd = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

bool WriteAt(int fd, const void* data, std::size_t size, off_t offset) {
    return pwrite(fd, data, size, offset) == static_cast<ssize_t>(size);
}

}  // namespace

FileIdentity IdentityOf(int fd) {
#ifdef STATX_BTIME
    struct statx extended {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &extended) == 0) {
        if (!(extended.stx_mask & STATX_BTIME)) return {extended.stx_ino, 0, 0};
        return {extended.stx_ino, extended.stx_btime.tv_sec, extended.stx_btime.tv_nsec};
    }
#endif
    // No birth time: the inode alone. Not the change time, which every write moves.
    struct stat info {};
    if (fstat(fd, &info) != 0) return {};
    return {static_cast<std::uint64_t>(info.st_ino), 0, 0};
}

bool IsSideCarName(const std::string& file_name, const std::string& name) {
    if (name.empty() || name == "." || name.find("..") != std::string::npos ||
        name.find_first_of(std::string("/\\\0", 3)) != std::string::npos ||
        name == file_name + kSuffix)
        return false;
    const std::size_t dot = file_name.rfind('.');
    const std::string stem =
        dot == std::string::npos || dot == 0 ? file_name : file_name.substr(0, dot);
    return name == stem || name.compare(0, stem.size() + 1, stem + ".") == 0;
}

std::string Journal::PathFor(const std::string& file) { return file + kSuffix; }

Journal::Journal(std::string path, int fd, std::uint64_t salt)
    : path_(std::move(path)), fd_(fd), salt_(salt) {}

Journal::~Journal() { close(fd_); }

std::unique_ptr<Journal> Journal::Create(const std::string& file, FileIdentity identity) {
    const std::string path = PathFor(file);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    const std::uint64_t salt = std::random_device()() * 4294967296ull + std::random_device()();
    std::unique_ptr<Journal> journal(new Journal(path, fd, salt));
    std::vector<unsigned char>& header = journal->header_;
    header.assign(kMagic, kMagic + sizeof kMagic);
    Put(header, salt);
    Put(header, identity.inode);
    Put(header, identity.birth_seconds);
    Put(header, identity.birth_nanoseconds);
    Put(header, Checksum(salt, header.data(), header.size()));
    std::vector<unsigned char> page(header);
    page.resize(kPage);
    const ssize_t written = pwrite(fd, page.data(), page.size(), 0);
    if (written != static_cast<ssize_t>(page.size())) {
        const int error = written < 0 ? errno : ENOSPC;  // a short write: the disk is full
        unlink(path.c_str());
        errno = error;
        return nullptr;
    }
    journal->size_ = kPage;
    return journal;
}

void Journal::Append(const std::vector<unsigned char>& record) {
    unwritten_.insert(unwritten_.end(), record.begin(), record.end());
}

int Journal::AddFile(const std::string& name, long long original_length) {
    struct stat info {};
    const std::uint32_t mode =
        lstat(Sibling(path_, name).c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
    std::vector<unsigned char> payload;
    Put(payload, mode);
    payload.insert(payload.end(), name.begin(), name.end());
    Append(Record(kFile, files_, static_cast<std::uint64_t>(original_length), payload.data(),
                  payload.size(), salt_));
    return files_++;
}

void Journal::AddBytes(int file, std::uint64_t offset, const void* bytes, std::size_t size) {
    Append(Record(kBytes, file, offset, bytes, size, salt_));
}

// One batch: its head, the records, zeros to the next page; one write, then a sync. The first
// sync takes the journal's directory entry along.
bool Journal::Sync() {
    if (failed_) return false;
    if (unwritten_.empty()) return true;  // all that was recorded is on the disk already
    std::vector<unsigned char> head =
        Record(kBatch, batches_, unwritten_.size(), nullptr, 0, salt_);
    const std::size_t used = head.size() + unwritten_.size();
    static const unsigned char zeros[kPage] = {};
    iovec parts[] = {{head.data(), head.size()},
                     {unwritten_.data(), unwritten_.size()},
                     {const_cast<unsigned char*>(zeros), RoundUpToPage(used) - used}};
    const ssize_t written = pwritev(fd_, parts, 3, static_cast<off_t>(size_));
    unwritten_.clear();
    if (written != static_cast<ssize_t>(RoundUpToPage(used)) || fsync(fd_) != 0 ||
        (batches_ == 0 && !SyncDirectory(path_)))
        return !(failed_ = true);
    size_ += RoundUpToPage(used);
    ++batches_;
    return true;
}

bool Journal::Commit(bool names_changed) {
    static const unsigned char zeros[kHeaderSize] = {};
    if (failed_ || (names_changed && !SyncDirectory(path_)) || !WriteAt(fd_, zeros, kHeaderSize, 0))
        return false;
    if (fdatasync(fd_) != 0) {  // the header on the disk may be either: make it whole again
        WriteAt(fd_, header_.data(), kHeaderSize, 0);
        return false;
    }
    // Committed. Were the deletion or its sync lost, the zero header would still not be applied.
    if (unlink(path_.c_str()) == 0) SyncDirectory(path_);
    return true;
}

void Journal::Discard() { unlink(path_.c_str()); }

bool SyncFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fdatasync(fd) == 0;
    close(fd);
    return synced;
}

bool ForEachNewPart(JournaledRanges& ranges, std::uint64_t begin, std::uint64_t end,
                    const std::function<bool(std::uint64_t, std::uint64_t)>& each) {
    std::uint64_t at = begin;
    auto next = ranges.upper_bound(begin);
    if (next != ranges.begin()) at = std::max(at, std::prev(next)->second);
    for (; at < end; ++next) {
        const std::uint64_t stop = next == ranges.end() ? end : std::min(end, next->first);
        if (at < stop && !each(at, stop)) return false;
        if (next == ranges.end()) break;
        at = std::max(at, next->second);
    }
    auto first = ranges.upper_bound(begin);
    if (first != ranges.begin() && std::prev(first)->second >= begin) --first;
    auto last = first;
    for (; last != ranges.end() && last->first <= end; ++last) {
        begin = std::min(begin, last->first);
        end = std::max(end, last->second);
    }
    ranges.erase(first, last);
    ranges[begin] = end;
    return true;
}
