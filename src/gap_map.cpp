#include "gap_map.h"

#include <algorithm>

#include <gdal_priv.h>

GapMap::GapMap(GDALRasterBand& band, bool kept)
    : kept_(kept), width_(band.GetXSize()), height_(band.GetYSize()) {
    band.GetBlockSize(&block_width_, &block_height_);
    across_ = (width_ + block_width_ - 1) / block_width_;
    const int down = (height_ + block_height_ - 1) / block_height_;
    if (kept_) gaps_.assign(static_cast<size_t>(across_) * down, BlockGaps{});
}

// Counts the gaps of the block at (block_x, block_y) in a mask whose row y of the block begins at
// rows[y * stride], and the window that holds them.
GapMap::BlockGaps GapMap::Count(int block_x, int block_y, const GByte* rows, size_t stride) const {
    const int left = block_x * block_width_, top = block_y * block_height_;
    const int width = std::min(block_width_, width_ - left);
    const int height = std::min(block_height_, height_ - top);
    BlockGaps gaps{0, width, height, -1, -1};
    for (int y = 0; y < height; ++y) {
        const GByte* row = rows + static_cast<size_t>(y) * stride;
        const GByte* first = std::find(row, row + width, 0);
        if (first == row + width) continue;
        const long long here = std::count(first, row + width, 0);
        const GByte* last = row + width - 1;
        while (*last != 0) --last;
        gaps.count += here;
        gaps.x0 = std::min<int>(gaps.x0, static_cast<int>(first - row));
        gaps.x1 = std::max<int>(gaps.x1, static_cast<int>(last - row));
        gaps.y0 = std::min(gaps.y0, y);
        gaps.y1 = y;
    }
    return gaps;
}

void GapMap::NoteBlock(int block_x, int block_y, const GByte* valid) {
    if (kept_)
        gaps_[Index(block_x, block_y)] =
            Count(block_x, block_y, valid,
                  static_cast<size_t>(std::min(block_width_, width_ - block_x * block_width_)));
}

template <typename Each>
void GapMap::ForBlocksCovered(int top, int rows, const GByte* valid, const Each& each) const {
    for (int block_y = top / block_height_; block_y * block_height_ < top + rows; ++block_y) {
        const int first = block_y * block_height_;
        const int last = std::min(first + block_height_, height_);
        if (first < top || last > top + rows) continue;
        for (int block_x = 0; block_x < across_; ++block_x)
            each(block_x, block_y,
                 valid + static_cast<size_t>(first - top) * width_ + block_x * block_width_);
    }
}

void GapMap::NoteRows(int top, int rows, const GByte* valid) {
    if (!kept_) return;
    ForBlocksCovered(top, rows, valid, [&](int block_x, int block_y, const GByte* block) {
        gaps_[Index(block_x, block_y)] =
            Count(block_x, block_y, block, static_cast<size_t>(width_));
    });
}

void GapMap::NoteGapsLeft(int top, int rows, const GByte* valid) {
    if (!kept_) return;
    ForBlocksCovered(top, rows, valid, [&](int block_x, int block_y, const GByte* block) {
        gaps_[Index(block_x, block_y)].left =
            Count(block_x, block_y, block, static_cast<size_t>(width_)).count;
    });
}

bool GapMap::MayHoldGap(int block_x, int block_y) const {
    return !kept_ || gaps_[Index(block_x, block_y)].count != 0;
}

long long GapMap::GapCount(int block_x, int block_y) const {
    return kept_ ? gaps_[Index(block_x, block_y)].count : -1;
}

long long GapMap::GapsLeft(int block_x, int block_y) const {
    return kept_ ? gaps_[Index(block_x, block_y)].left : -1;
}

bool GapMap::GapWindow(int block_x, int block_y, int& x, int& y, int& width, int& height) const {
    if (!kept_ || gaps_[Index(block_x, block_y)].count <= 0) return false;
    const BlockGaps& gaps = gaps_[Index(block_x, block_y)];
    x = block_x * block_width_ + gaps.x0;
    y = block_y * block_height_ + gaps.y0;
    width = gaps.x1 - gaps.x0 + 1;
    height = gaps.y1 - gaps.y0 + 1;
    return true;
}

size_t GapMap::Index(int block_x, int block_y) const {
    return static_cast<size_t>(block_y) * across_ + block_x;
}
