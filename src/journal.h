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
// GDAL writes with it (`.aux.xml`, `.msk`), and each such file's original length and mode, so
// that an interrupted or failed write-back can be undone byte for byte.
//
// The invariants, against which every step here and in file_guard.cpp can be checked:
//  1. Original bytes reach the journal, and the journal reaches the disk (the first time with
//     its directory entry), before any of those bytes of the file is written.
//  2. A file's original length and mode, or its absence, reach the disk in the journal before the
//     file is created, grown, shrunk, replaced, or removed; growth is undone by truncating to that
//     length, a removed file is made again with that mode.
//  3. Only bytes that existed at the start are journaled, each at most once, so the journal never
//     holds anything but the original state.
//  4. The journal is written in batches, one write each, the next only after the previous one is
//     synced; each batch begins on a page boundary with a head that gives its sequence number and
//     length. The header names the file by inode and birth time, and every record and batch head
//     carries a CRC-32 seeded with the journal's own random salt: a record that was not completely
//     written, or that is left over on the disk from an older journal, is never applied, and
//     neither is a journal that belongs to another file. A crash can tear only the last batch:
//     a bad batch with no good batch after it is that torn tail, and it and all after it are
//     ignored (they were never synced, so the file was not written where they point). A bad batch
//     followed by a good one is damage: nothing of the journal is applied.
//  5. The commit: the files are synced (and their directory, when the run created, renamed or
//     removed one), then the journal's header is overwritten with zeros and synced. A zero header
//     is never applied, so the journal's deletion and the directory sync after it may be lost.
//     A journal shorter than its header, or with a zero header, never had anything written under
//     it, or was committed: it is deleted. Any other bad header is damage.
//  6. A journal is untrusted input. It is applied only when it is a regular file (never followed
//     through a symbolic link) owned by the file's owner or by the user running gapMend, that no
//     one else may write. Its records name only the file and the file's side-cars (IsSideCarName),
//     which are opened without following symbolic links, in the file's directory, and must be
//     regular files owned by the file's or the journal's owner (side-cars with one name only), or
//     absent. It never removes the file itself. The whole journal and every file it names pass
//     these checks before anything is written; one that exists but cannot be read is refused.
//  7. The recovery syncs the files (and the directory when it created or removed one) before it
//     zeroes the journal's header and deletes it; applying a journal twice does no harm.
//
// On Windows (platform_windows.cpp) the same steps hold with these differences. There is no
// directory sync, and none is needed: NTFS journals its own metadata, so a flushed file's
// directory entry is durable with it (1, 5, 7). A file is synced through a handle that may write
// (FlushFileBuffers). The inode is the NTFS file index, which changes when an index is reused,
// and there is no birth time (4). Owners are SIDs: the journal's owner is the file's owner or the
// user running gapMend (or, for an elevated administrator, the Administrators group), and "no
// one else may write it" is read from its ACL; gapMend makes its journals with an ACL of their
// own that grants only the owner, SYSTEM and the Administrators. Symbolic links and junctions
// are both refused, as links are on POSIX (6).

// A file as the journal knows it. The device (on Windows the volume's serial number) is left out,
// since its number may change across reboots; the journal lies beside the file, so the file
// system is fixed anyway.
struct FileIdentity {
    std::uint64_t inode = 0;
    // When the file was made, which tells a new file from an old one with the same inode number.
    // Zero where the file system or the platform does not record it: then the inode alone.
    std::int64_t birth_seconds = 0;
    std::uint32_t birth_nanoseconds = 0;

    bool operator==(const FileIdentity& other) const {
        return inode == other.inode && birth_seconds == other.birth_seconds &&
               birth_nanoseconds == other.birth_nanoseconds;
    }
};

// The identity of an open file.
FileIdentity IdentityOf(platform::FileHandle file);

// Whether `name` is one of the side-cars of the file named `file_name`, both bare names in one
// directory: a name of its own (no '/', '\', "..") that is the file's stem (the name without its
// last extension) or starts with the stem and a dot, but not the file's journal. The file itself
// qualifies when its name passes the same rule.
bool IsSideCarName(const std::string& file_name, const std::string& name);

class Journal {
  public:
    static std::string PathFor(const std::string& file);

    // Why a journal could not be created: `denied` when the directory may not be written (or is
    // on a read-only file system), and `why` in words.
    struct NotCreated {
        bool denied = false;
        std::string why;
    };
    // A new journal for `file`, with its header written but not synced. Null, with `not_created`
    // set, when it cannot be created; nothing is left behind then.
    static std::unique_ptr<Journal> Create(const std::string& file, FileIdentity identity,
                                           NotCreated& not_created);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Records a file (in the journaled file's directory) with its original length, or -1 when it
    // does not exist yet, and its mode as it is now; returns its index for AddBytes.
    int AddFile(const std::string& name, long long original_length);
    // Records original bytes of a file at an offset.
    void AddBytes(int file, std::uint64_t offset, const void* bytes, std::size_t size);
    // Puts everything recorded so far on the disk, as one batch. False when it could not.
    bool Sync();
    // The commit, once the files are synced: syncs the directory first when `names_changed` (the
    // run created, renamed or removed a file in it), zeroes the header and syncs it, then deletes
    // the journal. False, with the journal still valid, when the header could not be zeroed.
    bool Commit(bool names_changed);
    // Deletes a journal of which no batch reached the disk: nothing was written under it.
    void Discard();

    const std::string& path() const { return path_; }
    bool failed() const { return failed_; }
    // Whether a batch reached the disk, after which the files may have been written.
    bool synced() const { return batches_ > 0; }

  private:
    Journal(std::string path, platform::FileHandle fd, std::uint64_t salt);
    void Append(const std::vector<unsigned char>& record);
    void Close();

    std::string path_;
    platform::FileHandle fd_;
    std::uint64_t salt_;
    std::vector<unsigned char> header_;
    std::vector<unsigned char> unwritten_;  // records of the current batch, written at Sync
    std::uint64_t size_ = 0;                // of the journal on the disk, a whole number of pages
    std::uint32_t batches_ = 0;
    int files_ = 0;
    bool failed_ = false;
};

enum class Recovery {
    kNothing,   // no journal, or one with nothing to undo (now removed)
    kRestored,  // the files are as they were before the interrupted run
    kRefused,   // the journal is another file's, cannot be read, or is not to be trusted or
                // damaged (`why` says which); nothing was touched and it stays
    kFailed,    // the journal could not be applied; it stays for another try
};

// Rolls `file` and its side-cars back to the state the journal beside it records, syncs them
// and removes the journal. `why` says what went wrong for kRefused and kFailed.
Recovery RecoverFromJournal(const std::string& file, FileIdentity identity, std::string& why);

// The byte ranges of a file already in the journal: start -> end, disjoint.
using JournaledRanges = std::map<std::uint64_t, std::uint64_t>;

// Calls `each(start, end)` for every part of [begin, end) that `ranges` does not cover yet, in
// order, then adds [begin, end) to it. Stops, returning false, when `each` does.
bool ForEachNewPart(JournaledRanges& ranges, std::uint64_t begin, std::uint64_t end,
                    const std::function<bool(std::uint64_t, std::uint64_t)>& each);

// Syncs a file's data to the disk; false with errno when it cannot.
bool SyncFile(const std::string& path);
