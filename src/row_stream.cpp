#include "row_stream.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include <cpl_error.h>

RowStream::RowStream(Shape shape, std::vector<Span> spans, Job job)
    : shape_(shape), spans_(std::move(spans)), job_(std::move(job)) {
    const int down = (shape_.height + shape_.block_height - 1) / shape_.block_height;
    wanted_.assign(down, 0);
    int widest = 0;
    for (const Span& span : spans_) {
        for (int by = span.first / shape_.block_height; by * shape_.block_height < span.end; ++by)
            wanted_[by] = 1;
        widest = std::max(widest, span.end - span.first);
    }
    // The block rows a span may straddle, and the one being handed over.
    most_held_ = static_cast<std::size_t>(widest / shape_.block_height + 2);
    try {
        thread_ = std::thread(&RowStream::Run, this);
    } catch (const std::system_error&) {
        failed_ = stopped_ = true;
    }
}

RowStream::~RowStream() {
    Stop();
    if (thread_.joinable()) thread_.join();
}

void RowStream::Stop() {
    const std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
    changed_.notify_all();
}

bool RowStream::Wants(int block_y) const {
    return block_y >= 0 && block_y < static_cast<int>(wanted_.size()) && wanted_[block_y];
}

void RowStream::Take(int block_x, int block_y, const GByte* block) {
    const int left = block_x * shape_.block_width, top = block_y * shape_.block_height;
    const int width = std::min(shape_.block_width, shape_.width - left);
    const int rows = std::min(shape_.block_height, shape_.height - top);
    const std::size_t row_bytes = static_cast<std::size_t>(shape_.width) * shape_.pixel_bytes;
    assembling_.resize(row_bytes * rows);
    const std::size_t block_row_bytes =
        static_cast<std::size_t>(shape_.block_width) * shape_.pixel_bytes;
    for (int y = 0; y < rows; ++y)
        std::memcpy(
            &assembling_[row_bytes * y + static_cast<std::size_t>(left) * shape_.pixel_bytes],
            block + block_row_bytes * y, static_cast<std::size_t>(width) * shape_.pixel_bytes);
    if (left + width < shape_.width) return;
    auto chunk = std::make_shared<const std::vector<GByte>>(std::move(assembling_));
    assembling_ = {};
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return stopped_ || held_.size() < most_held_; });
    if (stopped_) return;
    held_[block_y] = std::move(chunk);
    changed_.notify_all();
}

bool RowStream::Finish() {
    {
        const std::lock_guard<std::mutex> hold(lock_);
        all_handed_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    return !failed_;
}

// Waits for the block rows of `span`, and copies its rows out of them, outside the lock. False
// when one never comes.
bool RowStream::Gather(const Span& span, std::vector<GByte>& rows) {
    const int bh = shape_.block_height;
    const int first = span.first / bh, last = (span.end - 1) / bh;
    std::vector<Chunk> chunks;
    {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] {
            return stopped_ || all_handed_ || (held_.count(first) && held_.rbegin()->first >= last);
        });
        if (stopped_) return false;
        for (int by = first; by <= last; ++by) {
            const auto found = held_.find(by);
            if (found == held_.end()) return false;
            chunks.push_back(found->second);
        }
    }
    const std::size_t row_bytes = static_cast<std::size_t>(shape_.width) * shape_.pixel_bytes;
    rows.resize(row_bytes * (span.end - span.first));
    for (int by = first; by <= last; ++by) {
        const int from = std::max(span.first, by * bh), to = std::min(span.end, (by + 1) * bh);
        std::memcpy(&rows[row_bytes * (from - span.first)],
                    chunks[by - first]->data() + row_bytes * (from - by * bh),
                    row_bytes * (to - from));
    }
    return true;
}

// The thread: each job once its rows are there; then the block rows that no job to come needs
// are dropped. Its GDAL errors stay quiet: a failed job leaves the work to after the write-back.
void RowStream::Run() {
    CPLPushErrorHandler(CPLQuietErrorHandler);
    std::vector<GByte> rows;
    for (std::size_t i = 0; i < spans_.size(); ++i) {
        bool done = false;
        try {
            done = Gather(spans_[i], rows) && job_(i, rows.data());
        } catch (const std::bad_alloc&) {
            done = false;
        }
        const std::lock_guard<std::mutex> hold(lock_);
        if (!done) {
            failed_ = stopped_ = true;
            held_.clear();
            changed_.notify_all();
            break;
        }
        const int keep = i + 1 < spans_.size() ? spans_[i + 1].first / shape_.block_height
                                               : static_cast<int>(wanted_.size());
        held_.erase(held_.begin(), held_.lower_bound(keep));
        changed_.notify_all();
    }
    CPLPopErrorHandler();
}
