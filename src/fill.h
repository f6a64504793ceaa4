#pragma once

#include <functional>
#include <string>
#include <vector>

#include <cpl_error.h>
#include <cpl_port.h>

class WorkingCopy;

// The fill: every pixel of band 1's working copy that band 1's mask marks invalid gets a value
// by the library's own interpolation (GDALFillNodata) from the valid pixels within the max search
// radius, followed by its smoothing passes. It runs in one call on the whole band, or in
// horizontal strips, each filled by its own call of the library, several at once on every core,
// with exactly the pixels of the one call.
//
// Why strips are exact: the library's fill of a pixel depends only on rows near it. Its two
// search passes keep a column's last valid pixel only while it lies within floor(R) rows (R the
// max search radius), and search sideways only within the raster's columns, which a strip keeps
// whole. Each of its k smoothing passes reaches one row further, and the smoothing skips the
// raster's first and last rows. Nothing is global: no statistics, no whole-band scans, no code
// that depends on a pixel's position. So it reads from GDAL 3.6 to 3.13 (whose smoothing sums in
// float, where 3.6's summed in double: the two differ, each in itself exact). So a strip filled
// on its window, the strip with
//
//     floor(R) + k rows above it and floor(R) + k + 1 rows below it   (k = 3)
//
// cut at the raster's edges, gets the whole-band call's pixels in its own rows, and only those go
// into the working copy. Each window is a dataset of its own with band 1's pixel type, no-data
// value and kind of mask, so that the library converts and masks as on band 1.
//
// The library marks rows with 16-bit numbers on at most 65,533 rows and columns and with 32-bit
// ones past that, "none" being 65,535 or 4,000,002; only a marker equal to a row's own number
// changes what it fills. So each window, halos included, keeps to 65,533 rows, and a band taller
// than 4,000,001 rows, whose own rows reach the 32-bit marker, stays one whole-band call. So do a
// radius of 0 (no limit) or below, which reaches no bounded number of rows, fills on one thread,
// and rasters too short for strips at least as tall as their halo rows.
//
// The windows in memory at once take a share of GDAL_CACHEMAX, which the cache gives up while
// they live, so that the run's memory stays what it was. GDAL datasets are not thread-safe:
// each thread reads its windows from band 1 and writes the working copy under one lock. No
// handle is opened on the file again: its name may lead to another file by then. No GDAL thread
// pool runs inside the calls meanwhile.

// The library's smoothing passes: each reaches one row further.
constexpr int kSmoothingIterations = 3;

// Prints "Processing image" and fills the working copy of band 1, in strips on every core where
// the plan below finds them, else in one call. GDAL's work files go into `work_dir`. The file
// itself is not touched. Returns CE_Failure, with a GDAL error raised, when the fill did not
// complete, including when a signal stopped it (see interruption.h): a call stops within about a
// second, and a failed strip stops the others. A failure that GDAL reports to no caller counts
// as well: a GDAL error raised meanwhile, or a filled block that the working copy lost.
// `seen`, when set, is told of each strip's rows and band 1's mask over them (0 for a gap) on the
// strip's thread before its fill, so that what they foretell can be done meanwhile.
using StripSeen = std::function<void(int top, int rows, const GByte* valid)>;
CPLErr FillBandGaps(WorkingCopy& copy, int max_search_radius, const std::string& work_dir,
                    const StripSeen& seen = {});

// How the band is cut: `count` strips of `rows` rows (the last one shorter), or of the rows
// between `tops`, on `threads` threads. A count of 1 means one whole-band call.
struct StripPlan {
    int count = 1;
    int rows = 0;  // the tallest strip's
    int threads = 1;
    // Whether each call keeps the library's four work files in memory (its TEMP_FILE_DRIVER=MEM,
    // the same pixels as its GTiff work files) within the windows' share of the cache.
    bool work_files_in_memory = false;
    // The tallest a strip may be: its window within its share of the cache and the row markers.
    int most_rows = 0;
    // Each strip's first row, where the strips are cut to share the work (strip_work.h).
    std::vector<int> tops;

    int Top(int strip) const { return tops.empty() ? strip * rows : tops[strip]; }
    int End(int strip, int height) const { return strip + 1 < count ? Top(strip + 1) : height; }
};

// The threads GDAL_NUM_THREADS asks for (a number, or ALL_CPUS), else the machine's cores.
int FillThreads();

// Strips for a band of this height and block height: two per thread (one where the halos of two
// would cost more than a tenth, and then cut again before the fill to share the work evenly,
// strip_work.h), at least as tall as their halo rows, in whole blocks where
// that fits, with `threads` windows of `row_bytes` a row within `window_bytes` at once, and no
// window taller than 65,533 rows.
StripPlan PlanStrips(int height, int block_height, int max_search_radius, int threads,
                     long long row_bytes, long long window_bytes);

// The plan for this working copy's band, threads and cache. The library's work files of a call
// (a byte mask, a row marker of up to 32 bits, the values in 32-bit floats, a filter mask: 10
// bytes a pixel) are kept in memory where the windows' share of the cache holds them with the
// windows at the same count of strips; else they are GTiff files in the run's private directory,
// whose blocks go through the cache and spill to the disk.
StripPlan PlanStripsFor(WorkingCopy& copy, int max_search_radius, int threads);
