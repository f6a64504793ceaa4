#include "file_guard.h"

#include <algorithm>
#include <exception>
#include <new>
#include <utility>

#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_priv.h>

#include "journal_ahead.h"
#include "journal_recovery.h"
#include "journaled_formats.h"
#include "side_cars.h"

namespace {

constexpr std::uint64_t kReadBytes = 8 << 20;  // of a file journaled whole, at a time

}  // namespace

FileGuard::FileGuard(const std::string& path, platform::FileIdentity identity, Warn warn)
    : path_(path),
      directory_(Split(path).directory),
      name_(Split(path).name),
      identity_(identity),
      warn_(std::move(warn)) {
    InstallGuard(path_, *this);
}

FileGuard::~FileGuard() { RemoveGuard(); }

bool FileGuard::Covers(const std::string& path) const {
    if (path == path_) return true;
    const SplitPath split = Split(path);
    return split.directory == directory_ && IsSideCarName(name_, split.name) &&
           path != JournalPathFor(path_);
}

bool FileGuard::LeadsElsewhere(const std::string& path, platform::FileHandle opened) {
    if (path != path_ || platform::IdentityOf(opened) == identity_) return false;
    replaced_ = true;
    return true;
}

bool FileGuard::Cover(GDALDataset& dataset) {
    const CPLStringList files(dataset.GetFileList());
    for (int i = 0; i < files.size(); ++i) listed_.push_back(files[i]);
    GDALDriver* driver = dataset.GetDriver();
    if (driver && IsJournaledFormat(driver->GetDescription()) &&
        std::all_of(listed_.begin(), listed_.end(), [this](const auto& f) { return Covers(f); })) {
        listed_.clear();  // every write to them passes the guard
        return true;
    }
    sees_all_writes_ = false;
    journal_decided_ = true;  // and none made
    return false;
}

bool FileGuard::StartJournal(std::string& why) {
    if (journal_decided_) return !failed_;
    journal_decided_ = true;
    Journal::NotCreated not_created;
    journal_ = Journal::Create(path_, identity_, not_created);
    if (journal_) return true;
    if (not_created.denied) {
        warn_("cannot create a journal beside " + Quoted(path_) +
              "; an interrupted write-back cannot be undone");
        return true;
    }
    why = "cannot create a journal beside " + Quoted(path_) + ": " + not_created.why +
          "; the file is as it was";
    failed_ = true;
    return false;
}

GuardedFile& FileGuard::StateOf(const std::string& path) {
    GuardedFile& file = files_[path];
    if (file.path.empty()) {
        file.path = path;
        VSIStatBufL stat{};
        file.original_length = VSIStatL(path.c_str(), &stat) == 0 ? stat.st_size : -1;
    }
    return file;
}

bool FileGuard::Changed(const std::string& path) const {
    const auto found = files_.find(path);
    return found != files_.end() && found->second.written;
}

// Nothing is written before the journal is settled. A format may change a file before the
// write-back (MRF opens its data file to append to it as it reads): the journal is made then.
// Every change begins here, so the journaling ahead ends here, before the guard itself touches
// the journal or the ranges journaled.
bool FileGuard::NoteFirstChange(GuardedFile& file) {
    EndJournalAhead(false);
    std::string why;
    if (failed_ || !StartJournal(why)) {
        if (!why.empty()) warn_(why);
        return false;
    }
    file.written = true;
    if (journal_ && file.index < 0)
        file.index = journal_->AddFile(Split(file.path).name, file.original_length);
    if (journal_ && journal_->failed()) {
        failed_ = true;
        return false;
    }
    return true;
}

bool FileGuard::JournalOriginal(GuardedFile& file, std::uint64_t offset,
                                const unsigned char* current, std::uint64_t size) {
    if (!journal_ || file.original_length <= 0) return true;
    const auto length = static_cast<std::uint64_t>(file.original_length);
    if (offset >= length) return true;  // growth: undone by truncating to the original length
    return ForEachNewPart(file.journaled, offset, std::min(length, offset + size),
                          [&](std::uint64_t start, std::uint64_t end) {
                              if (!current) return false;  // the file is shorter than it was
                              journal_->AddBytes(file.index, start, current + (start - offset),
                                                 end - start);
                              return !journal_->failed();
                          });
}

ByteRuns FileGuard::Unjournaled(GuardedFile& file, std::uint64_t offset, std::size_t size) {
    if (!journal_) return {{0, size}};
    ByteRuns runs;
    for (const auto& [begin, end] : NewParts(file.journaled, offset, offset + size))
        runs.emplace_back(begin - offset, end - begin);
    return runs;
}

// The file is read ahead through a handle of its own, checked to reach the file the run locked:
// its name may lead elsewhere by now. Its record in the journal comes before its bytes, as it
// would at its first change.
bool FileGuard::StartJournalAhead() {
    if (!journal_ || failed_) return false;
    GuardedFile& file = StateOf(path_);
    if (file.original_length <= 0) return false;
    const platform::FileHandle original = platform::OpenFile(path_, platform::Open::kRead);
    if (original == platform::kNoFile) return false;
    if (!(platform::IdentityOf(original) == identity_)) {
        platform::CloseFile(original);
        return false;
    }
    if (file.index < 0) file.index = journal_->AddFile(name_, file.original_length);
    try {
        ahead_ = std::make_unique<JournalAhead>(*journal_, file.index, file.original_length,
                                                file.journaled, original);
    } catch (const std::exception&) {  // no thread, or no memory: the write-back journals it all
        platform::CloseFile(original);
        return false;
    }
    return true;
}

void FileGuard::Foresee(std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges) {
    ahead_->Add(std::move(ranges));
}

void FileGuard::EndJournalAhead(bool drop) {
    if (!ahead_) return;
    if (!ahead_->Finish(drop)) failed_ = true;
    CPLDebug("gapMend", "journaled %llu bytes ahead of the write-back",
             static_cast<unsigned long long>(ahead_->bytes()));
    ahead_.reset();
}

bool FileGuard::BeforeReplace(const std::string& path) {
    names_changed_ = true;
    GuardedFile& file = StateOf(path);
    if (!NoteFirstChange(file)) return false;
    if (!journal_ || file.original_length <= 0) return SyncJournal();
    if (JournalWhole(file)) return true;
    failed_ = true;
    return false;
}

// In batches, each synced, so that a large side-car is never all in memory.
bool FileGuard::JournalWhole(GuardedFile& file) {
    const auto length = static_cast<std::uint64_t>(file.original_length);
    const platform::FileHandle original = platform::OpenFile(file.path, platform::Open::kRead);
    bool journaled = original != platform::kNoFile;
    try {
        std::vector<unsigned char> bytes(static_cast<std::size_t>(std::min(length, kReadBytes)));
        for (std::uint64_t at = 0; journaled && at < length; at += bytes.size()) {
            const auto size =
                static_cast<std::size_t>(std::min<std::uint64_t>(length - at, bytes.size()));
            journaled =
                platform::ReadWhole(original, bytes.data(), size, at) == platform::Whole::kYes &&
                JournalOriginal(file, at, bytes.data(), size) && SyncJournal();
        }
    } catch (const std::bad_alloc&) {
        journaled = false;
    }
    if (original != platform::kNoFile) platform::CloseFile(original);
    return journaled;
}

bool FileGuard::SyncJournal() {
    if (!journal_ || journal_->Sync()) return true;
    failed_ = true;
    return false;
}

bool FileGuard::SyncFiles() const {
    VSIStatBufL stat{};
    for (const auto& [path, file] : files_)
        if (file.written && VSIStatL(path.c_str(), &stat) == 0 && !platform::SyncDataAt(path))
            return false;
    for (const std::string& path : listed_)
        if (VSIStatL(path.c_str(), &stat) == 0 && !platform::SyncDataAt(path)) return false;
    return true;
}

FileGuard::Outcome FileGuard::Finish(bool succeeded, std::string& why) {
    RemoveGuard();
    EndJournalAhead(true);
    // With a journal, nothing reached a file before a batch of it reached the disk (invariant 1);
    // a batch journaled ahead may have, with nothing written under it.
    const bool changed = std::any_of(files_.begin(), files_.end(),
                                     [](const auto& entry) { return entry.second.written; });
    const bool written = changed && (!journal_ || journal_->synced());
    if (journal_ && !written) {  // nothing to commit or undo
        journal_->Discard();
        journal_.reset();
    }
    if (succeeded && !failed_) {
        if (SyncFiles() && (!journal_ || journal_->Commit(names_changed_)))
            return Outcome::kCommitted;
        failed_ = true;
        why = "cannot sync the written files: " + platform::LastError();
    }
    if (!written && sees_all_writes_) return Outcome::kRolledBack;
    if (!journal_) return Outcome::kDamaged;
    journal_->Sync();
    journal_.reset();
    return RecoverFromJournal(path_, identity_, why) == Recovery::kRestored ? Outcome::kRolledBack
                                                                            : Outcome::kDamaged;
}
