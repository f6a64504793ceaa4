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
// them, to jobs that run on threads of their own, each over a span of whole rows, as soon as all
// of its rows are there. What follows the write-back and needs the written band (the first
// overview level) is so computed on the cores that the write-back leaves idle, from pixels
// already in memory, instead of after it from the file. A job computes on either of two threads,
// two at once; what it computed is then kept one job at a time, in the order of the spans.
//
// Memory stays bounded whatever the raster's size: a block row is dropped once no job to come
// needs it, and the write-back waits while more block rows are held than the widest span needs.
// It never waits on a job that lacks a row, since the rows a job lacks come only after those held.
class RowStream {
  public:
    struct Span {
        int first, end;  // rows [first, end), in ascending order of `first` from span to span
    };
    // Job `index`, over its span's rows, row after row from `rows` in band 1's type, computes its
    // result, on either thread. False when it failed; the stream then stops, and Finish says so.
    using Compute =
        std::function<bool(size_t index, const GByte* rows, std::vector<GByte>& result)>;
    // Keeps job `index`'s result: one job at a time, in the order of the spans. False when it
    // failed, as for Compute.
    using Keep = std::function<bool(size_t index, std::vector<GByte> result)>;

    struct Shape {
        int width, height, block_width, block_height, pixel_bytes;
    };
    RowStream(Shape shape, std::vector<Span> spans, Compute compute, Keep keep);
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
    void Recycle(std::vector<GByte>* chunk);
    bool Gather(std::size_t index, std::vector<GByte>& rows);
    bool WaitTurn(std::size_t index);
    void Stop();

    const Shape shape_;
    const std::vector<Span> spans_;
    const Compute compute_;
    const Keep keep_;
    std::vector<char> wanted_;  // per block row
    std::size_t most_held_;     // block rows
    std::vector<GByte> assembling_;
    std::mutex spare_lock_;  // guards spare_, which block rows give back from any thread
    std::vector<std::vector<GByte>> spare_;

    std::mutex lock_;  // guards what follows
    std::condition_variable changed_;
    std::map<int, Chunk> held_;   // by block row
    std::size_t next_ = 0;        // the next job for a thread to take
    std::vector<char> gathered_;  // per job: its rows were taken
    std::size_t ungathered_ = 0;  // the first job whose rows were not taken yet
    std::size_t kept_ = 0;        // the jobs kept so far
    bool all_handed_ = false;
    bool stopped_ = false;  // a job failed, or the stream is being torn down
    bool failed_ = false;
    std::vector<std::thread> threads_;
};
