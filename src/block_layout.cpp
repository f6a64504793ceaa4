#include "block_layout.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include <cpl_string.h>
#include <gdal_priv.h>

namespace {

std::uint64_t Number(const char* text) { return text ? std::strtoull(text, nullptr, 10) : 0; }

// From the GTiff driver's BLOCK_OFFSET_x_y and BLOCK_SIZE_x_y. A block's rows are whole rows of
// its width, band 2's bytes among them when the bands are interleaved by pixel; a strip at the
// band's end holds only the rows left. A block never written (offset 0) goes wherever GDAL puts
// it, and is not foreseen.
BlockLayout TiffLayout(GDALRasterBand& band) {
    GDALDataset& dataset = *band.GetDataset();
    if (dataset.GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE")) return {};
    const char* interleave = dataset.GetMetadataItem("INTERLEAVE", "IMAGE_STRUCTURE");
    const int samples = interleave && EQUAL(interleave, "PIXEL") ? dataset.GetRasterCount() : 1;
    BlockLayout layout;
    layout.width = band.GetXSize();
    band.GetBlockSize(&layout.block_width, &layout.block_height);
    layout.across = (layout.width + layout.block_width - 1) / layout.block_width;
    const int down = (band.GetYSize() + layout.block_height - 1) / layout.block_height;
    layout.pixel_bytes =
        static_cast<std::uint64_t>(samples) * GDALGetDataTypeSizeBytes(band.GetRasterDataType());
    layout.row_bytes = layout.block_width * layout.pixel_bytes;
    layout.offsets.assign(static_cast<size_t>(layout.across) * down, BlockLayout::kUnknown);
    for (int by = 0; by < down; ++by) {
        const int rows = std::min(layout.block_height, band.GetYSize() - by * layout.block_height);
        for (int bx = 0; bx < layout.across; ++bx) {
            const std::uint64_t offset =
                Number(band.GetMetadataItem(CPLSPrintf("BLOCK_OFFSET_%d_%d", bx, by), "TIFF"));
            const std::uint64_t size =
                Number(band.GetMetadataItem(CPLSPrintf("BLOCK_SIZE_%d_%d", bx, by), "TIFF"));
            if (offset > 0 &&
                (size == layout.row_bytes * layout.block_height || size == layout.row_bytes * rows))
                layout.offsets[static_cast<size_t>(by) * layout.across + bx] = offset;
        }
    }
    return layout;
}

// Whether the raw data lie in the dataset's own file, the first it lists. Some drivers leave the
// raw file's name empty for their own (EHdr in GDAL 3.6).
bool IsOwnFile(GDALDataset& dataset, const std::string& raw_file) {
    const CPLStringList files(dataset.GetFileList());
    const std::string own = dataset.GetDescription();
    return files.size() > 0 && own == files[0] && (raw_file.empty() || raw_file == own);
}

// From the raw binary layout GDAL reports for the dataset's own file: each row of band 1 a block.
BlockLayout RawLayout(GDALRasterBand& band) {
    GDALDataset& dataset = *band.GetDataset();
    GDALDataset::RawBinaryLayout raw;
    const int pixel_bytes = GDALGetDataTypeSizeBytes(band.GetRasterDataType());
    if (!dataset.GetRawBinaryLayout(raw) || !IsOwnFile(dataset, raw.osRawFilename) ||
        raw.eDataType != band.GetRasterDataType() || raw.nPixelOffset < pixel_bytes ||
        raw.nLineOffset <= 0)
        return {};
    BlockLayout layout;
    layout.width = layout.block_width = band.GetXSize();
    layout.block_height = layout.across = 1;
    layout.pixel_bytes = static_cast<std::uint64_t>(raw.nPixelOffset);
    layout.row_bytes =
        static_cast<std::uint64_t>(layout.width - 1) * raw.nPixelOffset + pixel_bytes;
    layout.offsets.resize(band.GetYSize());
    for (int y = 0; y < band.GetYSize(); ++y)
        layout.offsets[y] = raw.nImageOffset + static_cast<std::uint64_t>(y) * raw.nLineOffset;
    return layout;
}

// The ranges of a block's row from `row_start` whose pixels (`pixels` of them) are gaps in `valid`.
void AddGapsOfRow(const BlockLayout& layout, std::uint64_t row_start, const GByte* valid,
                  size_t pixels, std::vector<ByteRange>& ranges) {
    constexpr std::uint64_t kJoined = 32;  // about a record's head in the journal
    const std::uint64_t row_end = row_start + layout.row_bytes;
    for (size_t x = 0; x < pixels;) {
        const void* gap = std::memchr(valid + x, 0, pixels - x);
        if (!gap) return;
        const size_t first = static_cast<const GByte*>(gap) - valid;
        x = first;
        while (x < pixels && valid[x] == 0) ++x;
        const std::uint64_t begin = row_start + first * layout.pixel_bytes;
        const std::uint64_t end = std::min(row_end, row_start + x * layout.pixel_bytes);
        if (!ranges.empty() && begin >= ranges.back().second &&
            begin - ranges.back().second < kJoined)
            ranges.back().second = end;
        else
            ranges.emplace_back(begin, end);
    }
}

}  // namespace

BlockLayout LayoutOf(GDALRasterBand& band) {
    GDALDataset* dataset = band.GetDataset();
    if (!dataset || band.GetBand() != 1 || !dataset->GetDriver()) return {};
    return EQUAL(dataset->GetDriver()->GetDescription(), "GTiff") ? TiffLayout(band)
                                                                  : RawLayout(band);
}

std::vector<ByteRange> RangesOfGaps(const BlockLayout& layout, int top, int rows,
                                    const GByte* valid) {
    std::vector<ByteRange> ranges;
    const int height = layout.block_height;
    for (int block_top = top - top % height; block_top < top + rows; block_top += height) {
        const int first = std::max(top, block_top), end = std::min(top + rows, block_top + height);
        for (int bx = 0; bx < layout.across; ++bx) {
            const size_t block = static_cast<size_t>(block_top / height) * layout.across + bx;
            const std::uint64_t offset = layout.offsets[block];
            if (offset == BlockLayout::kUnknown) continue;
            const int x = bx * layout.block_width;
            const size_t pixels = std::min(layout.block_width, layout.width - x);
            for (int y = first; y < end; ++y)
                AddGapsOfRow(layout, offset + (y - block_top) * layout.row_bytes,
                             valid + static_cast<size_t>(y - top) * layout.width + x, pixels,
                             ranges);
        }
    }
    return ranges;
}
