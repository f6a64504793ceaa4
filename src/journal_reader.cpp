#include "journal_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "message.h"
#include "side_cars.h"

using namespace journal_format;

Batches::Scan Batches::ForEachRecord(const std::function<bool(const RecordView&)>& each) {
    std::uint32_t sequence = 0;
    for (std::uint64_t at = kPage; at < length_; ++sequence) {
        std::uint64_t records = 0;
        const Read read = CheckBatch(at, sequence, records);
        if (read == Read::kUnreadable) return Scan::kUnreadable;
        if (read == Read::kBad) return GoodHeadAfter(at, sequence) ? Scan::kDamaged : Scan::kTorn;
        const std::uint64_t end = at + kBatchHeadSize + records;
        RecordView record{};
        for (std::uint64_t pos = at + kBatchHeadSize; pos < end;
             pos += kHeadSize + record.size + kChecksumSize) {
            if (ReadRecordAt(pos, end, record) != Read::kGood) {
                error_ = "it changed while it was read";
                return Scan::kUnreadable;
            }
            if (!each(record)) return Scan::kStopped;
        }
        at = RoundUpToPage(end);
    }
    return Scan::kWhole;
}

// Records are small and many (a run of gaps each): they are read through a window of the
// journal, kWindowBytes at a time, rather than a call each. A read past the journal's length, or
// larger than the window, goes to the file itself.
bool Batches::ReadAt(void* data, std::size_t size, std::uint64_t offset) {
    if (size == 0 || size > kWindowBytes || offset >= length_ || length_ - offset < size)
        return ReadDirect(data, size, offset);
    if (offset < window_at_ || offset + size > window_at_ + window_.size()) {
        window_.resize(
            static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, length_ - offset)));
        window_at_ = offset;
        if (!ReadDirect(window_.data(), window_.size(), offset)) {
            window_.clear();
            return false;
        }
    }
    std::memcpy(data, &window_[offset - window_at_], size);
    return true;
}

bool Batches::ReadDirect(void* data, std::size_t size, std::uint64_t offset) {
    const platform::Whole read = platform::ReadWhole(fd_, data, size, offset);
    if (read == platform::Whole::kYes) return true;
    error_ =
        read == platform::Whole::kError ? platform::LastError() : "it shrank while it was read";
    return false;
}

// The batch at `at`, checked record by record; `records` gets the length of its records. Sizes
// are checked against the journal's length before anything is allocated.
Batches::Read Batches::CheckBatch(std::uint64_t at, std::uint32_t sequence,
                                  std::uint64_t& records) {
    unsigned char head[kBatchHeadSize];
    RecordView view{};
    if (length_ - at < kBatchHeadSize) return Read::kBad;
    if (!ReadAt(head, kBatchHeadSize, at)) return Read::kUnreadable;
    if (!ReadRecord(head, kBatchHeadSize, salt_, view) || view.kind != kBatch ||
        view.file != sequence || view.where > length_ - at - kBatchHeadSize)
        return Read::kBad;
    records = view.where;
    const std::uint64_t end = at + kBatchHeadSize + records;
    for (std::uint64_t pos = at + kBatchHeadSize; pos < end;
         pos += kHeadSize + view.size + kChecksumSize)
        if (const Read read = ReadRecordAt(pos, end, view); read != Read::kGood) return read;
    return Read::kGood;
}

// The record at `at` of a batch whose records end at `end`, into record_: kBad when it does not
// fit there, fails its checksum, or is a batch head.
Batches::Read Batches::ReadRecordAt(std::uint64_t at, std::uint64_t end, RecordView& record) {
    if (end - at < kHeadSize + kChecksumSize) return Read::kBad;
    unsigned char head[kHeadSize];
    if (!ReadAt(head, kHeadSize, at)) return Read::kUnreadable;
    const std::uint64_t size = Get<std::uint64_t>(head + kSizeAt);
    if (size > end - at - kHeadSize - kChecksumSize) return Read::kBad;
    try {
        record_.resize(kHeadSize + size + kChecksumSize);
    } catch (const std::bad_alloc&) {
        error_ = "Cannot allocate memory";
        return Read::kUnreadable;
    }
    std::copy(head, head + kHeadSize, record_.begin());
    if (!ReadAt(&record_[kHeadSize], size + kChecksumSize, at + kHeadSize))
        return Read::kUnreadable;
    return ReadRecord(record_.data(), record_.size(), salt_, record) && record.kind != kBatch
               ? Read::kGood
               : Read::kBad;
}

// Whether a later page begins with the head of a later batch that passes its checksum: then the
// bad batch was synced before it, and is damaged rather than torn.
bool Batches::GoodHeadAfter(std::uint64_t at, std::uint32_t sequence) {
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

RollbackPlan::~RollbackPlan() {
    for (const RollbackFile& file : files) platform::CloseFile(file.fd);
    platform::CloseFile(journal);
    platform::CloseDirectory(directory);
}

namespace {

// What the checks go by besides the plan.
struct Reading {
    const std::string& file;
    const platform::FileIdentity identity;
    std::pair<std::string, std::string> owners;  // of the file and of the journal
};

// The one way a check refuses the journal: it stops the reading, and the plan says why.
bool Refuse(RollbackPlan& plan, const std::string& reason) {
    plan.verdict = RollbackPlan::Verdict::kRefused;
    plan.refusal = reason;
    return false;
}

// A journal that never had anything written under it, or that was committed (invariant 5).
bool Discard(RollbackPlan& plan) {
    platform::RemoveIn(plan.directory, plan.journal_name);
    plan.verdict = RollbackPlan::Verdict::kNothing;
    return false;
}

// The journal itself: a regular file, not a link, of the file's owner or this user, that no one
// else may write (invariant 6). Opened for writing too where this user may, so that its header
// can be zeroed at the end.
bool OpenJournal(const std::string& directory, Reading& reading, RollbackPlan& plan) {
    platform::FileInfo file, info;
    if (!platform::OpenDirectory(directory, plan.directory) ||
        !platform::InfoIn(plan.directory, plan.file_name, file))
        return Refuse(plan, "cannot be read: " + platform::LastError());
    platform::Failure failure = platform::Failure::kNone;
    plan.journal =
        platform::OpenIn(plan.directory, plan.journal_name, platform::Open::kReadWrite, failure);
    if (failure == platform::Failure::kDenied)
        plan.journal =
            platform::OpenIn(plan.directory, plan.journal_name, platform::Open::kRead, failure);
    if (failure == platform::Failure::kMissing) {
        plan.verdict = RollbackPlan::Verdict::kNothing;
        return false;
    }
    if (failure != platform::Failure::kNone && failure != platform::Failure::kNotAFile)
        return Refuse(plan, "cannot be read: " + platform::LastError());
    if (plan.journal == platform::kNoFile || !platform::InfoOf(plan.journal, info) || !info.regular)
        return Refuse(plan, "is not a regular file");
    if (info.owner != file.owner && !platform::IsOwnOwner(info.owner))
        return Refuse(plan, "belongs to another user");
    if (info.others_may_write) return Refuse(plan, "may be written by other users");
    reading.owners = {file.owner, info.owner};
    plan.length = info.size;
    return true;
}

// A header that was never synced, or that the commit zeroed, leaves nothing to undo
// (invariant 5); a read error is no such header.
bool CheckHeader(const Reading& reading, RollbackPlan& plan) {
    unsigned char bytes[kHeaderSize];
    if (plan.length < kHeaderSize) return Discard(plan);
    const platform::Whole read = platform::ReadWhole(plan.journal, bytes, kHeaderSize, 0);
    if (read != platform::Whole::kYes)
        return Refuse(plan, "cannot be read: " + (read == platform::Whole::kError
                                                      ? platform::LastError()
                                                      : "it shrank while it was read"));
    if (std::all_of(bytes, bytes + kHeaderSize, [](unsigned char b) { return b == 0; }))
        return Discard(plan);
    Header header;
    if (!ReadHeader(bytes, header))
        return Refuse(plan, "is damaged: its header is not a journal's");
    if (!(header.file == reading.identity))
        return Refuse(plan, "belongs to another file, not " + Quoted(reading.file));
    plan.salt = header.salt;
    return true;
}

const char kDoesNotFit[] = "is damaged: a record does not fit the files it names";

// A file's record: the file itself or a side-car of it, named once, never to be removed.
std::string AddFile(const RecordView& record, const Reading& reading, RollbackPlan& plan) {
    if (record.file != plan.files.size() || record.size < 4) return kDoesNotFit;
    const std::string name(reinterpret_cast<const char*>(record.payload) + 4, record.size - 4);
    const auto length = static_cast<long long>(record.where);
    if (name != plan.file_name && !IsSideCarName(plan.file_name, name))
        return "names a file other than " + Quoted(reading.file) + " and its side-cars";
    if (name == plan.file_name && length < 0) return "would delete " + Quoted(reading.file);
    if (length < -1 || std::any_of(plan.files.begin(), plan.files.end(),
                                   [&](const RollbackFile& file) { return file.name == name; }))
        return kDoesNotFit;
    plan.files.push_back({name, length, Get<std::uint32_t>(record.payload) & 0777});
    return "";
}

// What a good record asks for, checked against what the run could have written: why it cannot
// be applied, or "".
std::string CheckRecord(const RecordView& record, const Reading& reading, RollbackPlan& plan) {
    if (record.kind == kFile) return AddFile(record, reading, plan);
    if (record.kind != kBytes || record.file >= plan.files.size()) return kDoesNotFit;
    const long long length = plan.files[record.file].original_length;
    if (length < 0 || record.where > static_cast<std::uint64_t>(length) ||
        record.size > static_cast<std::uint64_t>(length) - record.where)
        return kDoesNotFit;
    return "";
}

bool CheckRecords(const Reading& reading, RollbackPlan& plan) {
    std::string reason;
    Batches batches(plan.journal, plan.length, plan.salt);
    switch (batches.ForEachRecord([&](const RecordView& record) {
        reason = CheckRecord(record, reading, plan);
        return reason.empty();
    })) {
        case Batches::Scan::kUnreadable:
            return Refuse(plan, "cannot be read: " + batches.error());
        case Batches::Scan::kDamaged:
            return Refuse(plan, "is damaged: a bad record lies before good ones");
        case Batches::Scan::kStopped:
            return Refuse(plan, reason);
        case Batches::Scan::kWhole:
        case Batches::Scan::kTorn:
            break;
    }
    // No good batch: nothing was written under the journal (invariant 1). A run killed before its
    // write-back leaves such a journal, with what it had journaled ahead.
    return !plan.files.empty() || Discard(plan);
}

// A file named is opened without following links, and must be a regular file of the file's or
// the journal's owner, a side-car with one name only; or absent. Why not, or "".
std::string OpenFile(RollbackFile& target, const Reading& reading, const RollbackPlan& plan) {
    const std::string path = Quoted(plan.prefix + target.name);
    const bool itself = target.name == plan.file_name;
    platform::Failure failure = platform::Failure::kNone;
    target.fd = platform::OpenIn(plan.directory, target.name, platform::Open::kReadWrite, failure);
    platform::FileInfo info;
    if (failure == platform::Failure::kMissing && !itself) return "";
    if (failure != platform::Failure::kNone && failure != platform::Failure::kNotAFile)
        return "would write " + path + ", which cannot be opened: " + platform::LastError();
    if (target.fd == platform::kNoFile || !platform::InfoOf(target.fd, info) || !info.regular)
        return "would write " + path + ", which is not a regular file";
    if (info.owner != reading.owners.first && info.owner != reading.owners.second)
        return "would write " + path + ", which belongs to another user";
    if (!itself && info.links > 1) return "would write " + path + ", which has more than one name";
    if (itself && !(platform::IdentityOf(target.fd) == reading.identity))
        return "belongs to another file, not " + Quoted(reading.file);
    return "";
}

bool OpenFiles(const Reading& reading, RollbackPlan& plan) {
    for (RollbackFile& target : plan.files) {
        const std::string reason = OpenFile(target, reading, plan);
        if (!reason.empty()) return Refuse(plan, reason);
    }
    return true;
}

}  // namespace

void ReadJournal(const std::string& file, platform::FileIdentity identity, RollbackPlan& plan) {
    const SplitPath split = Split(file);
    plan.prefix = split.prefix;
    plan.file_name = split.name;
    plan.journal_name = JournalPathFor(split.name);
    Reading reading{file, identity, {}};
    if (OpenJournal(split.directory, reading, plan) && CheckHeader(reading, plan) &&
        CheckRecords(reading, plan))
        OpenFiles(reading, plan);
}
