#include "journal.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>

#include "journal_format.h"
#include "platform.h"
#include "side_cars.h"

using namespace journal_format;

namespace {

bool SyncDirectory(const std::string& path) {
    return platform::SyncDirectory(Split(path).directory);
}

bool WriteAt(platform::FileHandle fd, const std::vector<unsigned char>& bytes, std::uint64_t at) {
    return platform::WriteWhole(fd, bytes.data(), bytes.size(), at) == platform::Whole::kYes;
}

}  // namespace

Journal::Journal(std::string path, platform::FileHandle fd, std::uint64_t salt)
    : path_(std::move(path)), fd_(fd), salt_(salt) {}

Journal::~Journal() { platform::CloseFile(fd_); }

std::unique_ptr<Journal> Journal::Create(const std::string& file, platform::FileIdentity identity,
                                         NotCreated& not_created) {
    const std::string path = JournalPathFor(file);
    // A new name only: an existing one, a symbolic link too, is never opened.
    const platform::FileHandle fd = platform::OpenFile(path, platform::Open::kCreateNew);
    if (fd == platform::kNoFile) {
        not_created = {platform::LastFailure() == platform::Failure::kDenied,
                       platform::LastError()};
        return nullptr;
    }
    const std::uint64_t salt = std::random_device()() * 4294967296ull + std::random_device()();
    std::unique_ptr<Journal> journal(new Journal(path, fd, salt));
    journal->header_ = HeaderBytes({salt, identity});
    std::vector<unsigned char> page(journal->header_);
    page.resize(kPage);
    const platform::Whole written = platform::WriteWhole(fd, page.data(), page.size(), 0);
    if (written != platform::Whole::kYes) {
        // A short write without an error: the disk is full.
        not_created = {false, written == platform::Whole::kError ? platform::LastError()
                                                                 : "No space left on device"};
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
    const std::uint32_t mode =
        platform::InfoAt(Split(path_).prefix + name, info) ? info.mode & 0777 : 0;
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
    if (!WriteAt(fd_, head, size_) || !platform::SyncFile(fd_) ||
        (batches_ == 0 && !SyncDirectory(path_)))
        return !(failed_ = true);
    size_ += RoundUpToPage(used);
    ++batches_;
    return true;
}

bool Journal::Commit(bool names_changed) {
    if (failed_ || (names_changed && !SyncDirectory(path_))) return false;
    if (!RetireHeader(fd_)) {  // the header on the disk may be either: make it whole again
        WriteAt(fd_, header_, 0);
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
