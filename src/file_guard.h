#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "guard_handler.h"
#include "journal.h"
#include "message.h"

class GDALDataset;
class JournalAhead;

// The guard's record of one covered file.
struct GuardedFile {
    std::string path;
    int index = -1;                  // in the journal
    long long original_length = -1;  // -1: the run created it
    bool written = false;
    JournaledRanges journaled;
};

// The guard makes the write-back all or nothing. GDAL does all of its file I/O through its
// virtual file system, so the guard stands in front of GDAL's own local handler for the file's
// paths (guard_handler.h, which holds writes back in batches and journals before it writes);
// names, side-car look-ups and GDAL's messages stay as they are. This is its policy.
//
// It covers the file and its side-cars: the files in its directory whose names are the file's
// name up to its extension, or start with it and a dot (IsSideCarName: dem.tif, dem.tif.aux.xml,
// dem.msk, ERS's data file dem). A file is recorded in the journal with its original length
// before it first changes, and the original bytes of a batch reach the journal, synced, before
// the batch reaches the file (journal.h states the invariants).
// A run that succeeds commits: the files are synced, then the journal's header is zeroed and
// synced, and the journal deleted. A run that fails refuses every further write and rolls the
// files back from the journal.
//
// The journal is made in one place, StartJournal: before the fill, or at a change that comes
// earlier. Where none can be made beside the file because the user may not write its directory,
// the guard says so once and lets the writes through; any other failure (no room, no free inode,
// a quota) stops the run before anything is written. Formats whose writes do not all pass through
// the guard (journaled_formats.h), or whose files lie beyond it, are written unjournaled the same
// way; the files GDAL lists for the dataset are synced at the commit all the same.
class FileGuard : private GuardPolicy {
  public:
    // Installs the guard for the dataset's file, whose identity the lock has taken. What it has to
    // say while the run goes on goes to `warn`.
    FileGuard(const std::string& path, platform::FileIdentity identity, Warn warn);
    ~FileGuard();
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;

    // Once the dataset is open: learns the files that make it up (GDAL's file list). False when
    // its writes cannot all be journaled: its format is not one the guard sees every write of,
    // or one of its files is not the file or a side-car of it. Then nothing is journaled, and
    // the commit syncs every listed file.
    bool Cover(GDALDataset& dataset);

    // Before the fill: makes the journal, unless Cover found that there is to be none. False,
    // with `why`, when it cannot be made for anything but a directory the user may not write;
    // then every write is refused.
    bool StartJournal(std::string& why);

    // Before the fill, once the journal is made: from now until the write-back begins, the ranges
    // of the file itself that Foresee is handed are journaled on a thread of their own
    // (journal_ahead.h), so that the write-back's writes there need no journaling or sync of
    // their own. False when there is no journal, or the file cannot be read.
    bool StartJournalAhead();
    // From any thread, after StartJournalAhead: ranges [begin, end) of the file that the
    // write-back is foreseen to overwrite.
    void Foresee(std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges);

    enum class Outcome {
        kCommitted,   // the changes are in the files and on the disk
        kRolledBack,  // the files are as they were
        kDamaged,     // the files may be partly written and cannot be restored
    };
    // Commits when `succeeded`, else rolls back. `why` tells what went wrong on the way.
    Outcome Finish(bool succeeded, std::string& why);

    // Whether the run changed the file at `path`.
    bool Changed(const std::string& path) const;
    // Whether an open of the file's path reached another file.
    bool replaced() const { return replaced_; }

  private:
    // GuardPolicy, for the handler.
    bool Covers(const std::string& path) const override;
    bool failed() const override { return failed_; }
    void Fail() override { failed_ = true; }
    GuardedFile& StateOf(const std::string& path) override;
    ByteRuns Unjournaled(GuardedFile& file, std::uint64_t offset, std::size_t size) override;
    bool NoteFirstChange(GuardedFile& file) override;
    bool JournalOriginal(GuardedFile& file, std::uint64_t offset, const unsigned char* current,
                         std::uint64_t size) override;
    bool SyncJournal() override;
    bool BeforeReplace(const std::string& path) override;
    bool LeadsElsewhere(const std::string& path, platform::FileHandle opened) override;

    bool JournalWhole(GuardedFile& file);
    void EndJournalAhead(bool drop);
    bool SyncFiles() const;

    const std::string path_;
    const std::string directory_;  // as GDAL spells it in side-car paths
    const std::string name_;       // the file's name, without its directory
    const platform::FileIdentity identity_;
    const Warn warn_;
    std::unique_ptr<Journal> journal_;
    bool journal_decided_ = false;  // StartJournal ran, or Cover found there is to be none
    bool failed_ = false;
    std::unique_ptr<JournalAhead> ahead_;  // while the band is filled
    bool replaced_ = false;
    bool names_changed_ = false;       // a file was created, replaced, renamed or removed
    bool sees_all_writes_ = true;      // false for formats that write past the guard
    std::vector<std::string> listed_;  // the dataset's files, synced when not all writes are seen
    std::map<std::string, GuardedFile> files_;
};
