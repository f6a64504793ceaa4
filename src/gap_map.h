#pragma once

#include <cstddef>
#include <vector>

#include <gdal.h>

class GDALRasterBand;

// How many gaps each block of band 1 holds: pixels that band 1's mask marks invalid. The fill
// changes no other pixel, so a block without one is the same after the fill, and the write-back
// skips it unread; and a block of an exact type whose gaps all still hold the no-data value after
// the fill is the same too (write_back.h). So the write-back neither reads (or decompresses) nor
// compares those blocks, and the guard alone reads what the write-back overwrites. The map is kept
// for the view of band 1, not for that of its mask. It learns of a block from band 1's mask: read
// with the block when the fill first reads it, or with the strip's rows that cover it whole (for a
// mask computed from the values, from the strip's window). A block it never learnt of counts as
// holding a gap. Where the write-back tells a changed block by the gaps it has left, the strips
// count those too, from their filled windows, on every core.
class GapMap {
  public:
    // `kept`: whether to keep the map at all; if not, every block counts as holding a gap.
    GapMap(GDALRasterBand& band, bool kept);

    bool kept() const { return kept_; }

    // A block's mask over its part inside the raster, one byte a pixel (0 for invalid).
    void NoteBlock(int block_x, int block_y, const GByte* valid);
    // Band 1's mask over whole rows [top, top + rows): notes the blocks that they cover whole.
    // A block they cover in part is read from band 1 before it is written, and that read tells.
    void NoteRows(int top, int rows, const GByte* valid);

    // After the fill: the mask of the filled values over the same whole rows as NoteRows; notes
    // how many gaps each block that they cover whole has left.
    void NoteGapsLeft(int top, int rows, const GByte* valid);

    bool MayHoldGap(int block_x, int block_y) const;
    // The block's gaps, or -1 when the map does not know them.
    long long GapCount(int block_x, int block_y) const;
    // The gaps the fill left in the block, or -1 when the map does not know them.
    long long GapsLeft(int block_x, int block_y) const;
    // The smallest window of band 1 that holds the block's gaps, where the map knows of any.
    bool GapWindow(int block_x, int block_y, int& x, int& y, int& width, int& height) const;

  private:
    struct BlockGaps {
        long long count = -1;                  // -1: not learnt yet
        int x0 = 0, y0 = 0, x1 = -1, y1 = -1;  // the gaps' extent within the block
        long long left = -1;                   // after the fill; -1: not learnt
    };
    // Calls `each(block_x, block_y, mask of the block's first row)` for every block that whole
    // rows [top, top + rows) of a mask cover whole.
    template <typename Each>
    void ForBlocksCovered(int top, int rows, const GByte* valid, const Each& each) const;
    BlockGaps Count(int block_x, int block_y, const GByte* rows, size_t stride) const;
    size_t Index(int block_x, int block_y) const;

    const bool kept_;
    int width_, height_, block_width_ = 0, block_height_ = 0, across_;
    std::vector<BlockGaps> gaps_;
};
