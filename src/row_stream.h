#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <gdal.h>

// Band 1's rows as the write-back hands them over, a block at a time and as the file will hold
// them, to jobs that run on a thread of their own, each over a span of whole rows, in order, as
// soon as all of its rows are there. What follows the write-back and needs the written band (the
// first overview level) is so computed on the core that the write-back leaves idle, from pixels
// already in memory, instead of after it from the file.
//
// Memory stays bounded whatever the raster's size: a block row is dropped once no job to come
// needs it, and the write-back waits while more block rows are held than the widest span needs.
// It never waits on a job that lacks a row, since the rows a job lacks come only after those held.
class RowStream {
  public:
    struct Span {
        int first, end;  // rows [first, end), in ascending order of `first` from span to span
    };
    // Job `index`, over its span's rows, row after row from `rows` in band 1's type. False when it
    // failed; the stream then stops, and Finish says so.
    using Job = std::function<bool(size_t index, const GByte* rows)>;

    struct Shape {
        int width, height, block_width, block_height, pixel_bytes;
    };
    RowStream(Shape shape, std::vector<Span> spans, Job job);
    ~RowStream();
    RowStream(const RowStream&) = delete;
    RowStream& operator=(const RowStream&) = delete;

    // Whether a job needs block row `block_y`: then each of its blocks is to be handed over, from
    // the left.
    bool Wants(int block_y) const;
    // One whole block (block_width x block_height, band 1's type); its part inside the raster is
    // kept.
    void Take(int block_x, int block_y, const GByte* block);
    // After the last block: waits for the jobs. False when one failed, or could not run because a
    // row it needed never came, or the thread could not be started.
    bool Finish();

  private:
    using Chunk = std::shared_ptr<const std::vector<GByte>>;  // a block row, whole rows
    void Run();
    bool Gather(const Span& span, std::vector<GByte>& rows);
    void Stop();

    const Shape shape_;
    const std::vector<Span> spans_;
    const Job job_;
    std::vector<char> wanted_;  // per block row
    std::size_t most_held_;     // block rows
    std::vector<GByte> assembling_;

    std::mutex lock_;  // guards what follows
    std::condition_variable changed_;
    std::map<int, Chunk> held_;  // by block row
    bool all_handed_ = false;
    bool stopped_ = false;  // a job failed, or the stream is being torn down
    bool failed_ = false;
    std::thread thread_;
};
