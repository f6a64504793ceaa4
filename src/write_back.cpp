#include "write_back.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gdal_priv.h>

#include "row_stream.h"
#include "working_copy.h"

bool FloatRoundTripChanges(GDALDataType type) {
    return GDALDataTypeIsConversionLossy(type, GDT_Float32) != 0;
}

namespace {

// What the fill's float round trip makes of one pixel, by GDAL's own conversions. `Word` is an
// unsigned integer as wide as the pixel, holding its bits.
template <typename Word>
Word RoundTrip(Word pixel, GDALDataType type) {
    float as_float = 0;
    Word back = 0;
    GDALCopyWords(&pixel, type, 0, &as_float, GDT_Float32, 0, 1);
    GDALCopyWords(&as_float, GDT_Float32, 0, &back, type, 0, 1);
    return back;
}

// One natural block of band 1: its offsets, and the part of it that lies inside the raster.
struct Block {
    int x, y;           // block offsets
    int width, height;  // the whole block
    int valid_width, valid_height;
};

// Turns `original` into what the file must hold, from the fill's `filled` values and, for the
// types the round trip changes, band 1's mask (`valid`, one byte per pixel of the valid part).
// Returns whether any pixel changed. Pixels outside the raster keep their bytes.
template <typename Word>
bool MergeKeepingValid(const Block& block, GDALDataType type, const Word* filled,
                       const GByte* valid, Word* original) {
    bool changed = false;
    for (int y = 0; y < block.valid_height; ++y) {
        for (int x = 0; x < block.valid_width; ++x) {
            const size_t at = static_cast<size_t>(y) * block.width + x;
            const bool keep = valid[y * block.valid_width + x] != 0 ||
                              filled[at] == RoundTrip(original[at], type);
            if (keep || filled[at] == original[at]) continue;
            original[at] = filled[at];
            changed = true;
        }
    }
    return changed;
}

// The exact types take the fill's values as they are, row by row.
bool MergeExact(const Block& block, size_t pixel_bytes, const GByte* filled, GByte* original) {
    bool changed = false;
    const size_t row_bytes = pixel_bytes * block.valid_width;
    for (int y = 0; y < block.valid_height; ++y) {
        const size_t at = pixel_bytes * block.width * y;
        if (std::memcmp(filled + at, original + at, row_bytes) == 0) continue;
        std::memcpy(original + at, filled + at, row_bytes);
        changed = true;
    }
    return changed;
}

bool MergeBlock(const Block& block, GDALDataType type, const GByte* filled, const GByte* valid,
                GByte* original) {
    if (!valid) return MergeExact(block, GDALGetDataTypeSizeBytes(type), filled, original);
    if (GDALGetDataTypeSizeBytes(type) == 4)
        return MergeKeepingValid(block, type, reinterpret_cast<const uint32_t*>(filled), valid,
                                 reinterpret_cast<uint32_t*>(original));
    return MergeKeepingValid(block, type, reinterpret_cast<const uint64_t*>(filled), valid,
                             reinterpret_cast<uint64_t*>(original));
}

// Band 1's mask over the valid part of a block. What it reads is dropped from the cache again,
// so that the write-back does not crowd the working copy out of it.
CPLErr ReadValidity(GDALRasterBand& band, const Block& block, std::vector<GByte>& valid) {
    valid.resize(static_cast<size_t>(block.valid_width) * block.valid_height);
    return ReadMaskWindow(band, block.x * block.width, block.y * block.height, block.valid_width,
                          block.valid_height, valid.data());
}

struct Buffers {
    std::vector<GByte> filled, original, valid, before;
};

// The smallest window of band 1 that holds every pixel of the block that the merge changed.
PixelWindow ChangedWindow(const Block& block, size_t pixel_bytes, const GByte* before,
                          const GByte* after) {
    int x0 = block.valid_width, x1 = -1, y0 = block.valid_height, y1 = -1;
    for (int y = 0; y < block.valid_height; ++y) {
        for (int x = 0; x < block.valid_width; ++x) {
            const size_t at = (static_cast<size_t>(y) * block.width + x) * pixel_bytes;
            if (std::memcmp(before + at, after + at, pixel_bytes) == 0) continue;
            x0 = std::min(x0, x);
            x1 = std::max(x1, x);
            y0 = std::min(y0, y);
            y1 = std::max(y1, y);
        }
    }
    return {block.x * block.width + x0, block.y * block.height + y0, x1 - x0 + 1, y1 - y0 + 1};
}

// Whether a block changed, where that can be told without reading band 1's block (for a
// compressed band, a decompression): for the exact types, a whole block whose gaps the gap map
// counted, where band 1's mask is its no-data value. The fill gives gaps values and changes
// nothing else, so the filled block is then the block as the file must hold it, and it changed
// unless the view's own mask, computed from its values as band 1's was, still finds every gap
// (counted by the fill where it filled the whole block, else here). Asked before the block is
// taken out of the view.
enum class Fate { kUnknown, kSame, kChanged };
Fate FateUnread(WorkingCopy& copy, const Block& block, bool keep_valid, Buffers& buffers) {
    const long long gaps = copy.Gaps().GapCount(block.x, block.y);
    if (keep_valid || gaps < 0 || !copy.MaskIsOwn() || block.valid_width != block.width ||
        block.valid_height != block.height)
        return Fate::kUnknown;
    long long still = copy.Gaps().GapsLeft(block.x, block.y);  // counted by the fill, if known
    if (still < 0) {
        GDALRasterBand& mask = *copy.Band().GetMaskBand();
        buffers.valid.resize(static_cast<size_t>(block.width) * block.height);
        const CPLErr read = mask.RasterIO(GF_Read, block.x * block.width, block.y * block.height,
                                          block.width, block.height, buffers.valid.data(),
                                          block.width, block.height, GDT_Byte, 0, 0, nullptr);
        mask.FlushBlock(block.x, block.y);  // the view's block stays, to be taken
        if (read != CE_None) return Fate::kUnknown;
        still = std::count(buffers.valid.begin(), buffers.valid.end(), 0);
    }
    if (still == gaps) return Fate::kSame;
    return still < gaps ? Fate::kChanged : Fate::kUnknown;
}

// Writes one block back where it changed, and hands it, as the file now holds it, to `stream`.
CPLErr WriteBackBlock(GDALRasterBand& band, WorkingCopy& copy, const Block& block, Buffers& buffers,
                      std::vector<PixelWindow>* written, RowStream* stream) {
    const GDALDataType type = band.GetRasterDataType();
    const bool keep_valid = FloatRoundTripChanges(type);
    const Fate fate = FateUnread(copy, block, keep_valid, buffers);
    if (copy.TakeBlock(block.x, block.y, buffers.filled.data()) != CE_None) return CE_Failure;
    if (stream && fate != Fate::kUnknown) stream->Take(block.x, block.y, buffers.filled.data());
    if (fate == Fate::kSame) return CE_None;
    if (fate == Fate::kChanged) {
        PixelWindow gaps{};  // the pixels that changed lie among them
        if (written &&
            copy.Gaps().GapWindow(block.x, block.y, gaps.x, gaps.y, gaps.width, gaps.height))
            written->push_back(gaps);
        return band.WriteBlock(block.x, block.y, buffers.filled.data());
    }
    if (band.ReadBlock(block.x, block.y, buffers.original.data()) != CE_None ||
        (keep_valid && ReadValidity(band, block, buffers.valid) != CE_None))
        return CE_Failure;
    const GByte* valid = keep_valid ? buffers.valid.data() : nullptr;
    if (written) buffers.before = buffers.original;
    const bool changed =
        MergeBlock(block, type, buffers.filled.data(), valid, buffers.original.data());
    if (stream) stream->Take(block.x, block.y, buffers.original.data());
    if (!changed) return CE_None;
    if (written)
        written->push_back(ChangedWindow(block, GDALGetDataTypeSizeBytes(type),
                                         buffers.before.data(), buffers.original.data()));
    return band.WriteBlock(block.x, block.y, buffers.original.data());
}

}  // namespace

CPLErr WriteBackChanges(GDALRasterBand& band, WorkingCopy& copy, std::vector<PixelWindow>* written,
                        RowStream* stream) {
    Block block{};
    band.GetBlockSize(&block.width, &block.height);
    const size_t block_bytes = static_cast<size_t>(block.width) * block.height *
                               GDALGetDataTypeSizeBytes(band.GetRasterDataType());
    Buffers buffers{std::vector<GByte>(block_bytes), std::vector<GByte>(block_bytes), {}, {}};
    const int across = (band.GetXSize() + block.width - 1) / block.width;
    const int down = (band.GetYSize() + block.height - 1) / block.height;
    for (block.y = 0; block.y < down; ++block.y) {
        RowStream* const row_stream = stream && stream->Wants(block.y) ? stream : nullptr;
        for (block.x = 0; block.x < across; ++block.x) {
            // A block lost meanwhile (evicted by the write-back's own reads) would look unchanged.
            if (LostBlocks(copy)) return CE_Failure;
            if (copy.MayHaveChanged(block.x, block.y)) {
                band.GetActualBlockSize(block.x, block.y, &block.valid_width, &block.valid_height);
                if (WriteBackBlock(band, copy, block, buffers, written, row_stream) != CE_None)
                    return CE_Failure;
            } else if (row_stream) {  // the stream needs the whole row
                if (band.ReadBlock(block.x, block.y, buffers.original.data()) != CE_None)
                    return CE_Failure;
                row_stream->Take(block.x, block.y, buffers.original.data());
            }
        }
    }
    return LostBlocks(copy) ? CE_Failure : CE_None;
}

std::vector<PixelWindow> WindowsThatMayChange(GDALRasterBand& band, WorkingCopy& copy) {
    int bw = 0, bh = 0;
    band.GetBlockSize(&bw, &bh);
    const int across = (band.GetXSize() + bw - 1) / bw, down = (band.GetYSize() + bh - 1) / bh;
    std::vector<PixelWindow> windows;
    for (int by = 0; by < down; ++by) {
        for (int bx = 0; bx < across; ++bx) {
            if (!copy.MayHaveChanged(bx, by)) continue;
            PixelWindow w{bx * bw, by * bh, 0, 0};
            w.width = std::min(bw, band.GetXSize() - w.x);
            w.height = std::min(bh, band.GetYSize() - w.y);
            copy.Gaps().GapWindow(bx, by, w.x, w.y, w.width, w.height);
            windows.push_back(w);
        }
    }
    return windows;
}
