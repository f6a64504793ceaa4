#include "journal_ahead.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr std::uint64_t kRecordBytes = 4 << 20;  // the most one record holds
constexpr std::uint64_t kSpanBytes = 1 << 20;    // the most read at once for nearby ranges

}  // namespace

JournalAhead::JournalAhead(Journal& journal, int file, long long original_length,
                           JournaledRanges& journaled, platform::FileHandle original)
    : journal_(journal),
      file_(file),
      original_length_(static_cast<std::uint64_t>(std::max(original_length, 0ll))),
      journaled_(journaled),
      original_(original),
      thread_(&JournalAhead::Run, this) {}

JournalAhead::~JournalAhead() {
    Finish(true);
    platform::CloseFile(original_);
}

void JournalAhead::Add(std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges) {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        queue_.push_back(std::move(ranges));
    }
    wake_.notify_one();
}

bool JournalAhead::Finish(bool drop) {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        closing_ = true;
        if (drop) dropping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    return !failed_;
}

// Out of memory, or where the file cannot be read, the rest is left to the write-back.
void JournalAhead::Run() {
    for (;;) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
        {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait(hold, [this] { return closing_ || !queue_.empty(); });
            if (dropping_ || queue_.empty()) return;
            ranges = std::move(queue_.front());
            queue_.pop_front();
        }
        try {
            if (!JournalRanges(ranges)) return;
        } catch (const std::bad_alloc&) {
            return;
        }
    }
}

// The ranges, in order: those that lie close together are read in one call. False once nothing
// more is to be journaled.
bool JournalAhead::JournalRanges(const std::vector<Range>& ranges) {
    for (size_t first = 0, end = 0; first < ranges.size(); first = end) {
        for (end = first + 1; end < ranges.size() && ranges[end].first >= ranges[end - 1].second &&
                              ranges[end].second - ranges[first].first <= kSpanBytes;
             ++end) {
        }
        if (dropping_) return false;
        const bool journaled = end - first == 1
                                   ? JournalRange(ranges[first].first, ranges[first].second)
                                   : JournalSpan(&ranges[first], &ranges[end]);
        if (!journaled) return false;
    }
    return true;
}

// Ranges that lie within kSpanBytes, read in one call.
bool JournalAhead::JournalSpan(const Range* first, const Range* end) {
    const std::uint64_t begin = first->first;
    const std::uint64_t stop = std::min(end[-1].second, original_length_);
    if (begin >= stop) return true;
    span_.resize(stop - begin);
    if (platform::ReadWhole(original_, span_.data(), span_.size(), begin) != platform::Whole::kYes)
        return false;
    for (const Range* range = first; range != end; ++range) {
        const std::uint64_t at = range->first, until = std::min(range->second, stop);
        if (at >= until) continue;
        const auto copy = [&](unsigned char* bytes) {
            std::memcpy(bytes, &span_[at - begin], until - at);
            return true;
        };
        if (!JournalNew(at, until, copy)) return false;
    }
    return true;
}

// False once nothing more is to be journaled.
bool JournalAhead::JournalRange(std::uint64_t begin, std::uint64_t end) {
    end = std::min(end, original_length_);
    for (std::uint64_t at = begin; at < end; at += kRecordBytes) {
        const std::uint64_t stop = std::min(end, at + kRecordBytes);
        const auto read = [&](unsigned char* bytes) {
            return platform::ReadWhole(original_, bytes, stop - at, at) == platform::Whole::kYes;
        };
        if (!JournalNew(at, stop, read)) return false;
    }
    return true;
}

// Journals [at, stop) when none of it is journaled yet, its bytes from `read`.
bool JournalAhead::JournalNew(std::uint64_t at, std::uint64_t stop,
                              const std::function<bool(unsigned char*)>& read) {
    const auto parts = NewParts(journaled_, at, stop);
    if (parts.size() != 1 || parts[0] != std::make_pair(at, stop)) return true;
    if (!journal_.BytesRecord(file_, at, stop - at, read, record_)) return false;
    journal_.Add(record_);  // before the range counts as journaled, should either throw
    if (journal_.failed()) return !(failed_ = true);
    AddRange(journaled_, at, stop);
    bytes_ += stop - at;
    return true;
}
