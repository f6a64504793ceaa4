#include "fill_in_place.h"

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include <cpl_conv.h>
#include <cpl_error.h>

#include "block_layout.h"
#include "cog.h"
#include "config_option.h"
#include "dataset_path.h"
#include "error_watch.h"
#include "fill.h"
#include "interruption.h"
#include "journal_recovery.h"
#include "lossy_codec.h"
#include "memory_need.h"
#include "overviews.h"
#include "report.h"
#include "statistics.h"
#include "temp_dir.h"
#include "working_copy.h"
#include "write_back.h"

namespace {

// Why the dataset cannot be filled at all, or an empty text when it can.
std::string Refusal(GDALDataset& dataset, const std::string& path) {
    if (dataset.GetRasterCount() < 1) return Quoted(path) + " has no raster band";
    const GDALDataType type = dataset.GetRasterBand(1)->GetRasterDataType();
    if (GDALDataTypeIsComplex(type))
        return std::string("complex pixel type ") + GDALGetDataTypeName(type) +
               " cannot be filled in " + Quoted(path);
    return "";
}

using Result = FillInPlace::Result;
using Kind = FillInPlace::Kind;

// What the fill and the write-back need to know of the run.
struct Job {
    GDALRasterBand& band;
    int max_search_radius;
    int pool_threads;  // of band 1's handle
    FileGuard* guard;
    bool cog;  // rewritten whole after the close
    const std::string& path;
    const Warn& warn;
};

// Why no working copy can be made in `dir`, where it takes up to `room` bytes, or an empty text.
std::string NoWorkingCopy(const PrivateTempDir& dir, long long room, const std::string& needs) {
    const std::string in = Quoted(PrivateTempDir::Parent());
    if (dir.path().empty())
        return "cannot make a working copy in " + in + ": " + dir.error() + "; " + needs;
    const long long free_bytes = dir.FreeBytes();
    if (free_bytes >= 0 && free_bytes < room)
        return "no room for a working copy in " + in + ": " + needs + ", " + Megabytes(free_bytes) +
               " free";
    return "";
}

// Writes back into band 1 the blocks of `copy` that changed, with what follows them in the file.
Result WriteBack(const Job& job, WorkingCopy& copy) {
    const std::string lossy = LossyCodec(*job.band.GetDataset());
    if (!lossy.empty())
        job.warn(Quoted(job.path) + " is compressed with " + lossy + ", a lossy codec: the " +
                 "valid pixels of every block written back change by its error");
    const StoredStatistics statistics = FindStoredStatistics(job.band);
    OverviewRefresh overviews(job.band, WindowsThatMayChange(job.band, copy), job.path, job.warn);
    std::vector<PixelWindow> written;
    CPLDebug("gapMend", "writing band 1 back");
    if (WriteBackChanges(job.band, copy, &written, overviews.stream()) != CE_None)
        return {Kind::kWriteBackFailed, ""};
    CPLDebug("gapMend", "refreshing overviews");
    if (overviews.Finish(written) != CE_None) return {Kind::kWriteBackFailed, ""};
    CPLDebug("gapMend", "refreshing statistics");
    if (RefreshStatistics(job.band, statistics, written) != CE_None)
        return {Kind::kWriteBackFailed, ""};
    return {Kind::kDone, ""};
}

// While the band is filled in strips: journals ahead what the write-back will overwrite where the
// layout shows it (block_layout.h). Not for a COG, which is rewritten whole.
StripSeen ForeseenWrites(const Job& job) {
    if (!job.guard || job.cog) return {};
    auto layout = std::make_shared<const BlockLayout>(LayoutOf(job.band));
    if (!layout->known()) return {};
    HoldInterruptions();  // which come to this thread alone, as for the fill's threads
    const bool started = job.guard->StartJournalAhead();
    ReleaseInterruptions();
    if (!started) return {};
    FileGuard* guard = job.guard;
    return [guard, layout](int top, int rows, const GByte* valid) {
        guard->Foresee(RangesOfGaps(*layout, top, rows, valid));
    };
}

// Fills a working copy of band 1 in a private temporary directory, then writes back. The copy
// and the directory are gone when it returns, however it returns. From the start of the
// write-back on, signals are held (see interruption.h). `if_out_of_memory` is what the run's
// stage makes of running out of memory. It ends in kDone once band 1 is written back (neither
// closed nor committed yet); in kFailed, with nothing tried or written, when there is no working
// copy, no memory for the fill or no journal; else in kInterrupted, kFillFailed or
// kWriteBackFailed.
Result FillAndWriteBack(const Job& job, Kind& if_out_of_memory) {
    const Result interrupted{Kind::kInterrupted,
                             "interrupted; " + Quoted(job.path) + " is unchanged"};
    const PrivateTempDir dir(PrivateTempDir::Parent());
    const long long room = WorkingCopy::MostScratchBytes(job.band);
    const std::string needs = "the working copy needs up to " + Megabytes(room);
    const std::string no_room = NoWorkingCopy(dir, room, needs);
    if (!no_room.empty()) return {Kind::kFailed, no_room};
    const std::unique_ptr<WorkingCopy> copy = WorkingCopy::Create(job.band, dir.path());
    if (!copy)
        return {Kind::kFailed, "cannot make a working copy in " + Quoted(PrivateTempDir::Parent()) +
                                   ": " + CPLGetLastErrorMsg() + "; " + needs};
    const std::string shortfall =
        MemoryShortfall(*copy, job.max_search_radius, job.pool_threads, Quoted(job.path));
    if (!shortfall.empty()) return {Kind::kFailed, shortfall};
    std::string why;
    if (job.guard && !job.guard->StartJournal(why)) return {Kind::kFailed, why};
    if (FillBandGaps(*copy, job.max_search_radius, dir.path(), ForeseenWrites(job)) != CE_None)
        return Interrupted() ? interrupted : Result{Kind::kFillFailed, ""};
    HoldInterruptions();
    if (Interrupted()) return interrupted;
    if_out_of_memory = Kind::kWriteBackFailed;
    return WriteBack(job, *copy);
}

// Running out of memory anywhere in the fill or the write-back fails the run as any error does:
// the working copy and its directory go as the stack unwinds, and a write-back that had begun
// is rolled back.
Result FillAndWriteBackInMemory(const Job& job) {
    Kind if_out_of_memory = Kind::kFillFailed;
    try {
        return FillAndWriteBack(job, if_out_of_memory);
    } catch (const std::bad_alloc&) {
        CPLError(CE_Failure, CPLE_OutOfMemory, "out of memory");
        return {if_out_of_memory, ""};
    }
}

// Opens `file` for update with `pool_threads` in GDAL's pool for its blocks. They are set for this
// thread while it opens the file, as GDAL_NUM_THREADS, which the GTiff driver reads as its
// NUM_THREADS when the file is opened: an open option would have every other driver warn.
GDALDataset* OpenForUpdate(const std::string& file, int pool_threads) {
    const ScopedConfigOption threads("GDAL_NUM_THREADS", std::to_string(pool_threads),
                                     ScopedConfigOption::Scope::kThisThread);
    const CPLStringList options = OpenOptionsForUpdate(file);
    return GDALDataset::FromHandle(
        GDALOpenEx(file.c_str(), GDAL_OF_RASTER | GDAL_OF_UPDATE | GDAL_OF_VERBOSE_ERROR, nullptr,
                   options.List(), nullptr));
}

// Closing writes the changed blocks out. GDAL's close returns nothing, so a failed write is seen
// in the errors GDAL raises meanwhile.
bool CloseDataset(GDALDatasetUniquePtr dataset) {
    const ErrorWatch watch;
    try {
        dataset.reset();
    } catch (const std::bad_alloc&) {
        return false;
    }
    return !watch.failed();
}

}  // namespace

FillInPlace::FillInPlace(std::string path, int max_search_radius, Warn warn)
    : path_(std::move(path)), max_search_radius_(max_search_radius), warn_(std::move(warn)) {}

FillInPlace::Result FillInPlace::Run() {
    const DatasetPath examined = ExamineDatasetPath(path_);
    if (!examined.refusal.empty()) return {Kind::kRefused, examined.refusal};
    file_ = examined.file;
    if (std::optional<Result> stop = TakeCharge()) return *stop;
    if (std::optional<Result> stop = Open(examined.warning)) return *stop;
    PrintDatasetReport(*dataset_);
    const bool cog = IsCog(*dataset_);
    std::optional<MootWarnings> layout_warnings;  // the COG is made whole again after the close
    if (cog) layout_warnings.emplace(CogLayoutWarnings());
    const std::string no_room = cog ? NoRoomForCog(file_, path_) : "";
    if (!no_room.empty()) return {Kind::kFailed, no_room};
    const Job job{*dataset_->GetRasterBand(1),
                  max_search_radius_,
                  pool_threads_,
                  guard_.get(),
                  cog,
                  path_,
                  warn_};
    const Result filled = FillAndWriteBackInMemory(job);
    if (filled.kind == Kind::kFailed || filled.kind == Kind::kInterrupted) {
        Commit(false);  // nothing was written: the journal, if made, goes
        return filled;
    }
    return CloseAndCommit(filled.kind == Kind::kDone, cog, filled.kind == Kind::kFillFailed);
}

// Before the file is opened: refuses it while another run holds it, undoes what the journal of
// an interrupted run records, and guards the file's writes from now on.
std::optional<FillInPlace::Result> FillInPlace::TakeCharge() {
    lock_.emplace(file_);
    if (lock_->state() == RunLock::State::kBusy)
        return Result{Kind::kRefused, Quoted(path_) + " is being filled by another run"};
    if (lock_->state() == RunLock::State::kNoFile) return std::nullopt;
    std::string why;
    switch (RecoverFromJournal(file_, lock_->identity(), why)) {
        case Recovery::kRefused:
            return Result{Kind::kRefused, why};
        case Recovery::kFailed:
            return Result{Kind::kFailed, why};
        case Recovery::kRestored:
            warn_("restored " + Quoted(path_) + " from the journal of an interrupted run");
            break;
        case Recovery::kNothing:
            break;
    }
    guard_ = std::make_unique<FileGuard>(file_, lock_->identity(), warn_);
    return std::nullopt;
}

std::optional<FillInPlace::Result> FillInPlace::Open(const std::string& warning) {
    pool_threads_ = PoolThreads();
    dataset_.reset(OpenForUpdate(file_, pool_threads_));
    if (!dataset_ && guard_ && guard_->replaced())
        return Result{Kind::kRefused, Quoted(path_) +
                                          " was replaced by another file while it "
                                          "was opened; neither file is touched"};
    if (!dataset_) return Result{Kind::kRefused, "cannot open " + Quoted(path_) + " for update"};
    const std::string refusal = Refusal(*dataset_, path_);
    if (!refusal.empty()) return Result{Kind::kRefused, refusal};
    if (guard_ && !guard_->Cover(*dataset_))
        warn_("the writes to " + Quoted(path_) + " (" + dataset_->GetDriverName() +
              ") cannot be journaled; an interrupted write-back cannot be undone");
    if (!warning.empty()) warn_(warning);
    return std::nullopt;
}

// Closes the dataset, makes a COG whole again, and commits, or undoes it all when anything on
// the way failed. Held signals are let through once the file is whole.
FillInPlace::Result FillInPlace::CloseAndCommit(bool written, bool cog, bool fill_failed) {
    CPLDebug("gapMend", "closing");
    bool closed = CloseDataset(std::move(dataset_));
    CPLDebug("gapMend", "committing");
    std::string why;
    if (closed && cog && written && guard_ && guard_->Changed(file_) &&
        !RewriteAsCog(file_, path_, why)) {
        warn_(why);
        closed = false;
    }
    const FileGuard::Outcome finished = Commit(written && closed);
    ReleaseInterruptions();
    if (fill_failed) return {Kind::kFillFailed, "filling band 1 of " + Quoted(path_) + " failed"};
    if (finished == FileGuard::Outcome::kRolledBack)
        return {Kind::kWriteBackFailed,
                "writing " + Quoted(path_) + " back failed; the file is as it was"};
    if (finished == FileGuard::Outcome::kDamaged)
        return {Kind::kWriteBackFailed, "writing " + Quoted(path_) + " back failed"};
    if (Interrupted())
        return {Kind::kInterruptedAfterWrite,
                "interrupted after " + Quoted(path_) + " was written"};
    return {Kind::kDone, ""};
}

FileGuard::Outcome FillInPlace::Commit(bool succeeded) {
    if (!guard_) return succeeded ? FileGuard::Outcome::kCommitted : FileGuard::Outcome::kDamaged;
    std::string why;
    const FileGuard::Outcome outcome = guard_->Finish(succeeded, why);
    if (!why.empty()) warn_(why);
    return outcome;
}
