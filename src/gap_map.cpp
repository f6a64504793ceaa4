#include "gap_map.h"

#include <algorithm>

#include <gdal_priv.h>

GapMap::GapMap(GDALRasterBand& band, bool kept)
    : kept_(kept), width_(band.GetXSize()), height_(band.GetYSize()) {
    band.GetBlockSize(&block_width_, &block_height_);
    across_ = (width_ + block_width_ - 1) / block_width_;
    const int down = (height_ + block_height_ - 1) / block_height_;
    if (kept_) gaps_.assign(static_cast<size_t>(across_) * down, true);
}

void GapMap::NoteBlock(int block_x, int block_y, const GByte* valid, size_t pixels) {
    if (kept_)
        gaps_[Index(block_x, block_y)] = std::find(valid, valid + pixels, 0) != valid + pixels;
}

void GapMap::NoteRows(int top, int rows, const GByte* valid) {
    if (!kept_) return;
    for (int block_y = top / block_height_; block_y * block_height_ < top + rows; ++block_y) {
        const int first = block_y * block_height_;
        const int last = std::min(first + block_height_, height_);
        if (first < top || last > top + rows) continue;
        for (int block_x = 0; block_x < across_; ++block_x) {
            const int left = block_x * block_width_;
            const int right = std::min(left + block_width_, width_);
            bool gap = false;
            for (int y = first; y < last && !gap; ++y) {
                const GByte* row = valid + static_cast<size_t>(y - top) * width_;
                gap = std::find(row + left, row + right, 0) != row + right;
            }
            gaps_[Index(block_x, block_y)] = gap;
        }
    }
}

bool GapMap::MayHoldGap(int block_x, int block_y) const {
    return !kept_ || gaps_[Index(block_x, block_y)];
}

size_t GapMap::Index(int block_x, int block_y) const {
    return static_cast<size_t>(block_y) * across_ + block_x;
}
