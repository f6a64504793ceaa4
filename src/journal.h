#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"

// The undo journal of one run: `<file>.gapmend-journal`, beside the file (side_cars.h). It holds
// the original bytes of every range that the write-back overwrites in the file or in a side-car
// file that GDAL writes with it (`.aux.xml`, `.msk`), and each such file's original length and
// mode, so that an interrupted or failed write-back can be undone byte for byte.
//
// The invariants, against which every step here and in file_guard.cpp can be checked:
//  1. Original bytes reach the journal, and the journal reaches the disk (the first time with
//     its directory entry), before any of those bytes of the file is written. A write may carry
//     bytes equal to those the file holds among those it changes (byte_runs.h): they need no
//     journal, since a crash leaves them as they were either way, and they are not journaled.
//  2. A file's original length and mode, or its absence, reach the disk in the journal before the
//     file is created, grown, shrunk, replaced, or removed; growth is undone by truncating to that
//     length, a removed file is made again with that mode.
//  3. Only bytes that existed at the start are journaled, each at most once, so the journal never
//     holds anything but the original state.
//  4. The journal is written in batches, the next only after the previous one is synced; each
//     batch begins on a page boundary with a head that gives its sequence number and length. A
//     large batch is written in parts as it is recorded, its head last; nothing of the files is
//     written under it before it is synced whole. The header names the file by inode and birth
//     time, and every record and batch head carries a CRC-32 seeded with the journal's own random
//     salt: a record that was not completely written, or that is left over on the disk from an
//     older journal, is never applied, and neither is a journal that belongs to another file. A
//     crash can tear only the last batch: a bad batch with no good batch after it is that torn
//     tail, and it and all after it are ignored (they were never synced, so the file was not
//     written where they point). A bad batch followed by a good one is damage: nothing of the
//     journal is applied.
//  5. The commit: the files are synced (and their directory, when the run created, renamed or
//     removed one), then the journal's header is overwritten with zeros and synced. A zero header
//     is never applied, so the journal's deletion and the directory sync after it may be lost.
//     A journal shorter than its header, or with a zero header, never had anything written under
//     it, or was committed: it is deleted. So is one without a good batch (1). Any other bad
//     header is damage.
//
// On Windows (platform_windows.cpp) the same steps hold with these differences. There is no
// directory sync, and none is needed: NTFS journals its own metadata, so a flushed file's
// directory entry is durable with it (1, 5). A file is synced through a handle that may write
// (FlushFileBuffers). The inode is the NTFS file index, which changes when an index is reused,
// and there is no birth time (4). gapMend makes its journals with an ACL of their own that grants
// only the owner, SYSTEM and the Administrators.
//
// The recovery, which reads a journal as untrusted input and rolls the files back from it, states
// its own invariants, 6 and 7, in journal_recovery.h.

class Journal {
  public:
    // Why a journal could not be created: `denied` when the directory may not be written (or is
    // on a read-only file system), and `why` in words.
    struct NotCreated {
        bool denied = false;
        std::string why;
    };
    // A new journal for `file`, with its header written but not synced. Null, with `not_created`
    // set, when it cannot be created; nothing is left behind then.
    static std::unique_ptr<Journal> Create(const std::string& file, platform::FileIdentity identity,
                                           NotCreated& not_created);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Records a file (in the journaled file's directory) with its original length, or -1 when it
    // does not exist yet, and its mode as it is now; returns its index for AddBytes.
    int AddFile(const std::string& name, long long original_length);
    // Records original bytes of a file at an offset.
    void AddBytes(int file, std::uint64_t offset, const void* bytes, std::size_t size);
    // The same in two steps: the record, made on any thread in `record` (whose memory is used
    // again) from the bytes `read` puts where it is told, then added. False when `read` is.
    bool BytesRecord(int file, std::uint64_t offset, std::size_t size,
                     const std::function<bool(unsigned char*)>& read,
                     std::vector<unsigned char>& record) const;
    void Add(const std::vector<unsigned char>& record);
    // Puts everything recorded so far on the disk, as one batch. False when it could not.
    bool Sync();
    // The commit, once the files are synced: syncs the directory first when `names_changed` (the
    // run created, renamed or removed a file in it), zeroes the header and syncs it, then deletes
    // the journal. False, with the journal still valid, when the header could not be zeroed.
    bool Commit(bool names_changed);
    // Deletes a journal of which no batch reached the disk: nothing was written under it.
    void Discard();

    bool failed() const { return failed_; }
    // Whether a batch reached the disk, after which the files may have been written.
    bool synced() const { return batches_ > 0; }

  private:
    Journal(std::string path, platform::FileHandle fd, std::uint64_t salt);
    bool WriteRecords(std::size_t zeros_after);
    void Close();

    std::string path_;
    platform::FileHandle fd_;
    std::uint64_t salt_;
    std::vector<unsigned char> header_;
    std::vector<unsigned char> unwritten_;  // records of the current batch not written yet
    std::uint64_t written_ = 0;             // records of the current batch written already
    std::uint64_t size_ = 0;                // of the synced batches, a whole number of pages
    std::uint32_t batches_ = 0;
    int files_ = 0;
    bool failed_ = false;
};

// The byte ranges of a file already in the journal: start -> end, disjoint. The writer's side of
// invariant 3: the guard journals only the parts of a write that are new.
using JournaledRanges = std::map<std::uint64_t, std::uint64_t>;

// The parts of [begin, end) that `ranges` does not cover, in order.
std::vector<std::pair<std::uint64_t, std::uint64_t>> NewParts(const JournaledRanges& ranges,
                                                              std::uint64_t begin,
                                                              std::uint64_t end);
// Adds [begin, end) to `ranges`.
void AddRange(JournaledRanges& ranges, std::uint64_t begin, std::uint64_t end);

// Calls `each(start, end)` for every part of [begin, end) that `ranges` does not cover yet, in
// order, then adds [begin, end) to it. Stops, returning false, when `each` does.
bool ForEachNewPart(JournaledRanges& ranges, std::uint64_t begin, std::uint64_t end,
                    const std::function<bool(std::uint64_t, std::uint64_t)>& each);
