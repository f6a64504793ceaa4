#include "overview_levels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "memory_raster.h"

namespace overview {

static std::vector<Level> Levels(GDALRasterBand& band) {
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
static void MarkBelow(const PixelWindow& w, const Level& from, Level& to) {
    const double rx = double(from.width) / to.width, ry = double(from.height) / to.height;
    const int x0 = std::max(0, int(std::floor(w.x / rx)) - kWidestRadius - 1);
    const int y0 = std::max(0, int(std::floor(w.y / ry)) - kWidestRadius - 1);
    const int x1 = std::min(to.width, int(std::ceil((w.x + w.width) / rx)) + kWidestRadius + 1);
    const int y1 = std::min(to.height, int(std::ceil((w.y + w.height) / ry)) + kWidestRadius + 1);
    to.reached.push_back({x0, y0, x1 - x0, y1 - y0});
    for (int ty = y0 / kTile; ty * kTile < y1; ++ty)
        for (int tx = x0 / kTile; tx * kTile < x1; ++tx) to.dirty[ty * to.across + tx] = 1;
}

void MarkDirty(std::vector<Level>& levels, const std::vector<PixelWindow>& changed) {
    levels[0].reached = changed;
    for (size_t k = 1; k < levels.size(); ++k)
        for (const PixelWindow& w : levels[k - 1].reached) MarkBelow(w, levels[k - 1], levels[k]);
}

// Whether the tiles in `computed` cover the window whole.
static bool Covered(const Level& level, const Tiles& computed, const PixelWindow& w) {
    if (computed.empty()) return false;
    for (int ty = w.y / kTile; ty * kTile < w.y + w.height; ++ty)
        for (int tx = w.x / kTile; tx * kTile < w.x + w.width; ++tx)
            if (!computed.count(ty * level.across + tx)) return false;
    return true;
}

CPLErr ReadLevel(const Pyramid& p, size_t k, const Tiles& computed, const PixelWindow& w,
                 GByte* out) {
    const Level& level = p.levels[k];
    if (!Covered(level, computed, w) &&
        level.band->RasterIO(GF_Read, w.x, w.y, w.width, w.height, out, w.width, w.height, p.type,
                             0, 0, nullptr) != CE_None)
        return CE_Failure;
    for (const auto& [tile, pixels] : computed) {
        const PixelWindow t = TileWindow(level, tile);
        const int x0 = std::max(t.x, w.x), x1 = std::min(t.x + t.width, w.x + w.width);
        const int y0 = std::max(t.y, w.y), y1 = std::min(t.y + t.height, w.y + w.height);
        for (int y = y0; y < y1; ++y)
            if (x0 < x1)
                std::memcpy(out + (size_t(y - w.y) * w.width + (x0 - w.x)) * p.pixel_bytes,
                            &pixels[(size_t(y - t.y) * t.width + (x0 - t.x)) * p.pixel_bytes],
                            size_t(x1 - x0) * p.pixel_bytes);
    }
    return CE_None;
}

// The source window (in `source`'s pixels) and the window built from it (in `built`'s) that
// give the pixels of `tile` exactly as GDAL builds the whole level: along an axis that the
// factor divides, the tile and the method's radius around it; along any other, all of it.
static void Windows(int tile, int tile_size, int built, int source, int radius, int& at,
                    int& size) {
    if (source % built != 0) {
        at = 0;
        size = built;
        return;
    }
    at = std::max(0, tile - radius - 1);
    size = std::min(built, tile + tile_size + radius + 1) - at;
}

GDALDatasetUniquePtr MemoryBand(const Pyramid& p, int width, int height, bool masked,
                                GByte* pixels) {
    GDALDatasetUniquePtr dataset = MemoryRaster(width, height);
    if (!dataset || AddBandOver(*dataset, p.type, pixels) != CE_None) return nullptr;
    if (masked && p.has_nodata) dataset->GetRasterBand(1)->SetNoDataValue(p.nodata);
    if (masked && p.per_dataset && dataset->CreateMaskBand(GMF_PER_DATASET) != CE_None)
        return nullptr;
    return dataset;
}

// A per-dataset mask or alpha band does not change with the fill: the source's mask over the
// window, as the file holds it, goes to the in-memory band's mask.
static CPLErr CopyMask(const Level& source, const PixelWindow& w, GDALRasterBand& to) {
    std::vector<GByte> valid(size_t(w.width) * w.height);
    if (source.band->GetMaskBand()->RasterIO(GF_Read, w.x, w.y, w.width, w.height, valid.data(),
                                             w.width, w.height, GDT_Byte, 0, 0, nullptr) != CE_None)
        return CE_Failure;
    return to.GetMaskBand()->RasterIO(GF_Write, 0, 0, w.width, w.height, valid.data(), w.width,
                                      w.height, GDT_Byte, 0, 0, nullptr);
}

SourceWindow Sources(const Pyramid& p, size_t k, const PixelWindow& t, const Candidate& c) {
    SourceWindow w{c.from_base ? 0 : k - 1, {}, {}};
    const Level &built = p.levels[k], &source = p.levels[w.level];
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

CPLErr Resample(const Pyramid& p, const Candidate& c, const SourceWindow& w, const PixelWindow& t,
                GDALDataset& from, std::vector<GByte>& out) {
    const PixelWindow& e = w.built;
    std::vector<GByte> built(size_t(e.width) * e.height * p.pixel_bytes);
    GDALDatasetUniquePtr to = MemoryBand(p, e.width, e.height, c.masked, built.data());
    if (!to) return CE_Failure;
    GDALRasterBandH to_band = GDALRasterBand::ToHandle(to->GetRasterBand(1));
    if (GDALRegenerateOverviews(GDALRasterBand::ToHandle(from.GetRasterBand(1)), 1, &to_band,
                                c.method->name, nullptr, nullptr) != CE_None)
        return CE_Failure;
    to.reset();
    out.resize(size_t(t.width) * t.height * p.pixel_bytes);
    const size_t line = size_t(t.width) * p.pixel_bytes;
    for (int y = 0; y < t.height; ++y)
        std::memcpy(&out[line * y],
                    &built[(size_t(t.y - e.y + y) * e.width + (t.x - e.x)) * p.pixel_bytes], line);
    return CE_None;
}

CPLErr Compute(const Pyramid& p, size_t k, const PixelWindow& t, const Candidate& c,
               const std::vector<Tiles>& computed, std::mutex& io, std::vector<GByte>& out) {
    const SourceWindow w = Sources(p, k, t, c);
    const PixelWindow& src = w.source;
    std::vector<GByte> values(size_t(src.width) * src.height * p.pixel_bytes);
    GDALDatasetUniquePtr from = MemoryBand(p, src.width, src.height, c.masked, values.data());
    if (!from) return CE_Failure;
    {
        const std::lock_guard<std::mutex> hold(io);
        if (ReadLevel(p, w.level, computed[w.level], src, values.data()) != CE_None ||
            (c.masked && p.per_dataset &&
             CopyMask(p.levels[w.level], src, *from->GetRasterBand(1)) != CE_None))
            return CE_Failure;
    }
    return Resample(p, c, w, t, *from, out);
}

Tiles SplitRow(const Pyramid& p, size_t k, int row, const std::vector<char>& wanted,
               const std::vector<GByte>& pixels) {
    const Level& level = p.levels[k];
    Tiles tiles;
    for (int tile = row * level.across; tile < (row + 1) * level.across; ++tile) {
        if (!wanted[tile]) continue;
        const PixelWindow t = TileWindow(level, tile);
        std::vector<GByte>& out = tiles[tile];
        out.resize(size_t(t.width) * t.height * p.pixel_bytes);
        for (int line = 0; line < t.height; ++line)
            std::memcpy(&out[size_t(line) * t.width * p.pixel_bytes],
                        &pixels[(size_t(line) * level.width + t.x) * p.pixel_bytes],
                        size_t(t.width) * p.pixel_bytes);
    }
    return tiles;
}

PixelWindow RowWindow(const Level& level, int row) {
    return {0, row * kTile, level.width, std::min(kTile, level.height - row * kTile)};
}

Pyramid PyramidOf(GDALRasterBand& band) {
    Pyramid p{Levels(band),
              band.GetRasterDataType(),
              GDALGetDataTypeSizeBytes(band.GetRasterDataType()),
              false,
              0,
              false,
              false};
    int has_nodata = 0;
    p.nodata = band.GetNoDataValue(&has_nodata);
    p.has_nodata = has_nodata != 0;
    const int flags = band.GetMaskFlags();
    p.masked = (flags & GMF_ALL_VALID) == 0;
    p.per_dataset = p.masked && (flags & GMF_PER_DATASET) != 0;
    return p;
}

}  // namespace overview
