#pragma once

#include <cstddef>
#include <vector>

#include <gdal.h>

class GDALRasterBand;

// Which blocks of band 1 hold a gap: a pixel that band 1's mask marks invalid. The fill changes
// no other pixel, so a block without one is the same after the fill, and the write-back skips
// it unread. The map is kept only for a compressed band 1, where comparing a block costs one
// more decompression; an uncompressed block is cheaper to compare than to map. It learns of a
// block from band 1's mask: read with the block when the fill first reads it, or read with the
// strip's rows that cover it whole. A block it never learnt of counts as holding a gap.
class GapMap {
  public:
    // `kept`: whether to keep the map at all; if not, every block counts as holding a gap.
    GapMap(GDALRasterBand& band, bool kept);

    bool kept() const { return kept_; }

    // A block's mask over its part inside the raster, one byte a pixel (0 for invalid).
    void NoteBlock(int block_x, int block_y, const GByte* valid, size_t pixels);
    // Band 1's mask over whole rows [top, top + rows): notes the blocks that they cover whole.
    // A block they cover in part is read from band 1 before it is written, and that read tells.
    void NoteRows(int top, int rows, const GByte* valid);

    bool MayHoldGap(int block_x, int block_y) const;

  private:
    size_t Index(int block_x, int block_y) const;

    const bool kept_;
    int width_, height_, block_width_ = 0, block_height_ = 0, across_;
    std::vector<bool> gaps_;
};
