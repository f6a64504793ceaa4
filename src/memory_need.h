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
long long FillMemoryBytes(WorkingCopy& copy, int max_search_radius);

// Why the fill does not fit within the process's memory limit (platform.h), or empty: the
// limit, what is in use and what the fill needs, for a message about `quoted_path`.
std::string MemoryShortfall(WorkingCopy& copy, int max_search_radius,
                            const std::string& quoted_path);
