#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "journal.h"
#include "platform.h"

// Journals ahead of the write-back, on a thread of its own while band 1 is filled: the original
// bytes of the ranges of the file that the write-back is foreseen to overwrite (block_layout.h).
// The fill's threads hand over ranges and go on at once; this thread reads the bytes (ranges
// that lie close together in one call), makes their records and writes them into the journal's
// open batch, in parts as it grows. Nothing writes the file meanwhile, so the bytes are the
// original ones, and a range is journaled only where no byte of it is yet (journal.h,
// invariant 3). The batch is synced by the write-back's first batch,
// before it writes anything (invariant 1). The journal and the file's journaled ranges are this
// thread's alone until Finish.
class JournalAhead {
  public:
    // For the file the journal recorded at `file`, read through `original`, a handle checked to
    // reach the file the run locked, which this owns from now on.
    JournalAhead(Journal& journal, int file, long long original_length, JournaledRanges& journaled,
                 platform::FileHandle original);
    ~JournalAhead();  // as Finish(true)
    JournalAhead(const JournalAhead&) = delete;
    JournalAhead& operator=(const JournalAhead&) = delete;

    // From any thread: ranges [begin, end) to journal.
    void Add(std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges);
    // Journals every range handed over, or with `drop` none more, and ends the thread. False when
    // the journal could not be written.
    bool Finish(bool drop);
    // The bytes journaled.
    std::uint64_t bytes() const { return bytes_; }

  private:
    using Range = std::pair<std::uint64_t, std::uint64_t>;
    void Run();
    bool JournalRanges(const std::vector<Range>& ranges);
    bool JournalSpan(const Range* first, const Range* end);
    bool JournalRange(std::uint64_t begin, std::uint64_t end);
    bool JournalNew(std::uint64_t at, std::uint64_t stop,
                    const std::function<bool(unsigned char*)>& read);

    Journal& journal_;
    const int file_;
    const std::uint64_t original_length_;
    JournaledRanges& journaled_;
    const platform::FileHandle original_;
    std::vector<unsigned char> record_;  // made again for each record, in the same memory
    std::vector<unsigned char> span_;    // nearby ranges, read at once
    std::uint64_t bytes_ = 0;
    bool failed_ = false;

    std::mutex lock_;  // guards the two below
    std::condition_variable wake_;
    std::deque<std::vector<std::pair<std::uint64_t, std::uint64_t>>> queue_;
    bool closing_ = false;
    std::atomic<bool> dropping_{false};  // read between ranges too
    std::thread thread_;
};
