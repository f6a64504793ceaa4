#pragma once

#include <memory>
#include <optional>
#include <string>

#include <gdal_priv.h>

#include "file_guard.h"
#include "message.h"
#include "run_lock.h"

// One run on one file, from taking charge of it to the commit: the run lock, the recovery of an
// interrupted run's journal, the file guard, the open and what refuses the file, the report, the
// fill, the write-back (band 1, its overviews and statistics, a COG made whole again), the close,
// and the commit or the rollback. It ends in one result; what must be said while the run goes on
// (warnings, a restored file) goes to `warn` at once, so that it keeps its place among GDAL's
// own lines on standard error.
class FillInPlace {
  public:
    enum class Kind {
        kDone,                   // the filled band is in the file and on the disk
        kRefused,                // the file cannot be filled at all; it is untouched
        kFailed,                 // stopped before the write-back; the file is as it was
        kFillFailed,             // the fill ran and failed; the file is as it was
        kWriteBackFailed,        // the message says whether the file is as it was
        kInterrupted,            // a signal stopped the fill; the file is unchanged
        kInterruptedAfterWrite,  // a held signal came; the file is written and on the disk
    };
    struct Result {
        Kind kind;
        std::string message;  // what went wrong, naming the file; empty when done
    };

    // `path` is the dataset's name as the user gave it, as every message names it.
    FillInPlace(std::string path, int max_search_radius, Warn warn);
    FillInPlace(const FillInPlace&) = delete;
    FillInPlace& operator=(const FillInPlace&) = delete;

    // Once. The result is to be acted on while this lives: an interrupted fill ends the process
    // with the file still open and locked, as it was.
    Result Run();

  private:
    std::optional<Result> TakeCharge();
    std::optional<Result> Open(const std::string& warning);
    Result CloseAndCommit(bool written, bool cog, bool fill_failed);
    FileGuard::Outcome Commit(bool succeeded);

    const std::string path_;
    const int max_search_radius_;
    const Warn warn_;
    std::string file_;      // the file itself (dataset_path.h)
    int pool_threads_ = 1;  // of GDAL's pool for the dataset's blocks (memory_need.h)
    // Released in the reverse of this order, which is the order that keeps the file whole: the
    // dataset is closed before the guard commits or rolls back, so that every write has passed
    // the guard, and the lock is released last, after the commit, so that no other run takes the
    // file (or its journal) before this one is done with it.
    std::optional<RunLock> lock_;
    std::unique_ptr<FileGuard> guard_;
    GDALDatasetUniquePtr dataset_;
};
