#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "journal_format.h"
#include "platform.h"

// The recovery's first half: reads the journal beside a file and checks it, and every file it
// names, against invariants 4 to 6 (journal.h, journal_recovery.h), writing nothing but the
// deletion of a journal that has nothing to undo. What it finds is a plan, which the rollback
// (journal_recovery.cpp) applies as it stands.

// A file the journal names.
struct RollbackFile {
    std::string name;                             // in the file's directory
    long long original_length;                    // -1: the run made it
    std::uint32_t mode;                           // to make it again with, when the run removed it
    platform::FileHandle fd = platform::kNoFile;  // open to write; kNoFile while it is absent
};

struct RollbackPlan {
    enum class Verdict {
        kApply,    // everything below is open and checked
        kNothing,  // no journal, or one with nothing to undo (deleted)
        kRefused,  // `refusal` says why
    };
    Verdict verdict = Verdict::kApply;
    std::string refusal;            // what the message says after "the journal '<path>' "
    platform::Directory directory;  // the file's
    std::string prefix;             // the file's path up to its name
    std::string file_name, journal_name;
    platform::FileHandle journal = platform::kNoFile;  // to read; to write too where this user may
    std::uint64_t length = 0;                          // of the journal
    std::uint64_t salt = 0;
    std::vector<RollbackFile> files;

    RollbackPlan() = default;
    RollbackPlan(const RollbackPlan&) = delete;
    RollbackPlan& operator=(const RollbackPlan&) = delete;
    ~RollbackPlan();  // closes what is open
};

// Makes the plan for the journal of `file`, whose identity the run lock took.
void ReadJournal(const std::string& file, platform::FileIdentity identity, RollbackPlan& plan);

// The batches of a journal, each checked whole before any of its records is used. A batch is read
// a record at a time, twice, so that a large one is never all in memory; small records through a
// window of the journal.
class Batches {
  public:
    enum class Scan { kWhole, kTorn, kDamaged, kUnreadable, kStopped };

    Batches(platform::FileHandle fd, std::uint64_t length, std::uint64_t salt)
        : fd_(fd), length_(length), salt_(salt) {}

    // Why the last kUnreadable scan could not read the journal.
    const std::string& error() const { return error_; }

    // Calls `each` for every record of every good batch, in order, until it returns false
    // (kStopped). A bad batch ends the scan: as a torn tail when no good batch head follows it.
    Scan ForEachRecord(const std::function<bool(const journal_format::RecordView&)>& each);

  private:
    enum class Read { kGood, kBad, kUnreadable };
    static constexpr std::size_t kWindowBytes = 1 << 20;
    bool ReadAt(void* data, std::size_t size, std::uint64_t offset);
    bool ReadDirect(void* data, std::size_t size, std::uint64_t offset);
    Read CheckBatch(std::uint64_t at, std::uint32_t sequence, std::uint64_t& records);
    Read ReadRecordAt(std::uint64_t at, std::uint64_t end, journal_format::RecordView& record);
    bool GoodHeadAfter(std::uint64_t at, std::uint32_t sequence);

    const platform::FileHandle fd_;
    const std::uint64_t length_;
    const std::uint64_t salt_;
    std::vector<unsigned char> record_;  // the last record read
    std::vector<unsigned char> window_;  // of the journal, from window_at_
    std::uint64_t window_at_ = 0;
    std::string error_;
};
