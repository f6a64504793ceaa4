#pragma once

#include <memory>
#include <string>

#include <gdal_priv.h>

// The fill's target: a copy-on-write view of band 1. A block is read from the file until the fill
// writes it; from then on it lives in GDAL's block cache and, once the cache evicts it, in a
// scratch file in the run's private directory. Nothing is ever written to the file through it,
// and memory stays bounded by GDAL_CACHEMAX however large the raster is.
//
// The view has band 1's size, block size, pixel type and no-data value, so the fill converts and
// masks on it exactly as it would on band 1. Its own mask is the fill's mask: computed from its
// values when band 1's mask is its no-data value (or every pixel is valid), and a view of the
// mask's values, like the band's, when band 1 has an alpha band or a per-dataset mask.
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

    // Whether this block may differ from band 1's: the fill wrote it, and band 1's block held
    // a pixel that the mask marks invalid (the fill changes no other pixel).
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

// Band's mask over a window, one byte per pixel (0 for invalid), read through GDAL's cache; the
// blocks of the band and of its mask that overlap the window are dropped from the cache again.
CPLErr ReadMaskWindow(GDALRasterBand& band, int x, int y, int width, int height, GByte* valid);
