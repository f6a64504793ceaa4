#include "memory_need.h"

#include <algorithm>

#include <gdal_priv.h>

#include "fill.h"
#include "message.h"
#include "platform.h"
#include "working_copy.h"

namespace {

constexpr long long kMiB = 1 << 20;
constexpr long long kLibraryBytesPerColumn = 100;
constexpr long long kWorkFileBytesPerPixel = 10;
constexpr long long kThreadStack = 8 * kMiB;
// A thread of GDAL's pool: its stack, and the arena that glibc reserves for a thread's own
// allocations, which a limit on the address space (ulimit -v) counts whole. Without it, a run at
// 300 MiB with a 32 MiB cache ran out of memory for a mutex once the pool's threads had started.
constexpr long long kPoolThread = kThreadStack + 64 * kMiB;
constexpr long long kWriteBackBatches = 24 * kMiB;  // the guard's batch, the journal's, a copy
// What GDAL and the allocator take besides. Measured: at 4000 x 4000 Float32 the fill on two
// threads crashed in GDAL up to 10 MB short of the estimate without it, and at 2000 x 2000 with
// a 32 MB cache now and then at 260 MiB, within 16 MiB of it.
constexpr long long kSlack = 48 * kMiB;

}  // namespace

long long FillMemoryBytes(WorkingCopy& copy, int max_search_radius, int pool_threads) {
    GDALRasterBand& band = copy.Original();
    const long long pixels = static_cast<long long>(band.GetXSize()) * band.GetYSize();
    const long long pixel_bytes = GDALGetDataTypeSizeBytes(band.GetRasterDataType());
    int block_width = 0, block_height = 0;
    band.GetBlockSize(&block_width, &block_height);
    const long long block_bytes = static_cast<long long>(block_width) * block_height * pixel_bytes;
    const StripPlan plan = PlanStripsFor(copy, max_search_radius, FillThreads());
    const long long cache = std::min<long long>(
        GDALGetCacheMax64(), pixels * (2 * pixel_bytes + kWorkFileBytesPerPixel));
    const long long each_call = band.GetXSize() * kLibraryBytesPerColumn + block_bytes;
    const long long stacks = (plan.count > 1 ? plan.threads * kThreadStack : 0) +
                             (pool_threads > 1 ? pool_threads * kPoolThread : 0);
    return cache + plan.threads * each_call + stacks + 3 * block_bytes + kWriteBackBatches + kSlack;
}

std::string MemoryShortfall(WorkingCopy& copy, int max_search_radius, int pool_threads,
                            const std::string& quoted_path) {
    const platform::MemoryLimit limit = platform::TightestMemoryLimit();
    if (limit.bytes < 0) return "";
    const long long needed = FillMemoryBytes(copy, max_search_radius, pool_threads);
    if (limit.used + needed <= limit.bytes) return "";
    return "not enough memory to fill " + quoted_path + " within " + limit.name + " of " +
           Megabytes(limit.bytes) + ": " + Megabytes(limit.used) +
           " in use, and the fill needs up to " + Megabytes(needed) +
           " more; lower GDAL_CACHEMAX or raise the limit";
}

int PoolThreads() {
    const int threads = FillThreads();
    const platform::MemoryLimit limit = platform::TightestMemoryLimit();
    if (threads < 2 || limit.bytes < 0) return threads;
    const long long needed =
        GDALGetCacheMax64() + kWriteBackBatches + kSlack + threads * kPoolThread;
    return limit.used + needed <= limit.bytes ? threads : 1;
}
