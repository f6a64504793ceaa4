#include "journal.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>

#include "platform.h"

// The journal's layout, all numbers little-endian as the machine writes them:
//   header:  "gapMend journal\n", salt, device, inode, checksum of the 40 bytes before it
//   records: kind, file index (u32 each), offset or original length, size (u64 each),
//            `size` bytes of payload (a file name, or original bytes), checksum of all of it
namespace {

constexpr char kMagic[16] = {'g', 'a', 'p', 'M', 'e', 'n', 'd', ' ',
                             'j', 'o', 'u', 'r', 'n', 'a', 'l', '\n'};
constexpr std::size_t kHeaderSize = 48;
constexpr std::size_t kRecordHeadSize = 24;
enum Kind : std::uint32_t { kFile = 1, kBytes = 2 };

// FNV-1a over 64-bit words (then the last bytes), seeded with the journal's salt.
std::uint64_t Checksum(std::uint64_t salt, const unsigned char* bytes, std::size_t size) {
    std::uint64_t hash = 14695981039346656037ull ^ salt;
    std::size_t i = 0;
    for (std::uint64_t word; i + 8 <= size; i += 8) {
        std::memcpy(&word, bytes + i, 8);
        hash = (hash ^ word) * 1099511628211ull;
    }
    for (; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

template <typename T>
void Put(std::vector<unsigned char>& out, T value) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

template <typename T>
T Get(const unsigned char* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

std::vector<unsigned char> Record(Kind kind, std::uint32_t file, std::uint64_t where,
                                  const void* payload, std::size_t size, std::uint64_t salt) {
    std::vector<unsigned char> record;
    record.reserve(kRecordHeadSize + size + 8);
    Put<std::uint32_t>(record, kind);
    Put<std::uint32_t>(record, file);
    Put<std::uint64_t>(record, where);
    Put<std::uint64_t>(record, size);
    const auto* bytes = static_cast<const unsigned char*>(payload);
    record.insert(record.end(), bytes, bytes + size);
    Put<std::uint64_t>(record, Checksum(salt, record.data(), record.size()));
    return record;
}

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

bool ReadAt(platform::FileHandle fd, void* data, std::size_t size, std::uint64_t offset) {
    return platform::ReadAt(fd, data, size, offset) == static_cast<long long>(size);
}

bool WriteAt(platform::FileHandle fd, const void* data, std::size_t size, std::uint64_t offset) {
    return platform::WriteAt(fd, data, size, offset) == static_cast<long long>(size);
}

bool RemoveJournal(const std::string& path) {
    return platform::RemoveFile(path) == platform::Removed::kYes && SyncDirectory(path);
}

}  // namespace

std::string Journal::PathFor(const std::string& file) { return file + ".gapmend-journal"; }

Journal::Journal(std::string path, platform::FileHandle fd, std::uint64_t salt)
    : path_(std::move(path)), fd_(fd), salt_(salt) {}

Journal::~Journal() { platform::CloseFile(fd_); }

std::unique_ptr<Journal> Journal::Create(const std::string& file, FileIdentity identity) {
    const std::string path = PathFor(file);
    const platform::FileHandle fd = platform::OpenFile(path, platform::Open::kCreateNew);
    if (fd == platform::kNoFile) return nullptr;
    const std::uint64_t salt = std::random_device()() * 4294967296ull + std::random_device()();
    std::unique_ptr<Journal> journal(new Journal(path, fd, salt));
    std::vector<unsigned char> header(kMagic, kMagic + sizeof kMagic);
    Put(header, salt);
    Put(header, identity.device);
    Put(header, identity.inode);
    Put(header, Checksum(salt, header.data(), header.size()));
    journal->Append(header);
    return journal;
}

void Journal::Append(const std::vector<unsigned char>& record) {
    unwritten_.insert(unwritten_.end(), record.begin(), record.end());
}

int Journal::AddFile(const std::string& name, long long original_length) {
    Append(Record(kFile, files_, static_cast<std::uint64_t>(original_length), name.data(),
                  name.size(), salt_));
    return files_++;
}

void Journal::AddBytes(int file, std::uint64_t offset, const void* bytes, std::size_t size) {
    Append(Record(kBytes, file, offset, bytes, size, salt_));
}

bool Journal::Sync() {
    if (!failed_ && !unwritten_.empty() &&
        !WriteAt(fd_, unwritten_.data(), unwritten_.size(), size_))
        failed_ = true;
    size_ += unwritten_.size();
    unwritten_.clear();
    if (failed_ || !platform::SyncFile(fd_)) return !(failed_ = true);
    if (!directory_synced_) directory_synced_ = SyncDirectory(path_);
    return directory_synced_ || !(failed_ = true);
}

bool Journal::Remove() { return RemoveJournal(path_); }

bool SyncFile(const std::string& path) {
    const platform::FileHandle fd = platform::OpenFile(path, platform::Open::kReadWrite);
    if (fd == platform::kNoFile) return false;
    const bool synced = platform::SyncData(fd);
    platform::CloseFile(fd);
    return synced;
}

namespace {

struct JournaledFile {
    std::string path;
    long long original_length;
    platform::FileHandle fd = platform::kNoFile;
};

// Reads the journal's records and applies them. A record that is cut short or fails its
// checksum ends the journal.
class Replay {
  public:
    Replay(const std::string& file, platform::FileHandle journal, std::uint64_t salt)
        : file_(file), journal_(journal), salt_(salt) {}
    ~Replay() {
        for (JournaledFile& f : files_) platform::CloseFile(f.fd);
    }

    bool Run(std::string& why) {
        std::uint64_t at = kHeaderSize;
        std::vector<unsigned char> record;
        while (Next(at, record)) {
            if (!Apply(record, why)) return false;
            at += record.size();
        }
        return Finish(why);
    }

  private:
    bool Next(std::uint64_t at, std::vector<unsigned char>& record) {
        record.resize(kRecordHeadSize);
        if (!ReadAt(journal_, record.data(), kRecordHeadSize, at)) return false;
        const std::uint64_t size = Get<std::uint64_t>(&record[16]);
        if (size > (1ull << 40)) return false;
        record.resize(kRecordHeadSize + size + 8);
        if (!ReadAt(journal_, &record[kRecordHeadSize], size + 8, at + kRecordHeadSize))
            return false;
        const std::size_t body = kRecordHeadSize + size;
        return Checksum(salt_, record.data(), body) == Get<std::uint64_t>(&record[body]);
    }

    bool Apply(const std::vector<unsigned char>& record, std::string& why) {
        const auto kind = Get<std::uint32_t>(&record[0]);
        const auto index = Get<std::uint32_t>(&record[4]);
        const auto where = Get<std::uint64_t>(&record[8]);
        const auto size = Get<std::uint64_t>(&record[16]);
        const unsigned char* payload = &record[kRecordHeadSize];
        if (kind == kFile && index == files_.size()) {
            const std::string name(reinterpret_cast<const char*>(payload), size);
            if (name.empty() || name.find_first_of(platform::kPathSeparators) != std::string::npos)
                return Bad(why);
            files_.push_back({Sibling(file_, name), static_cast<long long>(where)});
            return true;
        }
        if (kind != kBytes || index >= files_.size()) return Bad(why);
        JournaledFile& target = files_[index];
        if (target.fd == platform::kNoFile)
            target.fd = platform::OpenFile(target.path, platform::Open::kCreateOrOpen);
        if (target.fd != platform::kNoFile && WriteAt(target.fd, payload, size, where)) return true;
        why = "cannot write '" + target.path + "': " + platform::LastError();
        return false;
    }

    // Gives every file its original length (or removes it if it was new) and syncs it.
    bool Finish(std::string& why) {
        for (JournaledFile& f : files_) {
            if (f.original_length < 0) {
                if (platform::RemoveFile(f.path) == platform::Removed::kFailed)
                    return Failed(f, why);
                continue;
            }
            if (f.fd == platform::kNoFile)
                f.fd = platform::OpenFile(f.path, platform::Open::kCreateOrOpen);
            if (f.fd == platform::kNoFile || !platform::Truncate(f.fd, f.original_length) ||
                !platform::SyncData(f.fd))
                return Failed(f, why);
        }
        return true;
    }

    static bool Failed(const JournaledFile& f, std::string& why) {
        why = "cannot restore '" + f.path + "': " + platform::LastError();
        return false;
    }
    static bool Bad(std::string& why) {
        why = "the journal is damaged";
        return false;
    }

    const std::string& file_;
    const platform::FileHandle journal_;
    const std::uint64_t salt_;
    std::vector<JournaledFile> files_;
};

}  // namespace

Recovery RecoverFromJournal(const std::string& file, FileIdentity identity, std::string& why) {
    const std::string path = Journal::PathFor(file);
    const platform::FileHandle journal = platform::OpenFile(path, platform::Open::kRead);
    if (journal == platform::kNoFile) return Recovery::kNothing;
    unsigned char header[kHeaderSize];
    const bool complete =
        ReadAt(journal, header, kHeaderSize, 0) &&
        std::memcmp(header, kMagic, sizeof kMagic) == 0 &&
        Checksum(Get<std::uint64_t>(&header[16]), header, 40) == Get<std::uint64_t>(&header[40]);
    if (!complete) {  // synced before the first byte of the file was written: nothing to undo
        platform::CloseFile(journal);
        platform::RemoveFile(path);
        return Recovery::kNothing;
    }
    if (Get<std::uint64_t>(&header[24]) != identity.device ||
        Get<std::uint64_t>(&header[32]) != identity.inode) {
        platform::CloseFile(journal);
        why = "the journal '" + path + "' belongs to another file, not '" + file + "'";
        return Recovery::kForeign;
    }
    const bool restored = Replay(file, journal, Get<std::uint64_t>(&header[16])).Run(why);
    platform::CloseFile(journal);
    if (!restored) return Recovery::kFailed;
    if (!RemoveJournal(path)) {
        why = "cannot remove '" + path + "': " + platform::LastError();
        return Recovery::kFailed;
    }
    return Recovery::kRestored;
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
