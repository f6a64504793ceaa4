#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"

// The undo journal of one run: `<file>.gapmend-journal`, beside the file. It holds the original
// bytes of every range that the write-back overwrites in the file or in a side-car file that
// GDAL writes with it (`.aux.xml`, `.msk`), and each such file's original length, so that an
// interrupted or failed write-back can be undone byte for byte.
//
// The invariants, against which every step here and in file_guard.cpp can be checked:
//  1. Original bytes reach the journal, and the journal reaches the disk (the first time with
//     its directory entry), before any of those bytes of the file is written.
//  2. A file's original length, or its absence, reaches the disk in the journal before the file
//     is created, replaced, or removed; growth is undone by truncating to that length.
//  3. Only bytes that existed at the start are journaled, each at most once, so the journal never
//     holds anything but the original state.
//  4. The header names the file by device and inode, and every record carries a checksum seeded
//     with the journal's own random salt: a record that was not completely written, or that is
//     left over on the disk from an older journal, is never applied, and neither is a journal
//     that belongs to another file. Records after the first bad one are ignored: they were never
//     synced, so the file was not written where they point.
//  5. The journal is deleted only after the files are synced, and the deletion is the commit;
//     the directory is synced after it. Windows has no directory sync and needs none: NTFS
//     journals its metadata, so a file's directory entry is durable once the file is flushed.

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

class Journal {
  public:
    static std::string PathFor(const std::string& file);

    // A new, empty journal for `file`. Null when it cannot be created
    // (platform::LastError says why).
    static std::unique_ptr<Journal> Create(const std::string& file, FileIdentity identity);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Records a file (in the journaled file's directory) with its original length, or -1 when it
    // does not exist yet; returns its index for AddBytes.
    int AddFile(const std::string& name, long long original_length);
    // Records original bytes of a file at an offset.
    void AddBytes(int file, std::uint64_t offset, const void* bytes, std::size_t size);
    // Puts everything recorded so far on the disk. False when any record could not be written.
    bool Sync();
    // The commit: deletes the journal and syncs the directory.
    bool Remove();

    const std::string& path() const { return path_; }
    bool failed() const { return failed_; }

  private:
    Journal(std::string path, platform::FileHandle fd, std::uint64_t salt);
    void Append(const std::vector<unsigned char>& record);

    std::string path_;
    platform::FileHandle fd_;
    std::uint64_t salt_;
    std::uint64_t size_ = 0;                // written so far
    std::vector<unsigned char> unwritten_;  // records of the current batch, written at Sync
    int files_ = 0;
    bool failed_ = false;
    bool directory_synced_ = false;
};

enum class Recovery {
    kNothing,   // no journal, or one that was never completely written (now removed)
    kRestored,  // the files are as they were before the interrupted run
    kForeign,   // the journal belongs to another file; nothing was touched
    kFailed,    // the journal could not be applied; it stays for another try
};

// Rolls `file` and its side-cars back to the state the journal beside it records, syncs them
// and removes the journal. `why` says what went wrong for kForeign and kFailed.
Recovery RecoverFromJournal(const std::string& file, FileIdentity identity, std::string& why);

// The byte ranges of a file already in the journal: start -> end, disjoint.
using JournaledRanges = std::map<std::uint64_t, std::uint64_t>;

// Calls `each(start, end)` for every part of [begin, end) that `ranges` does not cover yet, in
// order, then adds [begin, end) to it. Stops, returning false, when `each` does.
bool ForEachNewPart(JournaledRanges& ranges, std::uint64_t begin, std::uint64_t end,
                    const std::function<bool(std::uint64_t, std::uint64_t)>& each);

// Syncs a file's data to the disk; false when it cannot (platform::LastError says why).
bool SyncFile(const std::string& path);
