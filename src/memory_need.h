#pragma once

#include <string>

class WorkingCopy;

// What the fill and the write-back may take in memory beyond what the process uses already:
//  - GDAL's block cache (GDAL_CACHEMAX), or what it can hold here if that is less: the working
//    copy, band 1's blocks and the library's four work files (a byte mask, its distances and
//    values, a filter mask: 10 bytes a pixel);
//  - the strips' windows, which the cache gives up while they live (fill.h);
//  - each call of the library: its row buffers (about 100 bytes a column), and one block of
//    band 1's type, which GDAL's no-data mask allocates for each block it reads. GDAL 3.6 goes on
//    after that allocation fails and crashes, so the run must not get there;
//  - each thread's stack, the write-back's blocks and journal batches, and some slack.
// Some of GDAL's allocations end the process when they fail (CPLMalloc's fatal error), which no
// caller can catch: the estimate errs on the high side.
// The library cannot be mended from here, but the run can stay out of the state that crashes it.
// `pool_threads` are the threads of GDAL's pool on band 1's own handle (PoolThreads), whose
// stacks count as the fill's threads do.
long long FillMemoryBytes(WorkingCopy& copy, int max_search_radius, int pool_threads);

// Why the fill does not fit within the process's memory limit (platform.h), or empty: the
// limit, what is in use and what the fill needs, for a message about `quoted_path`.
std::string MemoryShortfall(WorkingCopy& copy, int max_search_radius, int pool_threads,
                            const std::string& quoted_path);

// The threads of GDAL's pool for band 1's own handle (the GTiff driver's NUM_THREADS, which
// decompresses and compresses its blocks): the fill's threads, or 1, no pool, where a memory
// limit is tight. GDAL's pool starts a thread only once it is handed a job, and a job whose
// thread could not start stays pending for ever (GDAL 3.6's job queue counts it before the start
// fails), so the run would wait in the queue's WaitCompletion. Before the open, only what the
// fill needs whatever the raster is known: the tight limit leaves less room than that and every
// pool thread's stack. The rest is checked once the raster is known (MemoryShortfall).
int PoolThreads();
