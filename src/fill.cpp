#include "fill.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <cpl_conv.h>
#include <cpl_multiproc.h>
#include <cpl_string.h>
#include <gdal_alg.h>
#include <gdal_priv.h>

#include "config_option.h"
#include "error_watch.h"
#include "interruption.h"
#include "memory_raster.h"
#include "strip_work.h"
#include "working_copy.h"
#include "write_back.h"

namespace {

// The library marks each column's last valid row with 16-bit numbers, 65,535 for none, in a call
// on at most 65,533 rows and columns, and past that with 32-bit numbers, 4,000,002 for none. The
// marker's type changes nothing while no row's number equals the marker: a window of at most
// this many rows is exact under either type.
constexpr int kMostWindowRows = 65533;
// Taller than this, the whole-band call's own rows reach 4,000,002 and are taken for "none":
// strips would not repeat that, so such bands stay one call.
constexpr int kTallestForStrips = 4000001;
// The library's four work files of a call, a pixel: a byte mask, the row marker (at most 32 bits),
// the values in 32-bit floats and a filter mask.
constexpr long long kWorkFileBytesPerPixel = 10;

// Rows of halo above and below a strip for a max search radius (see fill.h).
int HaloAbove(int max_search_radius) { return max_search_radius + kSmoothingIterations; }
int HaloBelow(int max_search_radius) { return max_search_radius + kSmoothingIterations + 1; }

// The rows of the plan's tallest window, before the band's edges cut it.
int TallestWindow(const StripPlan& plan, int max_search_radius) {
    return plan.rows + HaloAbove(max_search_radius) + HaloBelow(max_search_radius);
}

}  // namespace

int FillThreads() {
    const char* asked = CPLGetConfigOption("GDAL_NUM_THREADS", nullptr);
    if (!asked || EQUAL(asked, "ALL_CPUS")) return std::max(1, CPLGetNumCPUs());
    return std::max(1, std::atoi(asked));
}

StripPlan PlanStrips(int height, int block_height, int max_search_radius, int threads,
                     long long row_bytes, long long window_bytes) {
    StripPlan whole;
    whole.rows = height;
    // A radius past the raster's height leaves no room for strips, and this keeps halos in range.
    if (threads < 2 || max_search_radius <= 0 || max_search_radius >= height ||
        height > kTallestForStrips)
        return whole;
    const int halo = HaloAbove(max_search_radius) + HaloBelow(max_search_radius);
    const long long most_window_rows =
        std::min<long long>(window_bytes / threads / std::max(1LL, row_bytes), kMostWindowRows);
    const long long most_rows = most_window_rows - halo;
    // Two strips a thread balance voids that cluster, unless their halos cost more than a
    // tenth over one strip a thread (each thread's rows: its strips with their halos).
    const long long one_each = (height + threads - 1) / threads + halo;
    const long long two_each = 2 * ((height + 2LL * threads - 1) / (2LL * threads) + halo);
    const long long per_thread = two_each * 10 <= one_each * 11 ? 2 : 1;
    long long rows =
        std::max<long long>((height + per_thread * threads - 1) / (per_thread * threads), halo);
    // Whole blocks: a strip then writes whole blocks of the working copy, reading none first.
    const long long blocks_up = (rows + block_height - 1) / block_height * block_height;
    const long long blocks_down = rows / block_height * block_height;
    if (blocks_up <= most_rows)
        rows = blocks_up;
    else if (blocks_down >= halo && blocks_down <= most_rows)
        rows = blocks_down;
    rows = std::min(rows, most_rows);
    if (rows < halo || rows >= height) return whole;
    StripPlan plan;
    plan.count = static_cast<int>((height + rows - 1) / rows);
    plan.rows = static_cast<int>(rows);
    plan.threads = std::min(threads, plan.count);
    plan.most_rows = static_cast<int>(most_rows);
    return plan;
}

namespace {

// Band 1's shape, as every window repeats it: read before the threads start.
struct BandShape {
    explicit BandShape(WorkingCopy& copy);

    GDALDataType type = GDT_Unknown;
    int width = 0, height = 0;
    bool explicit_mask = false;  // an alpha band or per-dataset mask, handed over as a band
    int has_nodata = 0;
    double nodata = 0;
    int64_t nodata_int64 = 0;
    uint64_t nodata_uint64 = 0;
};

BandShape::BandShape(WorkingCopy& copy) {
    GDALRasterBand& band = copy.Original();
    type = band.GetRasterDataType();
    width = band.GetXSize();
    height = band.GetYSize();
    explicit_mask = !copy.MaskIsOwn();
    if (type == GDT_Int64)
        nodata_int64 = band.GetNoDataValueAsInt64(&has_nodata);
    else if (type == GDT_UInt64)
        nodata_uint64 = band.GetNoDataValueAsUInt64(&has_nodata);
    else
        nodata = band.GetNoDataValue(&has_nodata);
}

// Which strip comes next, whether the fill stops, and how many threads still run.
struct Schedule {
    Schedule(const StripPlan& strips, int max_search_radius)
        : plan(strips), radius(max_search_radius) {}

    const StripPlan plan;
    const int radius;
    std::atomic<int> next{0};
    std::atomic<bool> stop{false};  // set on a signal or a failure; every call then stops
    bool alone = false;  // no thread could be started: the calling thread does every strip

    std::mutex done_lock;  // guards `running`
    std::condition_variable done;
    int running = 0;
};

// What every thread shares. Band 1, its mask and the working copy are touched only under `io`.
struct Shared {
    Shared(WorkingCopy& working_copy, int max_search_radius, const StripPlan& plan,
           const StripSeen& strip_seen)
        : copy(working_copy),
          band(working_copy.Original()),
          shape(working_copy),
          schedule(plan, max_search_radius),
          seen(strip_seen) {}

    WorkingCopy& copy;
    GDALRasterBand& band;
    std::mutex io;
    const BandShape shape;
    Schedule schedule;
    FirstFailure failure{"filling a strip of band 1 failed"};
    const StripSeen& seen;
};

// The progress callback of every call: it stops the call once a signal has come (noted by the
// thread that started the others, see FillInStrips) or another strip has failed.
int CPL_STDCALL KeepGoing(double done, const char* message, void* schedule) {
    const Schedule& s = *static_cast<const Schedule*>(schedule);
    if (s.alone && !StopWhenInterrupted(done, message, nullptr)) return FALSE;
    return !s.stop.load();
}

// A window as a dataset of its own over `values` (and `valid`, the mask's values, as band 2
// when band 1's mask is an alpha band or a per-dataset mask), with band 1's no-data value.
GDALDatasetUniquePtr WindowDataset(const BandShape& s, int rows, GByte* values, GByte* valid) {
    GDALDatasetUniquePtr window = MemoryRaster(s.width, rows);
    if (!window || AddBandOver(*window, s.type, values) != CE_None ||
        (s.explicit_mask && AddBandOver(*window, GDT_Byte, valid) != CE_None))
        return nullptr;
    GDALRasterBand& band = *window->GetRasterBand(1);
    if (s.has_nodata && s.type == GDT_Int64)
        band.SetNoDataValueAsInt64(s.nodata_int64);
    else if (s.has_nodata && s.type == GDT_UInt64)
        band.SetNoDataValueAsUInt64(s.nodata_uint64);
    else if (s.has_nodata)
        band.SetNoDataValue(s.nodata);
    return window;
}

// What a thread keeps from strip to strip: buffers for the plan's tallest window, taken once and
// left unset (each strip reads into them before it uses them), so that their memory is touched
// once: fresh memory costs a fault a page, and on a virtual machine often the host's too.
struct Worker {
    void Reserve(const Shared& s);

    std::unique_ptr<GByte[]> values, valid;
};

// Every window is read through the run's own handle on the file, under the lock: a handle opened
// again by the file's name might reach another file, put there since the run locked this one.
CPLErr ReadWindow(Shared& s, int top, int rows, GByte* values, GByte* mask) {
    const std::lock_guard<std::mutex> hold(s.io);
    return ReadRows(s.band, top, rows, values, mask);
}

// Notes the gaps of the strip's rows, from band 1's mask over them, in the gap map.
void NoteGaps(Shared& s, int strip_top, int strip_rows, const GByte* mask) {
    const std::lock_guard<std::mutex> hold(s.io);
    s.copy.Gaps().NoteRows(strip_top, strip_rows, mask);
}

// Puts the strip's own rows of a filled window into the working copy, and where given the mask of
// the filled rows into its gap map.
CPLErr PutStrip(Shared& s, int strip_top, int strip_rows, GByte* values, const GByte* filled_mask) {
    const std::lock_guard<std::mutex> hold(s.io);
    if (filled_mask) s.copy.Gaps().NoteGapsLeft(strip_top, strip_rows, filled_mask);
    return s.copy.PutRows(strip_top, strip_rows, values);
}

// Band 1's own mask is computed from its values, and the window's from the same values: the gap
// map learns the strip's rows from the window, on the strip's thread, outside the lock. A few rows
// at a time, so that the library's buffer for them is small, and used again.
CPLErr OwnMask(GDALRasterBand& window, int first, int rows, GByte* mask) {
    constexpr int kRowsAtATime = 64;
    const int width = window.GetXSize();
    GDALRasterBand& own = *window.GetMaskBand();
    for (int y = first; y < first + rows; y += kRowsAtATime) {
        const int n = std::min(kRowsAtATime, first + rows - y);
        if (own.RasterIO(GF_Read, 0, y, width, n, mask + static_cast<size_t>(y) * width, width, n,
                         GDT_Byte, 0, 0, nullptr) != CE_None)
            return CE_Failure;
    }
    return CE_None;
}

// Takes the buffers for the plan's tallest window, the first time.
void Worker::Reserve(const Shared& s) {
    if (values) return;
    const size_t most_rows =
        std::min(s.shape.height, TallestWindow(s.schedule.plan, s.schedule.radius));
    values.reset(new GByte[most_rows * s.shape.width * GDALGetDataTypeSizeBytes(s.shape.type)]);
    // The window's mask: read with it, or computed for the gap map.
    valid.reset(new GByte[most_rows * s.shape.width]);
}

// Whether the write-back tells a changed block by the gaps it has left (write_back.h): then they
// are counted here, on every core, not by the write-back on one thread.
bool CountsGapsLeft(const BandShape& shape) {
    return !shape.explicit_mask && !FloatRoundTripChanges(shape.type);
}

// The mask of rows [first, first + rows) of a filled window, from a new window over its values:
// the old window's mask blocks, in GDAL's cache, were computed before the fill.
CPLErr FilledMask(const BandShape& shape, int window_rows, GByte* values, int first, int rows,
                  GByte* mask) {
    GDALDatasetUniquePtr filled = WindowDataset(shape, window_rows, values, nullptr);
    return filled ? OwnMask(*filled->GetRasterBand(1), first, rows, mask) : CE_Failure;
}

// Fills one strip on its window and puts the strip's own rows into the working copy.
CPLErr FillStrip(Shared& s, int strip, Worker& worker) {
    const BandShape& shape = s.shape;
    const int radius = s.schedule.radius;
    const int strip_top = s.schedule.plan.Top(strip);
    const int strip_rows = s.schedule.plan.End(strip, shape.height) - strip_top;
    const int top = std::max(0, strip_top - HaloAbove(radius));
    const int rows = std::min(shape.height, strip_top + strip_rows + HaloBelow(radius)) - top;
    const size_t skip = strip_top - top;
    worker.Reserve(s);
    GByte* const values = worker.values.get();
    GByte* const mask = worker.valid.get();
    if (ReadWindow(s, top, rows, values, shape.explicit_mask ? mask : nullptr) != CE_None)
        return CE_Failure;
    GDALDatasetUniquePtr window = WindowDataset(shape, rows, values, mask);
    if (!window) return CE_Failure;
    GDALRasterBand& target = *window->GetRasterBand(1);
    if (!shape.explicit_mask && OwnMask(target, skip, strip_rows, mask) != CE_None)
        return CE_Failure;
    NoteGaps(s, strip_top, strip_rows, mask + skip * shape.width);
    if (s.seen) s.seen(strip_top, strip_rows, mask + skip * shape.width);
    GDALRasterBand& target_mask =
        shape.explicit_mask ? *window->GetRasterBand(2) : *target.GetMaskBand();
    CPLStringList options;
    if (s.schedule.plan.work_files_in_memory) options.AddString("TEMP_FILE_DRIVER=MEM");
    if (GDALFillNodata(&target, &target_mask, static_cast<double>(radius), 0, kSmoothingIterations,
                       options.List(), KeepGoing, &s.schedule) != CE_None)
        return CE_Failure;
    window.reset();
    const bool count = CountsGapsLeft(shape);
    if (count && FilledMask(shape, rows, values, skip, strip_rows, mask) != CE_None)
        return CE_Failure;
    return PutStrip(s, strip_top, strip_rows,
                    values + skip * shape.width * GDALGetDataTypeSizeBytes(shape.type),
                    count ? mask + skip * shape.width : nullptr);
}

// Keeps the first failure and stops the other threads.
void NoteFailure(Shared& s) {
    s.failure.Note();
    s.schedule.stop = true;
}

// One thread: strips in turn until none is left or the fill stops. Its GDAL errors stay quiet
// here (the handler is the thread's own), so that a signal gives one error line, not one a
// thread. A failure that GDAL reports to no caller (a block of the library's work files, or of
// the working copy, that this thread's cache eviction could not write) fails the strip too.
void Work(Shared& s) {
    Schedule& schedule = s.schedule;
    CPLPushErrorHandler(CPLQuietErrorHandler);
    Worker worker;
    for (int strip = schedule.next++; strip < schedule.plan.count && !schedule.stop;
         strip = schedule.next++) {
        try {
            const ErrorWatch watch(true);
            CPLErrorReset();
            if (FillStrip(s, strip, worker) != CE_None || watch.failed()) NoteFailure(s);
        } catch (const std::bad_alloc&) {
            CPLError(CE_Failure, CPLE_OutOfMemory, "out of memory for a strip's window");
            NoteFailure(s);
        }
    }
    CPLPopErrorHandler();
    const std::lock_guard<std::mutex> hold(schedule.done_lock);
    --schedule.running;
    schedule.done.notify_all();
}

// Starts the workers with the interruption signals held, so that they come to this thread
// alone, and returns how many started.
int StartWorkers(Shared& s, std::vector<std::thread>& threads) {
    Schedule& schedule = s.schedule;
    HoldInterruptions();
    try {
        while (static_cast<int>(threads.size()) < schedule.plan.threads) {
            {
                const std::lock_guard<std::mutex> hold(schedule.done_lock);
                ++schedule.running;
            }
            threads.emplace_back(Work, std::ref(s));
        }
    } catch (const std::system_error&) {
        const std::lock_guard<std::mutex> hold(schedule.done_lock);
        --schedule.running;  // fewer threads than asked for: the ones there are do every strip
    }
    ReleaseInterruptions();
    return static_cast<int>(threads.size());
}

// Waits for the workers, and passes a signal on to them within a few hundredths of a second.
void WaitForWorkers(Schedule& s) {
    std::unique_lock<std::mutex> hold(s.done_lock);
    while (s.running > 0) {
        s.done.wait_for(hold, std::chrono::milliseconds(20));
        if (Interrupted()) s.stop = true;
    }
}

// The windows in memory at once, in bytes.
long long WindowBytes(const StripPlan& plan, long long row_bytes, int radius) {
    return plan.threads * static_cast<long long>(TallestWindow(plan, radius)) * row_bytes;
}

// What a row of a window takes in memory (its values and its mask), with the library's work files
// when they are there too.
long long RowBytes(WorkingCopy& copy, bool work_files_in_memory) {
    GDALRasterBand& band = copy.Original();
    return static_cast<long long>(band.GetXSize()) *
           (GDALGetDataTypeSizeBytes(band.GetRasterDataType()) + 1 +
            (work_files_in_memory ? kWorkFileBytesPerPixel : 0));
}

// The cache gives up what the windows take while they live.
class CacheShare {
  public:
    explicit CacheShare(long long bytes) : whole_(GDALGetCacheMax64()) {
        GDALSetCacheMax64(std::max<long long>(whole_ - bytes, 0));
    }
    ~CacheShare() { GDALSetCacheMax64(whole_); }
    CacheShare(const CacheShare&) = delete;
    CacheShare& operator=(const CacheShare&) = delete;

  private:
    const long long whole_;
};

// Fills the working copy strip by strip on the plan's threads. Each call reports its errors only
// to this function, which raises the first one once, as a GDAL error.
CPLErr FillInStrips(WorkingCopy& copy, int max_search_radius, const StripPlan& plan,
                    const StripSeen& seen) {
    Shared s(copy, max_search_radius, plan, seen);
    std::string tops;
    for (int strip = 0; strip < plan.count; ++strip) tops += " " + std::to_string(plan.Top(strip));
    CPLDebug("gapMend",
             "filling in %d strips of at most %d rows on %d threads, work files %s, from rows%s",
             plan.count, plan.rows, plan.threads,
             plan.work_files_in_memory ? "in memory" : "on disk", tops.c_str());
    const CacheShare share(
        WindowBytes(plan, RowBytes(copy, plan.work_files_in_memory), max_search_radius));
    // No GDAL thread pool inside the fill in strips: with GDAL_NUM_THREADS set, the library's
    // GTiff work files would hand their blocks to GDAL's one global pool, and a pool thread that
    // evicts another call's block can wait for that call while the call waits for the pool.
    const ScopedConfigOption no_pool("GDAL_NUM_THREADS", "1");
    std::vector<std::thread> threads;
    if (StartWorkers(s, threads) == 0) {
        s.schedule.alone = true;
        s.schedule.running = 1;
        Work(s);
    }
    WaitForWorkers(s.schedule);
    for (std::thread& thread : threads) thread.join();
    // A signal that came before any call saw it stops the fill all the same, in the library's
    // own words.
    if (s.schedule.stop && !s.failure.failed()) {
        CPLError(CE_Failure, CPLE_UserInterrupt, "User terminated");
        return CE_Failure;
    }
    return s.failure.Raise();
}

// With one strip a thread, the strips are cut where they share the work evenly (strip_work.h).
// A band whose mask cannot be read keeps its equal strips, whose own reads then fail.
void ShareTheWork(WorkingCopy& copy, int max_search_radius, StripPlan& plan) {
    if (plan.count < 2 || plan.count > plan.threads) return;
    const std::vector<double> work = RowWork(copy.Original(), max_search_radius);
    if (work.empty()) return;
    std::vector<int> tops = BalancedTops(work, plan.count, HaloAbove(max_search_radius),
                                         HaloBelow(max_search_radius), plan.most_rows);
    if (tops.size() < 2 || static_cast<int>(tops.size()) > plan.count) return;
    plan.count = static_cast<int>(tops.size());
    plan.threads = std::min(plan.threads, plan.count);
    plan.tops = std::move(tops);
    plan.rows = 0;
    for (int strip = 0; strip < plan.count; ++strip)
        plan.rows =
            std::max(plan.rows, plan.End(strip, copy.Original().GetYSize()) - plan.Top(strip));
}

}  // namespace

StripPlan PlanStripsFor(WorkingCopy& copy, int max_search_radius, int threads) {
    GDALRasterBand& band = copy.Original();
    int block_width = 0, block_height = 0;
    band.GetBlockSize(&block_width, &block_height);
    // Half the cache at most for the windows, the rest for the working copy and the library's
    // own work files, unless the windows' half holds them too.
    const long long share = GDALGetCacheMax64() / 2;
    const StripPlan on_disk = PlanStrips(band.GetYSize(), block_height, max_search_radius, threads,
                                         RowBytes(copy, false), share);
    StripPlan in_memory = PlanStrips(band.GetYSize(), block_height, max_search_radius, threads,
                                     RowBytes(copy, true), share);
    if (on_disk.count < 2 || in_memory.count != on_disk.count) return on_disk;
    in_memory.work_files_in_memory = true;
    return in_memory;
}

CPLErr FillBandGaps(WorkingCopy& copy, int max_search_radius, const std::string& work_dir,
                    const StripSeen& seen) {
    std::printf("Processing image\n");
    const ScopedConfigOption work_files("CPL_TMPDIR", work_dir);  // before any thread starts
    StripPlan plan = PlanStripsFor(copy, max_search_radius, FillThreads());
    const ErrorWatch watch;
    ShareTheWork(copy, max_search_radius, plan);
    const CPLErr status =
        plan.count > 1
            ? FillInStrips(copy, max_search_radius, plan, seen)
            : GDALFillNodata(&copy.Band(), &copy.Mask(), static_cast<double>(max_search_radius), 0,
                             kSmoothingIterations, nullptr, StopWhenInterrupted, nullptr);
    return status == CE_None && !watch.failed() && !LostBlocks(copy) ? CE_None : CE_Failure;
}
