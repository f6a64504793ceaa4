#include "journal.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>

#include "journal_format.h"
#include "platform.h"

using namespace journal_format;

namespace {

constexpr char kSuffix[] = ".gapmend-journal";

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of(platform::kPathSeparators);
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Sibling(const std::string& path, const std::string& name) {
    const std::size_t slash = path.find_last_of(platform::kPathSeparators);
    return slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
}

bool SyncDirectory(const std::string& path) { return platform::SyncDirectory(DirectoryOf(path)); }

bool WriteAt(platform::FileHandle fd, const void* data, std::size_t size, std::uint64_t offset) {
    return platform::WriteAt(fd, data, size, offset) == static_cast<long long>(size);
}

}  // namespace

// Where there is no birth time, the inode alone: not the change time, which every write moves.
FileIdentity IdentityOf(platform::FileHandle file) {
    platform::FileId id;
    if (!platform::IdentityOf(file, id)) return {};
    return {id.inode, id.birth_seconds, id.birth_nanoseconds};
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

Journal::Journal(std::string path, platform::FileHandle fd, std::uint64_t salt)
    : path_(std::move(path)), fd_(fd), salt_(salt) {}

Journal::~Journal() { platform::CloseFile(fd_); }

std::unique_ptr<Journal> Journal::Create(const std::string& file, FileIdentity identity,
                                         NotCreated& not_created) {
    const std::string path = PathFor(file);
    // A new name only: an existing one, a symbolic link too, is never opened.
    const platform::FileHandle fd = platform::OpenFile(path, platform::Open::kCreateNew);
    if (fd == platform::kNoFile) {
        not_created = {platform::LastFailure() == platform::Failure::kDenied,
                       platform::LastError()};
        return nullptr;
    }
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
    const long long written = platform::WriteAt(fd, page.data(), page.size(), 0);
    if (written != static_cast<long long>(page.size())) {
        // A short write without an error: the disk is full.
        not_created = {false, written < 0 ? platform::LastError() : "No space left on device"};
        journal.reset();
        platform::RemoveFile(path);
        return nullptr;
    }
    journal->size_ = kPage;
    return journal;
}

void Journal::Append(const std::vector<unsigned char>& record) {
    unwritten_.insert(unwritten_.end(), record.begin(), record.end());
}

int Journal::AddFile(const std::string& name, long long original_length) {
    platform::FileInfo info;
    const std::uint32_t mode = platform::InfoAt(Sibling(path_, name), info) ? info.mode & 0777 : 0;
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
    head.insert(head.end(), unwritten_.begin(), unwritten_.end());
    head.resize(RoundUpToPage(used));  // zeros to the next page
    unwritten_.clear();
    if (!WriteAt(fd_, head.data(), head.size(), size_) || !platform::SyncFile(fd_) ||
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
    if (!platform::SyncData(fd_)) {  // the header on the disk may be either: make it whole again
        WriteAt(fd_, header_.data(), kHeaderSize, 0);
        return false;
    }
    // Committed. Were the deletion or its sync lost, the zero header would still not be applied.
    Close();
    if (platform::RemoveFile(path_) == platform::Removed::kYes) SyncDirectory(path_);
    return true;
}

void Journal::Discard() {
    Close();
    platform::RemoveFile(path_);
}

// Windows removes a file only once no handle is open on it, so the journal is closed first.
void Journal::Close() {
    platform::CloseFile(fd_);
    fd_ = platform::kNoFile;
}

bool SyncFile(const std::string& path) { return platform::SyncDataAt(path); }

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
