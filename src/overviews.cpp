#include "overviews.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal_priv.h>

#include "error_watch.h"
#include "fill.h"
#include "memory_raster.h"
#include "message.h"
#include "row_stream.h"

namespace {

// GDAL's overview methods, with the radius of their kernels in pixels of the level built: what
// GDALGetResampleFunction reports, which GDAL does not export.
struct Method {
    const char* name;
    int radius;
};
constexpr Method kMethods[] = {{"NEAREST", 0}, {"AVERAGE", 0},     {"RMS", 0},
                               {"MODE", 0},    {"BILINEAR", 1},    {"GAUSS", 1},
                               {"CUBIC", 2},   {"CUBICSPLINE", 2}, {"LANCZOS", 3}};
constexpr int kWidestRadius = 3;
constexpr int kTile = 128;  // the unit of work in every level, in its own pixels
constexpr int kSample = 8;  // the side of a window that tells the methods apart
constexpr int kSamplesPerLevel = 12;
constexpr int kMostSampleReads = 256;  // per level, for levels that are flat nearly everywhere

struct Candidate {
    const Method* method;
    bool masked;     // the band's mask (its no-data value, or a per-dataset mask or alpha band)
                     // marks its invalid pixels, as it does for GDAL but with nearest
    bool from_base;  // every level built from the band, not from the level before it (FromBase)
};

struct Level {
    GDALRasterBand* band;
    int width, height, across, down;   // in pixels, and in tiles
    std::vector<char> dirty;           // per tile: its source may have changed
    std::vector<PixelWindow> reached;  // the pixels whose source may have changed
};

// A level's tiles as a candidate computed them: tile index -> pixels, row by row.
using Tiles = std::map<int, std::vector<GByte>>;

struct Refresh {
    std::vector<Level> levels;  // [0] is the band itself
    GDALDataType type;
    int pixel_bytes;
    bool has_nodata;
    double nodata;
    bool masked;       // the band has a mask that GDAL's resampling honours
    bool per_dataset;  // that mask is a per-dataset mask or an alpha band, not the no-data value
};

std::vector<Level> Levels(GDALRasterBand& band) {
    std::vector<Level> levels{{&band, band.GetXSize(), band.GetYSize(), 0, 0, {}, {}}};
    for (int i = 0; i < band.GetOverviewCount(); ++i) {
        GDALRasterBand* overview = band.GetOverview(i);
        if (!overview || overview->GetXSize() >= band.GetXSize()) continue;
        const int w = overview->GetXSize(), h = overview->GetYSize();
        const int across = (w + kTile - 1) / kTile, down = (h + kTile - 1) / kTile;
        levels.push_back({overview, w, h, across, down, std::vector<char>(across * down, 0), {}});
    }
    std::sort(levels.begin() + 1, levels.end(),
              [](const Level& a, const Level& b) { return a.width > b.width; });
    return levels;
}

PixelWindow TileWindow(const Level& level, int tile) {
    const int x = tile % level.across * kTile, y = tile / level.across * kTile;
    return {x, y, std::min(kTile, level.width - x), std::min(kTile, level.height - y)};
}

bool Overlap(const PixelWindow& a, const PixelWindow& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
           b.y < a.y + a.height;
}

// The pixels of `to` that the window of `from` may reach, with the widest kernel, and the tiles
// that hold them.
void MarkBelow(const PixelWindow& w, const Level& from, Level& to) {
    const double rx = double(from.width) / to.width, ry = double(from.height) / to.height;
    const int x0 = std::max(0, int(std::floor(w.x / rx)) - kWidestRadius - 1);
    const int y0 = std::max(0, int(std::floor(w.y / ry)) - kWidestRadius - 1);
    const int x1 = std::min(to.width, int(std::ceil((w.x + w.width) / rx)) + kWidestRadius + 1);
    const int y1 = std::min(to.height, int(std::ceil((w.y + w.height) / ry)) + kWidestRadius + 1);
    to.reached.push_back({x0, y0, x1 - x0, y1 - y0});
    for (int ty = y0 / kTile; ty * kTile < y1; ++ty)
        for (int tx = x0 / kTile; tx * kTile < x1; ++tx) to.dirty[ty * to.across + tx] = 1;
}

// From each level to the next, as a level built from the one before it would change: a superset
// of what a level built from the band would.
void MarkDirty(std::vector<Level>& levels, const std::vector<PixelWindow>& changed) {
    levels[0].reached = changed;
    for (size_t k = 1; k < levels.size(); ++k)
        for (const PixelWindow& w : levels[k - 1].reached) MarkBelow(w, levels[k - 1], levels[k]);
}

// Whether the tiles in `computed` cover the window whole.
bool Covered(const Level& level, const Tiles& computed, const PixelWindow& w) {
    if (computed.empty()) return false;
    for (int ty = w.y / kTile; ty * kTile < w.y + w.height; ++ty)
        for (int tx = w.x / kTile; tx * kTile < w.x + w.width; ++tx)
            if (!computed.count(ty * level.across + tx)) return false;
    return true;
}

// A window of a level as the file holds it, with the tiles in `computed` in place of the file's.
CPLErr ReadLevel(const Refresh& r, size_t k, const Tiles& computed, const PixelWindow& w,
                 GByte* out) {
    const Level& level = r.levels[k];
    if (!Covered(level, computed, w) &&
        level.band->RasterIO(GF_Read, w.x, w.y, w.width, w.height, out, w.width, w.height, r.type,
                             0, 0, nullptr) != CE_None)
        return CE_Failure;
    for (const auto& [tile, pixels] : computed) {
        const PixelWindow t = TileWindow(level, tile);
        const int x0 = std::max(t.x, w.x), x1 = std::min(t.x + t.width, w.x + w.width);
        const int y0 = std::max(t.y, w.y), y1 = std::min(t.y + t.height, w.y + w.height);
        for (int y = y0; y < y1; ++y)
            if (x0 < x1)
                std::memcpy(out + (size_t(y - w.y) * w.width + (x0 - w.x)) * r.pixel_bytes,
                            &pixels[(size_t(y - t.y) * t.width + (x0 - t.x)) * r.pixel_bytes],
                            size_t(x1 - x0) * r.pixel_bytes);
    }
    return CE_None;
}

// The source window (in `source`'s pixels) and the window built from it (in `built`'s) that
// give the pixels of `tile` exactly as GDAL builds the whole level: along an axis that the
// factor divides, the tile and the method's radius around it; along any other, all of it.
void Windows(int tile, int tile_size, int built, int source, int radius, int& at, int& size) {
    if (source % built != 0) {
        at = 0;
        size = built;
        return;
    }
    at = std::max(0, tile - radius - 1);
    size = std::min(built, tile + tile_size + radius + 1) - at;
}

// An in-memory band over `pixels` (width x height, the band's type), with the band's mask when
// `masked`.
GDALDatasetUniquePtr MemoryBand(const Refresh& r, int width, int height, bool masked,
                                GByte* pixels) {
    GDALDatasetUniquePtr dataset = MemoryRaster(width, height);
    if (!dataset || AddBandOver(*dataset, r.type, pixels) != CE_None) return nullptr;
    if (masked && r.has_nodata) dataset->GetRasterBand(1)->SetNoDataValue(r.nodata);
    if (masked && r.per_dataset && dataset->CreateMaskBand(GMF_PER_DATASET) != CE_None)
        return nullptr;
    return dataset;
}

// A per-dataset mask or alpha band does not change with the fill: the source's mask over the
// window, as the file holds it, goes to the in-memory band's mask.
CPLErr CopyMask(const Level& source, const PixelWindow& w, GDALRasterBand& to) {
    std::vector<GByte> valid(size_t(w.width) * w.height);
    if (source.band->GetMaskBand()->RasterIO(GF_Read, w.x, w.y, w.width, w.height, valid.data(),
                                             w.width, w.height, GDT_Byte, 0, 0, nullptr) != CE_None)
        return CE_Failure;
    return to.GetMaskBand()->RasterIO(GF_Write, 0, 0, w.width, w.height, valid.data(), w.width,
                                      w.height, GDT_Byte, 0, 0, nullptr);
}

// The window of level k built around a window `t` of it (`built`), and the window of its source
// level that it is built from, as `c` builds level k.
struct SourceWindow {
    size_t level;
    PixelWindow built, source;
};
SourceWindow Sources(const Refresh& r, size_t k, const PixelWindow& t, const Candidate& c) {
    SourceWindow w{c.from_base ? 0 : k - 1, {}, {}};
    const Level &built = r.levels[k], &source = r.levels[w.level];
    PixelWindow &e = w.built, &src = w.source;
    Windows(t.x, t.width, built.width, source.width, c.method->radius, e.x, e.width);
    Windows(t.y, t.height, built.height, source.height, c.method->radius, e.y, e.height);
    const int fx = source.width / built.width, fy = source.height / built.height;
    src.x = e.width == built.width ? 0 : e.x * fx;
    src.y = e.height == built.height ? 0 : e.y * fy;
    src.width = e.width == built.width ? source.width : e.width * fx;
    src.height = e.height == built.height ? source.height : e.height * fy;
    return w;
}

// The pixels of `t`, computed with `c` by GDAL, on in-memory datasets of their own, from `from`,
// which holds the source window (and its mask, where that is a per-dataset one).
CPLErr Resample(const Refresh& r, const Candidate& c, const SourceWindow& w, const PixelWindow& t,
                GDALDataset& from, std::vector<GByte>& out) {
    const PixelWindow& e = w.built;
    std::vector<GByte> built(size_t(e.width) * e.height * r.pixel_bytes);
    GDALDatasetUniquePtr to = MemoryBand(r, e.width, e.height, c.masked, built.data());
    if (!to) return CE_Failure;
    GDALRasterBandH to_band = GDALRasterBand::ToHandle(to->GetRasterBand(1));
    if (GDALRegenerateOverviews(GDALRasterBand::ToHandle(from.GetRasterBand(1)), 1, &to_band,
                                c.method->name, nullptr, nullptr) != CE_None)
        return CE_Failure;
    to.reset();
    out.resize(size_t(t.width) * t.height * r.pixel_bytes);
    const size_t line = size_t(t.width) * r.pixel_bytes;
    for (int y = 0; y < t.height; ++y)
        std::memcpy(&out[line * y],
                    &built[(size_t(t.y - e.y + y) * e.width + (t.x - e.x)) * r.pixel_bytes], line);
    return CE_None;
}

// The pixels of a window of level k, computed with `c` from its source level as it is now, with
// the tiles that `c` computed before in place of the file's. The file is read under `io` (GDAL's
// datasets are not thread-safe); the resampling runs on in-memory datasets of its own.
CPLErr Compute(const Refresh& r, size_t k, const PixelWindow& t, const Candidate& c,
               const std::vector<Tiles>& computed, std::mutex& io, std::vector<GByte>& out) {
    const SourceWindow w = Sources(r, k, t, c);
    const PixelWindow& src = w.source;
    std::vector<GByte> values(size_t(src.width) * src.height * r.pixel_bytes);
    GDALDatasetUniquePtr from = MemoryBand(r, src.width, src.height, c.masked, values.data());
    if (!from) return CE_Failure;
    {
        const std::lock_guard<std::mutex> hold(io);
        if (ReadLevel(r, w.level, computed[w.level], src, values.data()) != CE_None ||
            (c.masked && r.per_dataset &&
             CopyMask(r.levels[w.level], src, *from->GetRasterBand(1)) != CE_None))
            return CE_Failure;
    }
    return Resample(r, c, w, t, *from, out);
}

bool Uniform(const std::vector<GByte>& pixels, int pixel_bytes) {
    for (size_t at = pixel_bytes; at < pixels.size(); at += pixel_bytes)
        if (std::memcmp(&pixels[at], pixels.data(), pixel_bytes) != 0) return false;
    return true;
}

// A few small windows of each level that the fill did not reach and that are not uniform, spread
// over it, with the pixels the file holds.
struct Sample {
    size_t level;
    PixelWindow window;
    std::vector<GByte> pixels;
};
std::vector<Sample> Samples(const Refresh& r) {
    std::vector<Sample> samples;
    const Tiles none;
    for (size_t k = 1; k < r.levels.size(); ++k) {
        const Level& level = r.levels[k];
        const int across = level.width / kSample, cells = across * (level.height / kSample);
        int found = 0, read = 0;
        for (int i = 0; i < cells && found < kSamplesPerLevel && read < kMostSampleReads; ++i) {
            const int cell = int((i * 7919LL + i / 64) % cells);  // spread over the level
            const PixelWindow w{cell % across * kSample, cell / across * kSample, kSample, kSample};
            if (std::any_of(level.reached.begin(), level.reached.end(),
                            [&](const PixelWindow& near) { return Overlap(near, w); }))
                continue;
            std::vector<GByte> pixels(size_t(kSample) * kSample * r.pixel_bytes);
            ++read;
            if (ReadLevel(r, k, none, w, pixels.data()) != CE_None) break;
            if (Uniform(pixels, r.pixel_bytes)) continue;
            samples.push_back({k, w, std::move(pixels)});
            ++found;
        }
    }
    return samples;
}

// Which level GDAL builds each level from: the one before it, but for an uncompressed .ovr the
// band itself with nearest or a per-dataset mask. The samples of the smaller levels check it.
bool FromBase(const Refresh& r, const Method& method) {
    GDALDataset* overviews = r.levels[1].band->GetDataset();
    const bool ovr = overviews && overviews != r.levels[0].band->GetDataset() &&
                     EQUAL(CPLGetExtension(overviews->GetDescription()), "ovr");
    const bool uncompressed = ovr && !overviews->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE");
    const bool per_dataset = (r.levels[0].band->GetMaskFlags() & GMF_PER_DATASET) != 0;
    return uncompressed && (EQUAL(method.name, "NEAREST") || per_dataset);
}

std::vector<Candidate> Survivors(const Refresh& r) {
    std::vector<Candidate> all;
    for (const Method& method : kMethods) all.push_back({&method, r.masked, FromBase(r, method)});
    const std::vector<Sample> samples = Samples(r);
    const std::vector<Tiles> none(r.levels.size());
    std::vector<Candidate> survivors;
    std::vector<GByte> pixels;
    std::mutex io;
    for (const Candidate& c : all)
        if (std::all_of(samples.begin(), samples.end(), [&](const Sample& s) {
                return Compute(r, s.level, s.window, c, none, io, pixels) == CE_None &&
                       pixels == s.pixels;
            }))
            survivors.push_back(c);
    CPLErrorReset();  // a method this GDAL lacks is just no candidate
    return survivors;
}

// The tiles of one row of level k that `wanted` marks, out of the row's pixels across the level.
Tiles SplitRow(const Refresh& r, size_t k, int row, const std::vector<char>& wanted,
               const std::vector<GByte>& pixels) {
    const Level& level = r.levels[k];
    Tiles tiles;
    for (int tile = row * level.across; tile < (row + 1) * level.across; ++tile) {
        if (!wanted[tile]) continue;
        const PixelWindow t = TileWindow(level, tile);
        std::vector<GByte>& out = tiles[tile];
        out.resize(size_t(t.width) * t.height * r.pixel_bytes);
        for (int line = 0; line < t.height; ++line)
            std::memcpy(&out[size_t(line) * t.width * r.pixel_bytes],
                        &pixels[(size_t(line) * level.width + t.x) * r.pixel_bytes],
                        size_t(t.width) * r.pixel_bytes);
    }
    return tiles;
}

// A row of tiles across the whole level. It is computed in one call of the library: a call for
// each tile spent more time setting up than resampling, and along the whole axis the result is
// exact in any case.
PixelWindow RowWindow(const Level& level, int row) {
    return {0, row * kTile, level.width, std::min(kTile, level.height - row * kTile)};
}

// The tiles of one row of level k that the fill may have reached, as `c` computes them.
CPLErr ComputeRow(const Refresh& r, size_t k, int row, const Candidate& c,
                  std::vector<Tiles>& computed, std::mutex& io) {
    std::vector<GByte> pixels;
    if (Compute(r, k, RowWindow(r.levels[k], row), c, computed, io, pixels) != CE_None)
        return CE_Failure;
    Tiles tiles = SplitRow(r, k, row, r.levels[k].dirty, pixels);
    const std::lock_guard<std::mutex> hold(io);
    computed[k].merge(tiles);
    return CE_None;
}

// The rows of level k that hold a tile the fill may have reached and that is not computed yet,
// on every core: each thread takes the next row. Their errors stay quiet there; the first is
// raised again here.
CPLErr ComputeLevel(const Refresh& r, size_t k, const Candidate& c, std::vector<Tiles>& computed) {
    const Level& level = r.levels[k];
    std::vector<int> rows;
    for (int row = 0; row < level.down; ++row) {
        for (int tile = row * level.across; tile < (row + 1) * level.across; ++tile) {
            if (!level.dirty[tile] || computed[k].count(tile)) continue;
            rows.push_back(row);
            break;
        }
    }
    std::mutex io;
    std::atomic<size_t> next{0};
    FirstFailure failure("computing the overviews of band 1 failed");
    const auto work = [&] {
        CPLPushErrorHandler(CPLQuietErrorHandler);
        for (size_t i = next++; i < rows.size() && !failure.failed(); i = next++) {
            try {
                if (ComputeRow(r, k, rows[i], c, computed, io) != CE_None) failure.Note();
            } catch (const std::bad_alloc&) {
                CPLError(CE_Failure, CPLE_OutOfMemory, "out of memory for a row of overviews");
                failure.Note();
            }
        }
        CPLPopErrorHandler();
    };
    std::vector<std::thread> threads;
    try {
        while (threads.size() + 1 < std::min<size_t>(FillThreads(), rows.size()))
            threads.emplace_back(work);
    } catch (const std::system_error&) {
        // fewer threads than asked for: those there are, and this one, take every row
    }
    work();
    for (std::thread& thread : threads) thread.join();
    return failure.Raise();
}

// Every tile the fill may have reached, level by level, as `c` computes it. `seeds`, when given,
// holds tiles of each level computed already.
CPLErr ComputeAll(const Refresh& r, const Candidate& c, std::vector<Tiles>& computed,
                  std::vector<Tiles> seeds = {}) {
    computed = std::move(seeds);
    computed.resize(r.levels.size());
    for (size_t k = 1; k < r.levels.size(); ++k)
        if (ComputeLevel(r, k, c, computed) != CE_None) return CE_Failure;
    return CE_None;
}

// Writes the computed tiles that differ from what the file holds.
CPLErr WriteAll(const Refresh& r, const std::vector<Tiles>& computed) {
    const std::vector<Tiles> none(r.levels.size());
    std::vector<GByte> held;
    for (size_t k = 1; k < r.levels.size(); ++k) {
        for (const auto& [tile, pixels] : computed[k]) {
            const PixelWindow t = TileWindow(r.levels[k], tile);
            held.resize(pixels.size());
            if (ReadLevel(r, k, none[k], t, held.data()) != CE_None) return CE_Failure;
            if (held == pixels) continue;
            auto* data = const_cast<GByte*>(pixels.data());
            if (r.levels[k].band->RasterIO(GF_Write, t.x, t.y, t.width, t.height, data, t.width,
                                           t.height, r.type, 0, 0, nullptr) != CE_None)
                return CE_Failure;
        }
    }
    return CE_None;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
}

std::string Stale(const Refresh& r, const std::string& name, const char* guess, const char* why) {
    GDALDataset* dataset = r.levels[0].band->GetDataset();
    VSIStatBufL stat{};
    const bool external =
        dataset && VSIStatL((std::string(dataset->GetDescription()) + ".ovr").c_str(), &stat) == 0;
    std::string command = std::string("gdaladdo ") + (external ? "-ro " : "") + "-r " +
                          Lower(guess) + " " + Quoted(name);
    for (size_t k = 1; k < r.levels.size(); ++k)
        command +=
            " " + std::to_string(int(std::lround(double(r.levels[0].width) / r.levels[k].width)));
    return "the overviews of " + Quoted(name) + " still show the old band 1, as " + why + "; " +
           command + " rebuilds them";
}

Refresh Prepare(GDALRasterBand& band) {
    Refresh r{Levels(band),
              band.GetRasterDataType(),
              GDALGetDataTypeSizeBytes(band.GetRasterDataType()),
              false,
              0,
              false,
              false};
    int has_nodata = 0;
    r.nodata = band.GetNoDataValue(&has_nodata);
    r.has_nodata = has_nodata != 0;
    const int flags = band.GetMaskFlags();
    r.masked = (flags & GMF_ALL_VALID) == 0;
    r.per_dataset = r.masked && (flags & GMF_PER_DATASET) != 0;
    return r;
}

}  // namespace

std::string OverviewMethod(GDALRasterBand& band) {
    const Refresh r = Prepare(band);
    if (r.levels.size() < 2) return "";
    const std::vector<Candidate> survivors = Survivors(r);
    return survivors.empty() ? "" : survivors[0].method->name;
}

// Where a refresh stands: the levels, the method, and the rows of level 1 computed alongside the
// write-back. `stream` comes last, so that its thread has stopped before the rest goes.
struct OverviewRefresh::State {
    Refresh r;
    std::string name;
    Warn warn;
    std::vector<Candidate> survivors;
    // Per level, what the stream's thread alone touches until it has stopped: the tiles the
    // write-back may reach, those computed, the rows whose tiles are wanted, in order, how many of
    // them are done, and the computed rows, across the level, that the next level still needs.
    std::vector<std::vector<char>> wanted;
    std::vector<Tiles> streamed;
    std::vector<std::vector<int>> rows;
    std::vector<size_t> done;
    std::vector<std::map<int, std::vector<GByte>>> held;
    std::unique_ptr<RowStream> stream;
};

namespace {

using State = OverviewRefresh::State;

// Row `row` of level k, from `values`, the rows of its source level that it is built from.
CPLErr ComputeStreamedRow(const State& s, size_t k, int row, const GByte* values,
                          std::vector<GByte>& pixels) {
    const Refresh& r = s.r;
    const Candidate& c = s.survivors[0];
    const PixelWindow t = RowWindow(r.levels[k], row);
    const SourceWindow w = Sources(r, k, t, c);
    GDALDatasetUniquePtr from =
        MemoryBand(r, w.source.width, w.source.height, c.masked, const_cast<GByte*>(values));
    if (!from) return CE_Failure;
    return Resample(r, c, w, t, *from, pixels);
}

// Whether level k is built from a span of the rows of level k - 1: from the level before it
// (not the band), with a factor that divides the height (else GDAL builds it from the whole axis
// at once).
bool BuiltFromSpans(const State& s, size_t k) {
    const Refresh& r = s.r;
    return (k == 1 || !s.survivors[0].from_base) &&
           r.levels[k - 1].height % r.levels[k].height == 0;
}

// Keeps a computed row of level k, and computes every wanted row of level k + 1 whose source rows
// are now all there, and so on down. A row whose source rows will not all come (some were not
// wanted) is left to the refresh after the write-back.
bool Cascade(State& s, size_t k, int row, std::vector<GByte> pixels) {
    const Refresh& r = s.r;
    Tiles tiles = SplitRow(r, k, row, s.wanted[k], pixels);
    s.streamed[k].merge(tiles);
    if (k + 1 >= r.levels.size() || !BuiltFromSpans(s, k + 1)) return true;
    auto& held = s.held[k];
    held[row] = std::move(pixels);
    const size_t row_bytes = size_t(r.levels[k].width) * r.pixel_bytes;
    std::vector<GByte> values, below;
    while (s.done[k + 1] < s.rows[k + 1].size()) {
        const int next = s.rows[k + 1][s.done[k + 1]];
        const SourceWindow w = Sources(r, k + 1, RowWindow(r.levels[k + 1], next), s.survivors[0]);
        const int first = w.source.y / kTile, last = (w.source.y + w.source.height - 1) / kTile;
        bool all = true;
        for (int at = first; at <= last; ++at) all = all && held.count(at);
        if (!all && row < last) break;  // more rows of level k are to come
        ++s.done[k + 1];
        if (!all) continue;
        values.resize(row_bytes * w.source.height);
        for (int y = 0; y < w.source.height; ++y) {
            const int line = w.source.y + y;
            std::memcpy(&values[row_bytes * y], &held[line / kTile][row_bytes * (line % kTile)],
                        row_bytes);
        }
        if (ComputeStreamedRow(s, k + 1, next, values.data(), below) != CE_None ||
            !Cascade(s, k + 1, next, std::move(below)))
            return false;
        held.erase(held.begin(), held.lower_bound(first));
    }
    return true;
}

// A row of level 1 from the band's rows that the write-back handed over.
bool StreamRow(State& s, int row, const GByte* values) {
    std::vector<GByte> pixels;
    return ComputeStreamedRow(s, 1, row, values, pixels) == CE_None &&
           Cascade(s, 1, row, std::move(pixels));
}

// The levels are computed alongside the write-back where one method alone reproduces the
// overviews, its mask is the band's own, and level 1 is built from spans of the band's rows;
// each next level too, as far as that holds, and as far as the rows it needs were wanted.
void StartStream(State& s, const std::vector<PixelWindow>& may_change) {
    const Refresh& r = s.r;
    if (s.survivors.size() != 1 || (s.survivors[0].masked && r.per_dataset) ||
        !BuiltFromSpans(s, 1))
        return;
    std::vector<Level> reached = r.levels;
    MarkDirty(reached, may_change);
    const size_t n = r.levels.size();
    s.wanted.resize(n);
    s.streamed.resize(n);
    s.rows.resize(n);
    s.done.assign(n, 0);
    s.held.resize(n);
    for (size_t k = 1; k < n; ++k) {
        s.wanted[k] = reached[k].dirty;
        const Level& level = r.levels[k];
        for (int row = 0; row < level.down; ++row) {
            const auto tiles = s.wanted[k].begin() + row * level.across;
            if (std::find(tiles, tiles + level.across, 1) != tiles + level.across)
                s.rows[k].push_back(row);
        }
    }
    std::vector<RowStream::Span> spans;
    for (int row : s.rows[1]) {
        const SourceWindow w = Sources(r, 1, RowWindow(r.levels[1], row), s.survivors[0]);
        spans.push_back({w.source.y, w.source.y + w.source.height});
    }
    if (spans.empty()) return;
    int block_width = 0, block_height = 0;
    r.levels[0].band->GetBlockSize(&block_width, &block_height);
    const RowStream::Shape shape{r.levels[0].width, r.levels[0].height, block_width, block_height,
                                 r.pixel_bytes};
    s.stream = std::make_unique<RowStream>(
        shape, std::move(spans),
        [&s](size_t i, const GByte* values) { return StreamRow(s, s.rows[1][i], values); });
}

}  // namespace

OverviewRefresh::OverviewRefresh(GDALRasterBand& band, const std::vector<PixelWindow>& may_change,
                                 std::string name, Warn warn) {
    if (may_change.empty() || band.GetOverviewCount() == 0) return;
    auto state = std::make_unique<State>();
    state->r = Prepare(band);
    state->name = std::move(name);
    state->warn = std::move(warn);
    if (state->r.levels.size() < 2) return;
    state->survivors = Survivors(state->r);
    // The samples' blocks of band 1 would outlive the write-back in GDAL's cache, which the
    // write-back's own block writes pass by.
    band.FlushCache();
    StartStream(*state, may_change);
    state_ = std::move(state);
}

OverviewRefresh::~OverviewRefresh() = default;

RowStream* OverviewRefresh::stream() { return state_ ? state_->stream.get() : nullptr; }

CPLErr OverviewRefresh::Finish(const std::vector<PixelWindow>& changed) {
    if (!state_) return CE_None;
    State& s = *state_;
    const bool streamed = s.stream && s.stream->Finish();
    s.stream.reset();
    if (changed.empty()) return CE_None;
    Refresh& r = s.r;
    MarkDirty(r.levels, changed);
    if (s.survivors.empty()) {
        s.warn(Stale(r, s.name, "average", "no resampling method reproduces them"));
        return CE_None;
    }
    std::vector<Tiles> seeds(r.levels.size());
    for (size_t k = 1; streamed && k < s.streamed.size(); ++k)
        for (auto& [tile, pixels] : s.streamed[k])
            if (r.levels[k].dirty[tile]) seeds[k].emplace(tile, std::move(pixels));
    std::vector<Tiles> first, other;
    if (ComputeAll(r, s.survivors[0], first, std::move(seeds)) != CE_None) return CE_Failure;
    for (size_t i = 1; i < s.survivors.size(); ++i) {
        if (ComputeAll(r, s.survivors[i], other) != CE_None) return CE_Failure;
        if (other != first) {
            s.warn(Stale(r, s.name, s.survivors[0].method->name,
                         "the methods that reproduce them disagree over the filled pixels"));
            return CE_None;
        }
    }
    return WriteAll(r, first);
}
