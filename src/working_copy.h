#pragma once

#include <memory>
#include <string>

#include <gdal_priv.h>

#include "gap_map.h"

// The fill's target: a copy-on-write view of band 1. A block is read from the file until the fill
// writes it; from then on it lives in GDAL's block cache and, once the cache evicts it, in a
// scratch file in the run's private directory. Nothing is ever written to the file through it,
// and memory stays bounded by GDAL_CACHEMAX however large the raster is.
//
// The view has band 1's size, block size, pixel type and no-data value, so the fill converts and
// masks on it exactly as it would on band 1. The fill's mask is the view's own mask when band 1's
// mask is its no-data value (or every pixel is valid): computed from the values, as on band 1.
// When band 1 has an alpha band or a per-dataset mask, the fill's mask is a second view, of the
// mask's values, and never the view's own mask: the library re-reads its target's own mask before
// smoothing, and an alpha band or mask read again unchanged still marks every filled pixel
// invalid, so that smoothing would average over no pixels at all (NaN, or the type's minimum).
// Handed a mask band of its own, the library copies it and marks the filled pixels valid.
class CopyOnWriteDataset;

class WorkingCopy {
  public:
    // Null, with a GDAL error raised, when the scratch files cannot be made in `dir`.
    static std::unique_ptr<WorkingCopy> Create(GDALRasterBand& band, const std::string& dir);
    ~WorkingCopy();
    WorkingCopy(const WorkingCopy&) = delete;
    WorkingCopy& operator=(const WorkingCopy&) = delete;

    GDALRasterBand& Band();
    GDALRasterBand& Mask();
    // Whether Mask() is the view's own mask, computed from its values (else a view of band 1's
    // alpha band or per-dataset mask).
    bool MaskIsOwn();
    // Band 1 itself, which nothing writes until the write-back.
    GDALRasterBand& Original();

    // Puts filled rows [top, top + rows) into the view (whole rows of band 1's type).
    CPLErr PutRows(int top, int rows, void* values);
    // Which of band 1's blocks hold a gap, as far as the view has learnt.
    GapMap& Gaps();

    // Whether a block the fill wrote could be kept neither in the cache nor in the scratch file,
    // so that its pixels are gone: the fill has failed, whatever GDAL's calls returned.
    bool Lost();

    // Whether this block may differ from band 1's: the fill wrote it, and band 1's block may
    // hold a gap (the fill changes no other pixel).
    bool MayHaveChanged(int block_x, int block_y);

    // Moves a block that may have changed out of the view into `data` (a whole block of band 1's
    // type).
    CPLErr TakeBlock(int block_x, int block_y, void* data);

    // What the scratch files may grow to, in bytes: every block of the band (and of its mask).
    static long long MostScratchBytes(GDALRasterBand& band);

  private:
    explicit WorkingCopy(std::unique_ptr<CopyOnWriteDataset> dataset);
    std::unique_ptr<CopyOnWriteDataset> dataset_;
};

// Whether the working copy lost a filled block (WorkingCopy::Lost), with a GDAL error raised.
bool LostBlocks(WorkingCopy& copy);

// Band's mask over a window, one byte per pixel (0 for invalid), read through GDAL's cache; the
// blocks of the band and of its mask that overlap the window are dropped from the cache again.
CPLErr ReadMaskWindow(GDALRasterBand& band, int x, int y, int width, int height, GByte* valid);

// Rows [top, top + rows) of band, whole, in its own type, and when `valid` is not null its mask
// over them as ReadMaskWindow reads it; what was read is dropped from the cache again.
CPLErr ReadRows(GDALRasterBand& band, int top, int rows, void* values, GByte* valid);
