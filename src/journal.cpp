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

// A batch's records go out in parts of this size as they come, so that a large batch, recorded
// ahead of the write-back, is neither held in memory whole nor waited for at its sync.
constexpr std::size_t kPartBytes = 8 << 20;

void Journal::Add(const std::vector<unsigned char>& record) {
    unwritten_.insert(unwritten_.end(), record.begin(), record.end());
    if (unwritten_.size() < kPartBytes || !WriteRecords(0)) return;
    platform::StartWriteBack(fd_, size_ + kBatchHeadSize + written_ - unwritten_.size(),
                             unwritten_.size());
    unwritten_.clear();  // its memory stays, for the next part
}

// Writes the records not written yet after those that are, with `zeros_after` zeros.
bool Journal::WriteRecords(std::size_t zeros_after) {
    if (failed_) return false;
    const std::uint64_t at = size_ + kBatchHeadSize + written_;
    const std::size_t records = unwritten_.size();
    unwritten_.resize(records + zeros_after);
    if (!WriteAt(fd_, unwritten_, at)) return !(failed_ = true);
    unwritten_.resize(records);
    written_ += records;
    return true;
}

int Journal::AddFile(const std::string& name, long long original_length) {
    platform::FileInfo info;
    const std::uint32_t mode =
        platform::InfoAt(Split(path_).prefix + name, info) ? info.mode & 0777 : 0;
    std::vector<unsigned char> payload;
    Put(payload, mode);
    payload.insert(payload.end(), name.begin(), name.end());
    Add(Record(kFile, files_, static_cast<std::uint64_t>(original_length), payload.data(),
               payload.size(), salt_));
    return files_++;
}

void Journal::AddBytes(int file, std::uint64_t offset, const void* bytes, std::size_t size) {
    Add(Record(kBytes, file, offset, bytes, size, salt_));
}

bool Journal::BytesRecord(int file, std::uint64_t offset, std::size_t size,
                          const std::function<bool(unsigned char*)>& read,
                          std::vector<unsigned char>& record) const {
    return RecordInPlace(record, kBytes, file, offset, size, salt_, read);
}

// One batch: its head, the records, zeros to the next page. The records not written yet and the
// zeros go out in one write, then the head, then a sync. The first sync takes the journal's
// directory entry along.
bool Journal::Sync() {
    if (failed_) return false;
    if (unwritten_.empty() && written_ == 0) return true;  // all that was recorded is on the disk
    const std::uint64_t length = written_ + unwritten_.size();
    const std::uint64_t used = kBatchHeadSize + length;
    const std::vector<unsigned char> head = Record(kBatch, batches_, length, nullptr, 0, salt_);
    if (!WriteRecords(RoundUpToPage(used) - used) || !WriteAt(fd_, head, size_) ||
        !platform::SyncFile(fd_) || (batches_ == 0 && !SyncDirectory(path_)))
        return !(failed_ = true);
    unwritten_.clear();
    written_ = 0;
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

std::vector<std::pair<std::uint64_t, std::uint64_t>> NewParts(const JournaledRanges& ranges,
                                                              std::uint64_t begin,
                                                              std::uint64_t end) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> parts;
    std::uint64_t at = begin;
    auto next = ranges.upper_bound(begin);
    if (next != ranges.begin()) at = std::max(at, std::prev(next)->second);
    for (; at < end; ++next) {
        const std::uint64_t stop = next == ranges.end() ? end : std::min(end, next->first);
        if (at < stop) parts.emplace_back(at, stop);
        if (next == ranges.end()) break;
        at = std::max(at, next->second);
    }
    return parts;
}

void AddRange(JournaledRanges& ranges, std::uint64_t begin, std::uint64_t end) {
    auto first = ranges.upper_bound(begin);
    if (first != ranges.begin() && std::prev(first)->second >= begin) --first;
    auto last = first;
    for (; last != ranges.end() && last->first <= end; ++last) {
        begin = std::min(begin, last->first);
        end = std::max(end, last->second);
    }
    ranges.erase(first, last);
    ranges[begin] = end;
}

bool ForEachNewPart(JournaledRanges& ranges, std::uint64_t begin, std::uint64_t end,
                    const std::function<bool(std::uint64_t, std::uint64_t)>& each) {
    for (const auto& [start, stop] : NewParts(ranges, begin, end))
        if (!each(start, stop)) return false;
    AddRange(ranges, begin, end);
    return true;
}
