#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <vector>

#include <gdal_priv.h>

#include "write_back.h"

// Band 1's overview levels, and their pixels as GDAL builds them: each level from the one it is
// built from, by GDAL's own resampling (GDALRegenerateOverviews with one overview) on an
// in-memory window that reaches as far around the pixels wanted as the method's kernel does; only
// the window's centre is kept. Where the factor does not divide a level's size, GDAL's result
// depends on the whole axis, and the window spans it. The unit of work is a tile of 128 x 128
// pixels of a level, or a row of them across the whole level.
namespace overview {

// GDAL's overview methods, with the radius of their kernels in pixels of the level built: what
// GDALGetResampleFunction reports, which GDAL does not export.
struct Method {
    const char* name;
    int radius;
};
inline constexpr Method kMethods[] = {{"NEAREST", 0}, {"AVERAGE", 0},     {"RMS", 0},
                                      {"MODE", 0},    {"BILINEAR", 1},    {"GAUSS", 1},
                                      {"CUBIC", 2},   {"CUBICSPLINE", 2}, {"LANCZOS", 3}};
inline constexpr int kWidestRadius = 3;
inline constexpr int kTile = 128;  // the unit of work in every level, in its own pixels

// A way GDAL may have built the levels.
struct Candidate {
    const Method* method;
    bool masked;     // the band's mask (its no-data value, or a per-dataset mask or alpha band)
                     // marks its invalid pixels, as it does for GDAL but with nearest
    bool from_base;  // every level built from the band, not from the level before it
};

struct Level {
    GDALRasterBand* band;
    int width, height, across, down;   // in pixels, and in tiles
    std::vector<char> dirty;           // per tile: its source may have changed
    std::vector<PixelWindow> reached;  // the pixels whose source may have changed
};

// A level's tiles as a candidate computed them: tile index -> pixels, row by row.
using Tiles = std::map<int, std::vector<GByte>>;

// The band and its levels, with what GDAL's resampling makes of the band's mask.
struct Pyramid {
    std::vector<Level> levels;  // [0] is the band itself, then from the largest level
    GDALDataType type;
    int pixel_bytes;
    bool has_nodata;
    double nodata;
    bool masked;       // the band has a mask that GDAL's resampling honours
    bool per_dataset;  // that mask is a per-dataset mask or an alpha band, not the no-data value
};

Pyramid PyramidOf(GDALRasterBand& band);

PixelWindow TileWindow(const Level& level, int tile);
// A row of tiles across the whole level. It is computed in one call of the library: a call for
// each tile spent more time setting up than resampling, and along the whole axis the result is
// exact in any case.
PixelWindow RowWindow(const Level& level, int row);
bool Overlap(const PixelWindow& a, const PixelWindow& b);

// Marks, from each level to the next, the pixels and tiles that `changed` (band pixels) may
// reach with the widest kernel, as a level built from the one before it would change: a superset
// of what a level built from the band would.
void MarkDirty(std::vector<Level>& levels, const std::vector<PixelWindow>& changed);

// A window of level k as the file holds it, with the tiles in `computed` in place of the file's;
// the file is not read where they cover it.
CPLErr ReadLevel(const Pyramid& p, size_t k, const Tiles& computed, const PixelWindow& w,
                 GByte* out);

// The window of level k built around a window `t` of it (`built`), and the window of its source
// level that it is built from, as `c` builds level k.
struct SourceWindow {
    size_t level;
    PixelWindow built, source;
};
SourceWindow Sources(const Pyramid& p, size_t k, const PixelWindow& t, const Candidate& c);

// An in-memory band over `pixels` (width x height, the band's type), with the band's mask when
// `masked`.
GDALDatasetUniquePtr MemoryBand(const Pyramid& p, int width, int height, bool masked,
                                GByte* pixels);

// The pixels of `t`, computed with `c` by GDAL, on in-memory datasets of their own, from `from`,
// which holds the source window (and its mask, where that is a per-dataset one).
CPLErr Resample(const Pyramid& p, const Candidate& c, const SourceWindow& w, const PixelWindow& t,
                GDALDataset& from, std::vector<GByte>& out);

// The pixels of a window of level k, computed with `c` from its source level as it is now, with
// the tiles that `c` computed before in place of the file's. The file is read under `io` (GDAL's
// datasets are not thread-safe); the resampling runs on in-memory datasets of its own.
CPLErr Compute(const Pyramid& p, size_t k, const PixelWindow& t, const Candidate& c,
               const std::vector<Tiles>& computed, std::mutex& io, std::vector<GByte>& out);

// The tiles of one row of level k that `wanted` marks, out of the row's pixels across the level.
Tiles SplitRow(const Pyramid& p, size_t k, int row, const std::vector<char>& wanted,
               const std::vector<GByte>& pixels);

}  // namespace overview
