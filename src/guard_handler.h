#pragma once

#include <cstdint>
#include <string>

#include "byte_runs.h"
#include "platform.h"

// GDAL's side of the file guard: a file system handler in front of GDAL's local one for the
// paths of one file and its side-cars, and the handle it gives GDAL to write such a file. The
// handle holds writes back in batches and lets each through in the order that makes it undoable:
// the original bytes it overwrites into the journal, the journal synced, then the writes. Which
// files are covered and how they are journaled is the policy's (file_guard.h), asked through
// GuardPolicy; this unit alone meets GDAL's file system interface, which changes between releases.

struct GuardedFile;  // the policy's record of one covered file, which the handler only hands back

class GuardPolicy {
  public:
    virtual bool Covers(const std::string& path) const = 0;
    // Once the run failed, every further write is refused.
    virtual bool failed() const = 0;
    virtual void Fail() = 0;
    // The file's record, taken with its length before the run changed anything.
    virtual GuardedFile& StateOf(const std::string& path) = 0;
    // Before each batch of changes to a file, the first one included: false when it may not
    // change (the journal cannot be written).
    virtual bool NoteFirstChange(GuardedFile& file) = 0;
    // The runs of [offset, offset + size), from `offset`, that the journal holds nothing of yet:
    // the bytes in it need neither reading nor journaling before they are written. All of it
    // when there is no journal.
    virtual ByteRuns Unjournaled(GuardedFile& file, std::uint64_t offset, std::size_t size) = 0;
    // Journals the bytes of [offset, offset + size) that are not in the journal yet, from
    // `current`, what the file holds there now (null past its end): for those bytes, still the
    // original ones.
    virtual bool JournalOriginal(GuardedFile& file, std::uint64_t offset,
                                 const unsigned char* current, std::uint64_t size) = 0;
    virtual bool SyncJournal() = 0;
    // Before a covered file is replaced, renamed or removed: journals all of it and syncs.
    virtual bool BeforeReplace(const std::string& path) = 0;
    // Whether `opened`, a handle GDAL opened on `path`, reaches another file than the one the
    // run locked: a directory on the path may lead elsewhere since.
    virtual bool LeadsElsewhere(const std::string& path, platform::FileHandle opened) = 0;

  protected:
    ~GuardPolicy() = default;
};

// From now on, GDAL's writes, renames and removals of the file at `path` and of its side-cars
// ask `policy` first. A handle that reaches another file than the locked one is closed, with a
// GDAL error, and the open fails.
void InstallGuard(const std::string& path, GuardPolicy& policy);
// Lets everything through again. GDAL keeps its handlers for the life of the process: they stay,
// idle, and the next InstallGuard reuses those of the same paths.
void RemoveGuard();
