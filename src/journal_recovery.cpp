// The journal's reader: checks a journal beside a file against journal.h's invariants 4 to 7 and,
// when it passes, rolls the files back from it.
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "journal.h"
#include "journal_format.h"
#include "platform.h"

using namespace journal_format;

namespace {

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// The batches of a journal, each read whole and checked before any of its records is used.
class Batches {
  public:
    enum class Scan { kWhole, kTorn, kDamaged, kUnreadable, kStopped };

    Batches(platform::FileHandle fd, std::uint64_t length, std::uint64_t salt)
        : fd_(fd), length_(length), salt_(salt) {}

    // Why the last kUnreadable scan could not read the journal.
    const std::string& error() const { return error_; }

    // Calls `each` for every record of every good batch, in order, until it returns false
    // (kStopped). A bad batch ends the scan: as a torn tail when no good batch head follows it.
    Scan ForEachRecord(const std::function<bool(const RecordView&)>& each) {
        std::vector<unsigned char> batch;
        std::uint32_t sequence = 0;
        for (std::uint64_t at = kPage; at < length_; ++sequence) {
            const Read read = ReadBatch(at, sequence, batch);
            if (read == Read::kUnreadable) return Scan::kUnreadable;
            if (read == Read::kBad)
                return GoodHeadAfter(at, sequence) ? Scan::kDamaged : Scan::kTorn;
            RecordView record{};
            for (std::size_t pos = 0; pos < batch.size();
                 pos += kHeadSize + record.size + kChecksumSize) {
                ReadRecord(&batch[pos], batch.size() - pos, salt_, record);
                if (!each(record)) return Scan::kStopped;
            }
            at = RoundUpToPage(at + kBatchHeadSize + batch.size());
        }
        return Scan::kWhole;
    }

  private:
    enum class Read { kGood, kBad, kUnreadable };

    bool ReadAt(void* data, std::size_t size, std::uint64_t offset) {
        const long long got = platform::ReadAt(fd_, data, size, offset);
        if (got == static_cast<long long>(size)) return true;
        error_ = got < 0 ? platform::LastError() : "it shrank while it was read";
        return false;
    }

    // Sizes are checked against the journal's length before anything is allocated.
    Read ReadBatch(std::uint64_t at, std::uint32_t sequence, std::vector<unsigned char>& batch) {
        unsigned char head[kBatchHeadSize];
        RecordView view{};
        if (length_ - at < kBatchHeadSize) return Read::kBad;
        if (!ReadAt(head, kBatchHeadSize, at)) return Read::kUnreadable;
        if (!ReadRecord(head, kBatchHeadSize, salt_, view) || view.kind != kBatch ||
            view.file != sequence || view.where > length_ - at - kBatchHeadSize)
            return Read::kBad;
        try {
            batch.resize(view.where);
        } catch (const std::bad_alloc&) {
            error_ = "Cannot allocate memory";
            return Read::kUnreadable;
        }
        if (!ReadAt(batch.data(), batch.size(), at + kBatchHeadSize)) return Read::kUnreadable;
        for (std::size_t pos = 0; pos < batch.size(); pos += kHeadSize + view.size + kChecksumSize)
            if (!ReadRecord(&batch[pos], batch.size() - pos, salt_, view) || view.kind == kBatch)
                return Read::kBad;
        return Read::kGood;
    }

    // Whether a later page begins with the head of a later batch that passes its checksum: then
    // the bad batch was synced before it, and is damaged rather than torn.
    bool GoodHeadAfter(std::uint64_t at, std::uint32_t sequence) {
        unsigned char head[kBatchHeadSize];
        RecordView view{};
        for (at += kPage; at + kBatchHeadSize <= length_; at += kPage) {
            if (!ReadAt(head, kBatchHeadSize, at)) return true;  // unknown: not to be trusted
            if (ReadRecord(head, kBatchHeadSize, salt_, view) && view.kind == kBatch &&
                view.file > sequence)
                return true;
        }
        return false;
    }

    const platform::FileHandle fd_;
    const std::uint64_t length_;
    const std::uint64_t salt_;
    std::string error_;
};

struct Target {
    std::string name;
    long long original_length;
    std::uint32_t mode;
    platform::FileHandle fd = platform::kNoFile;
};

// One recovery: every check first (Check), then the writes (Apply).
class Replay {
  public:
    Replay(const std::string& file, FileIdentity identity)
        : file_(file), identity_(identity), journal_path_(Journal::PathFor(file)) {
        const std::size_t slash = file.find_last_of(platform::kPathSeparators);
        // A root keeps its separator: "/", and on Windows "C:\".
        const bool root = slash == 0 || (slash != std::string::npos && file[slash - 1] == ':');
        directory_ = slash == std::string::npos ? "." : file.substr(0, root ? slash + 1 : slash);
        prefix_ = file.substr(0, slash == std::string::npos ? 0 : slash + 1);
        file_name_ = file.substr(prefix_.size());
        journal_name_ = Journal::PathFor(file_name_);
    }
    ~Replay() {
        for (const Target& target : targets_) platform::CloseFile(target.fd);
        platform::CloseFile(journal_);
        platform::CloseDirectory(directory_handle_);
    }

    Recovery Run(std::string& why) {
        platform::FileInfo probe;
        if (!platform::InfoAt(journal_path_, probe) &&
            platform::LastFailure() == platform::Failure::kMissing)
            return Recovery::kNothing;
        if (const std::optional<Recovery> refused = Check(why)) return *refused;
        return Apply(why) && Retire(why) ? Recovery::kRestored : Recovery::kFailed;
    }

  private:
    // Each step gives the outcome when the recovery ends there, or nothing when it goes on.
    std::optional<Recovery> Check(std::string& why) {
        if (const std::optional<Recovery> opened = OpenJournal(why)) return opened;
        if (const std::optional<Recovery> header = ReadHeader(why)) return header;
        Batches batches(journal_, length_, salt_);
        switch (
            batches.ForEachRecord([&](const RecordView& record) { return Plan(record, why); })) {
            case Batches::Scan::kUnreadable:
                return Refuse(why, "cannot be read: " + batches.error());
            case Batches::Scan::kDamaged:
                return Refuse(why, "is damaged: a bad record lies before good ones");
            case Batches::Scan::kStopped:
                return Recovery::kRefused;
            case Batches::Scan::kWhole:
            case Batches::Scan::kTorn:
                break;
        }
        if (!OpenTargets(why)) return Recovery::kRefused;
        return std::nullopt;
    }

    Recovery Refuse(std::string& why, const std::string& reason) const {
        why = "the journal " + Quoted(journal_path_) + " " + reason;
        return Recovery::kRefused;
    }

    // The journal itself: a regular file, not a link, of the file's owner or this user, that no
    // one else may write (invariant 6). Opened for writing too where this user may, so that its
    // header can be zeroed at the end.
    std::optional<Recovery> OpenJournal(std::string& why) {
        platform::FileInfo file, info;
        if (!platform::OpenDirectory(directory_, directory_handle_) ||
            !platform::InfoIn(directory_handle_, file_name_, file))
            return Refuse(why, "cannot be read: " + platform::LastError());
        platform::Failure failure = platform::Failure::kNone;
        journal_ =
            platform::OpenIn(directory_handle_, journal_name_, platform::Open::kReadWrite, failure);
        if (failure == platform::Failure::kDenied)
            journal_ =
                platform::OpenIn(directory_handle_, journal_name_, platform::Open::kRead, failure);
        if (failure == platform::Failure::kMissing) return Recovery::kNothing;
        if (failure != platform::Failure::kNone && failure != platform::Failure::kNotAFile)
            return Refuse(why, "cannot be read: " + platform::LastError());
        if (journal_ == platform::kNoFile || !platform::InfoOf(journal_, info) || !info.regular)
            return Refuse(why, "is not a regular file");
        if (info.owner != file.owner && !platform::IsOwnOwner(info.owner))
            return Refuse(why, "belongs to another user");
        if (info.others_may_write) return Refuse(why, "may be written by other users");
        owners_ = {file.owner, info.owner};
        length_ = info.size;
        return std::nullopt;
    }

    // A header that was never synced, or that the commit zeroed, leaves nothing to undo
    // (invariant 5); a read error is no such header.
    std::optional<Recovery> ReadHeader(std::string& why) {
        unsigned char header[kHeaderSize];
        if (length_ < kHeaderSize) return Discard();
        const long long got = platform::ReadAt(journal_, header, kHeaderSize, 0);
        if (got != static_cast<long long>(kHeaderSize))
            return Refuse(why, "cannot be read: " + (got < 0 ? platform::LastError()
                                                             : "it shrank while it was read"));
        if (std::all_of(header, header + kHeaderSize, [](unsigned char b) { return b == 0; }))
            return Discard();
        salt_ = Get<std::uint64_t>(&header[16]);
        if (std::memcmp(header, kMagic, sizeof kMagic) != 0 ||
            Checksum(salt_, header, 44) != Get<std::uint32_t>(&header[44]))
            return Refuse(why, "is damaged: its header is not a journal's");
        const FileIdentity named{Get<std::uint64_t>(&header[24]), Get<std::int64_t>(&header[32]),
                                 Get<std::uint32_t>(&header[40])};
        if (!(named == identity_))
            return Refuse(why, "belongs to another file, not " + Quoted(file_));
        return std::nullopt;
    }

    Recovery Discard() {
        platform::RemoveIn(directory_handle_, journal_name_);
        return Recovery::kNothing;
    }

    // What a good record asks for, checked against what the run could have written.
    bool Plan(const RecordView& record, std::string& why) {
        if (record.kind == kFile) {
            if (record.file != targets_.size() || record.size < 4) return Damaged(why);
            const std::string name(reinterpret_cast<const char*>(record.payload) + 4,
                                   record.size - 4);
            const auto length = static_cast<long long>(record.where);
            if (name != file_name_ && !IsSideCarName(file_name_, name))
                return Refused(why,
                               "names a file other than " + Quoted(file_) + " and its side-cars");
            if (name == file_name_ && length < 0)
                return Refused(why, "would delete " + Quoted(file_));
            if (length < -1 || std::any_of(targets_.begin(), targets_.end(),
                                           [&](const Target& t) { return t.name == name; }))
                return Damaged(why);
            const std::uint32_t mode = Get<std::uint32_t>(record.payload) & 0777;
            targets_.push_back({name, length, mode});
            return true;
        }
        if (record.kind != kBytes || record.file >= targets_.size()) return Damaged(why);
        const long long length = targets_[record.file].original_length;
        if (length < 0 || record.where > static_cast<std::uint64_t>(length) ||
            record.size > static_cast<std::uint64_t>(length) - record.where)
            return Damaged(why);
        return true;
    }

    bool Damaged(std::string& why) const {
        Refuse(why, "is damaged: a record does not fit the files it names");
        return false;
    }

    // Every file named is opened without following links, and must be a regular file of the
    // file's or the journal's owner, a side-car with one name only; or absent.
    bool OpenTargets(std::string& why) {
        for (Target& target : targets_) {
            const std::string path = Quoted(Sibling(target.name));
            const bool itself = target.name == file_name_;
            platform::Failure failure = platform::Failure::kNone;
            target.fd = platform::OpenIn(directory_handle_, target.name, platform::Open::kReadWrite,
                                         failure);
            platform::FileInfo info;
            if (failure == platform::Failure::kMissing && !itself) continue;
            if (failure != platform::Failure::kNone && failure != platform::Failure::kNotAFile)
                return Refused(why, "would write " + path +
                                        ", which cannot be opened: " + platform::LastError());
            if (target.fd == platform::kNoFile || !platform::InfoOf(target.fd, info) ||
                !info.regular)
                return Refused(why, "would write " + path + ", which is not a regular file");
            if (info.owner != owners_.first && info.owner != owners_.second)
                return Refused(why, "would write " + path + ", which belongs to another user");
            if (!itself && info.links > 1)
                return Refused(why, "would write " + path + ", which has more than one name");
            if (itself && !(IdentityOf(target.fd) == identity_))
                return Refused(why, "belongs to another file, not " + Quoted(file_));
        }
        return true;
    }

    bool Refused(std::string& why, const std::string& reason) const {
        Refuse(why, reason);
        return false;
    }

    std::string Sibling(const std::string& name) const { return prefix_ + name; }

    // The writes: absent files made again with their mode, the original bytes put back, every
    // file given its original length or removed when the run made it, then synced (invariant 7).
    bool Apply(std::string& why) {
        for (Target& target : targets_) {
            if (target.fd != platform::kNoFile || target.original_length < 0) continue;
            platform::Failure failure = platform::Failure::kNone;
            target.fd = platform::OpenIn(directory_handle_, target.name, platform::Open::kCreateNew,
                                         failure);
            if (target.fd == platform::kNoFile || !platform::SetMode(target.fd, target.mode))
                return Failed(target, why);
            names_changed_ = true;
        }
        const Batches::Scan scan =
            Batches(journal_, length_, salt_).ForEachRecord([&](const RecordView& record) {
                const Target& target = targets_[record.file];
                return record.kind != kBytes ||
                       platform::WriteAt(target.fd, record.payload, record.size, record.where) ==
                           static_cast<long long>(record.size) ||
                       Failed(target, why);
            });
        if (scan == Batches::Scan::kStopped) return false;
        if (scan != Batches::Scan::kWhole && scan != Batches::Scan::kTorn) {
            why = "the journal " + Quoted(journal_path_) + " changed while it was applied";
            return false;
        }
        for (Target& target : targets_) {
            if (target.original_length >= 0) {
                if (!platform::Truncate(target.fd, target.original_length) ||
                    !platform::SyncData(target.fd))
                    return Failed(target, why);
            } else if (target.fd != platform::kNoFile) {
                platform::CloseFile(target.fd);  // Windows removes no open file
                target.fd = platform::kNoFile;
                if (platform::RemoveIn(directory_handle_, target.name) ==
                    platform::Removed::kFailed)
                    return Failed(target, why);
                names_changed_ = true;
            }
        }
        if (!names_changed_ || platform::SyncDirectory(directory_handle_)) return true;
        why = "cannot sync the directory of " + Quoted(file_) + ": " + platform::LastError();
        return false;
    }

    bool Failed(const Target& target, std::string& why) const {
        why = "cannot restore " + Quoted(Sibling(target.name)) + ": " + platform::LastError();
        return false;
    }

    // Zeroes the journal's header, syncs it, and deletes the journal: with either, the journal is
    // not applied again (which would do no harm while the files stay as they are now).
    bool Retire(std::string& why) {
        static const unsigned char zeros[kHeaderSize] = {};
        const bool zeroed = platform::WriteAt(journal_, zeros, kHeaderSize, 0) ==
                                static_cast<long long>(kHeaderSize) &&
                            platform::SyncData(journal_);
        platform::CloseFile(journal_);  // Windows removes no file while a handle is open on it
        journal_ = platform::kNoFile;
        if (platform::RemoveIn(directory_handle_, journal_name_) == platform::Removed::kYes) {
            platform::SyncDirectory(directory_handle_);
            return true;
        }
        if (zeroed) return true;
        why = "cannot remove " + Quoted(journal_path_) + ": " + platform::LastError();
        return false;
    }

    const std::string file_;
    const FileIdentity identity_;
    const std::string journal_path_;
    std::string directory_, prefix_, file_name_, journal_name_;  // prefix_: the path up to the name
    platform::Directory directory_handle_;
    platform::FileHandle journal_ = platform::kNoFile;
    std::pair<std::string, std::string> owners_;  // of the file and of the journal
    std::uint64_t length_ = 0;
    std::uint64_t salt_ = 0;
    std::vector<Target> targets_;
    bool names_changed_ = false;
};

}  // namespace

Recovery RecoverFromJournal(const std::string& file, FileIdentity identity, std::string& why) {
    return Replay(file, identity).Run(why);
}
