#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <gdal.h>

class GDALRasterBand;

// Where band 1's blocks lie in its file, for the formats that write a block back into its own
// bytes: an uncompressed GeoTIFF (whose driver tells each block's offset and size) and the raw
// formats (whose layout tells where the image starts and how far apart its pixels and rows lie).
// A block's rows then lie one after the other, which writing that block overwrites (a raw
// format's block is one row). The write-back changes only the gaps' pixels in them, so the
// ranges it will change are known before it begins, from band 1's mask alone, and can be
// journaled while the band is filled (journal_ahead.h). Only what the layout shows is foreseen;
// the guard journals any other change as it comes.

// [begin, end) of a file.
using ByteRange = std::pair<std::uint64_t, std::uint64_t>;

struct BlockLayout {
    static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};

    int width = 0, block_width = 0, block_height = 0, across = 0;
    std::uint64_t pixel_bytes = 0;       // from one pixel of band 1 to the next in a row
    std::uint64_t row_bytes = 0;         // of a block's row, the pixels of other bands among them
    std::vector<std::uint64_t> offsets;  // each block's first byte, or kUnknown

    bool known() const { return !offsets.empty(); }
};

// Band 1's layout; unknown for any other format, a compressed GeoTIFF, or bytes that disagree
// with the band's shape.
BlockLayout LayoutOf(GDALRasterBand& band);

// The ranges that rows [top, top + rows) of band 1 hold where they hold a gap (`valid`: their mask,
// one byte a pixel, 0 for a gap): each run of gaps in a block's row, with the other bands' bytes
// among its pixels. Ranges closer than a record's head in the journal are joined. Only these
// bytes change: the write-back rewrites a block's valid pixels as they are.
std::vector<ByteRange> RangesOfGaps(const BlockLayout& layout, int top, int rows,
                                    const GByte* valid);
