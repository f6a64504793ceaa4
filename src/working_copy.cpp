#include "working_copy.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "platform.h"

namespace {

// The fill may be handed band 1's own mask only when that mask is computed from band 1's
// values; an alpha band or a per-dataset mask lives elsewhere in the file.
bool OwnMaskWillDo(GDALRasterBand& band) {
    return (band.GetMaskFlags() & (GMF_NODATA | GMF_ALL_VALID)) != 0;
}

int BlocksAcross(GDALRasterBand& band) {
    int width = 0, height = 0;
    band.GetBlockSize(&width, &height);
    return (band.GetXSize() + width - 1) / width;
}

long long BlockCount(GDALRasterBand& band) {
    int width = 0, height = 0;
    band.GetBlockSize(&width, &height);
    return static_cast<long long>(BlocksAcross(band)) * ((band.GetYSize() + height - 1) / height);
}

size_t BlockBytes(GDALRasterBand& band) {
    int width = 0, height = 0;
    band.GetBlockSize(&width, &height);
    return static_cast<size_t>(width) * height * GDALGetDataTypeSizeBytes(band.GetRasterDataType());
}

bool Compressed(GDALRasterBand& band) {
    GDALDataset* dataset = band.GetDataset();
    return dataset && dataset->GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE") != nullptr;
}

}  // namespace

// One band of the view. Blocks the fill has written and the cache has let go of are kept in a
// scratch file, one slot per block, at the block's index; `stored_` says which slots hold one.
class CopyOnWriteBand final : public GDALRasterBand {
  public:
    CopyOnWriteBand(GDALDataset* dataset, int index, GDALRasterBand& source,
                    platform::FileHandle scratch, std::string scratch_path, bool band_view)
        : source_(source),
          scratch_(scratch),
          scratch_path_(std::move(scratch_path)),
          band_view_(band_view),
          check_gaps_(band_view && Compressed(source)),
          stored_(static_cast<size_t>(BlockCount(source))),
          gaps_(stored_.size(), true),
          blocks_across_(BlocksAcross(source)),
          block_bytes_(BlockBytes(source)) {
        poDS = dataset;
        nBand = index;
        nRasterXSize = source.GetXSize();
        nRasterYSize = source.GetYSize();
        eDataType = source.GetRasterDataType();
        eAccess = GA_Update;
        source.GetBlockSize(&nBlockXSize, &nBlockYSize);
    }
    ~CopyOnWriteBand() override { platform::CloseFile(scratch_); }

    double GetNoDataValue(int* ok) override {
        return band_view_ ? source_.GetNoDataValue(ok) : GDALRasterBand::GetNoDataValue(ok);
    }
    int64_t GetNoDataValueAsInt64(int* ok) override {
        return band_view_ ? source_.GetNoDataValueAsInt64(ok)
                          : GDALRasterBand::GetNoDataValueAsInt64(ok);
    }
    uint64_t GetNoDataValueAsUInt64(int* ok) override {
        return band_view_ ? source_.GetNoDataValueAsUInt64(ok)
                          : GDALRasterBand::GetNoDataValueAsUInt64(ok);
    }

    // The fill changes only the pixels its mask marks invalid, so a block can have changed only
    // if it held such a pixel (or was never read, so that nobody knows) and the fill wrote it.
    bool MayHaveChanged(int block_x, int block_y) {
        if (!gaps_[Index(block_x, block_y)]) return false;
        if (stored_[Index(block_x, block_y)]) return true;
        GDALRasterBlock* block = TryGetLockedBlockRef(block_x, block_y);
        if (!block) return false;
        const bool dirty = block->GetDirty() != 0;
        block->DropLock();
        return dirty;
    }

    CPLErr TakeBlock(int block_x, int block_y, void* data) {
        GDALRasterBlock* block = TryGetLockedBlockRef(block_x, block_y);
        if (!block) return IReadBlock(block_x, block_y, data);
        std::memcpy(data, block->GetDataRef(), block_bytes_);
        block->DropLock();
        return FlushBlock(block_x, block_y, FALSE);  // drops it from the cache unwritten
    }

    CPLErr PutRows(int top, int rows, void* values, const GByte* valid) {
        if (check_gaps_ && valid) NoteGaps(top, rows, valid);
        return RasterIO(GF_Write, 0, top, nRasterXSize, rows, values, nRasterXSize, rows, eDataType,
                        0, 0, nullptr);
    }
    bool WantsValidity() const { return check_gaps_; }
    // Whether a block the fill wrote was lost: the cache could not keep it in the scratch file.
    bool Lost() const { return lost_; }
    GDALRasterBand& Source() { return source_; }

    // From now on, blocks the cache lets go of are thrown away: the view is being closed.
    void Discard() { discard_ = true; }

  protected:
    CPLErr IReadBlock(int block_x, int block_y, void* data) override {
        if (!stored_[Index(block_x, block_y)]) {
            try {
                return ReadSourceBlock(block_x, block_y, data);
            } catch (const std::bad_alloc&) {  // never into GDAL's frames
                CPLError(CE_Failure, CPLE_OutOfMemory, "out of memory for a block's mask");
                return CE_Failure;
            }
        }
        if (platform::ReadWhole(scratch_, data, block_bytes_, Offset(block_x, block_y)) ==
            platform::Whole::kYes)
            return CE_None;
        return ScratchError("read");
    }

    // Called by whichever thread's cache eviction picks the block, where a failure may reach no
    // caller: it is kept here as well, and the fill's result is checked for it.
    CPLErr IWriteBlock(int block_x, int block_y, void* data) override {
        if (discard_) return CE_None;
        const platform::Whole put =
            platform::WriteWhole(scratch_, data, block_bytes_, Offset(block_x, block_y));
        if (put != platform::Whole::kYes) {
            lost_ = true;
            return ScratchError(put == platform::Whole::kError ? platform::LastError().c_str()
                                                               : "short write");
        }
        stored_[Index(block_x, block_y)] = true;
        return CE_None;
    }

  private:
    // A compressed band 1's blocks are read through GDAL's cache, so that its mask, computed
    // from the same block, costs no second decompression, and are dropped from the cache again:
    // the view holds them from now on. Knowing which blocks hold no gap spares the write-back
    // from decompressing them once more. An uncompressed block is cheaper to compare than that.
    CPLErr ReadSourceBlock(int block_x, int block_y, void* data) {
        if (!check_gaps_) return source_.ReadBlock(block_x, block_y, data);
        int width = 0, height = 0;
        source_.GetActualBlockSize(block_x, block_y, &width, &height);
        const int pixel = GDALGetDataTypeSizeBytes(eDataType);
        const int x = block_x * nBlockXSize, y = block_y * nBlockYSize;
        std::vector<GByte> valid(static_cast<size_t>(width) * height);
        if (source_.RasterIO(GF_Read, x, y, width, height, data, width, height, eDataType, pixel,
                             static_cast<GSpacing>(pixel) * nBlockXSize, nullptr) != CE_None ||
            ReadMaskWindow(source_, x, y, width, height, valid.data()) != CE_None)
            return CE_Failure;
        gaps_[Index(block_x, block_y)] = std::find(valid.begin(), valid.end(), 0) != valid.end();
        return CE_None;
    }

    // Whether the blocks that rows [top, top + rows) cover whole hold a gap. A block they cover
    // in part is read from the source before it is written, and that read tells.
    void NoteGaps(int top, int rows, const GByte* valid) {
        for (int block_y = top / nBlockYSize; block_y * nBlockYSize < top + rows; ++block_y) {
            const int first = block_y * nBlockYSize;
            const int last = std::min(first + nBlockYSize, nRasterYSize);
            if (first < top || last > top + rows) continue;
            for (int block_x = 0; block_x < blocks_across_; ++block_x) {
                const int left = block_x * nBlockXSize;
                const int right = std::min(left + nBlockXSize, nRasterXSize);
                bool gap = false;
                for (int y = first; y < last && !gap; ++y) {
                    const GByte* row = valid + static_cast<size_t>(y - top) * nRasterXSize;
                    gap = std::find(row + left, row + right, 0) != row + right;
                }
                gaps_[Index(block_x, block_y)] = gap;
            }
        }
    }

    size_t Index(int block_x, int block_y) const {
        return static_cast<size_t>(block_y) * blocks_across_ + block_x;
    }
    std::uint64_t Offset(int block_x, int block_y) const {
        return static_cast<std::uint64_t>(Index(block_x, block_y)) * block_bytes_;
    }
    CPLErr ScratchError(const char* why) {
        CPLError(CE_Failure, CPLE_FileIO, "cannot keep the working copy in '%s': %s",
                 scratch_path_.c_str(), why);
        return CE_Failure;
    }

    GDALRasterBand& source_;
    const platform::FileHandle scratch_;
    const std::string scratch_path_;
    const bool band_view_;
    const bool check_gaps_;
    std::vector<bool> stored_;
    std::vector<bool> gaps_;  // whether the source's block holds a pixel its mask marks invalid
    const int blocks_across_;
    const size_t block_bytes_;
    bool discard_ = false;
    std::atomic<bool> lost_{false};
};

class CopyOnWriteDataset final : public GDALDataset {
  public:
    CopyOnWriteDataset(int width, int height) {
        nRasterXSize = width;
        nRasterYSize = height;
        eAccess = GA_Update;
    }
    ~CopyOnWriteDataset() override {
        for (int i = 1; i <= GetRasterCount(); ++i) Band(i).Discard();
        FlushCache(true);
    }

    CopyOnWriteBand& Band(int index) {
        return *static_cast<CopyOnWriteBand*>(GetRasterBand(index));
    }

    // Adds a view of `source` as the next band; false, with a GDAL error, when its scratch file
    // cannot be made.
    bool AddView(GDALRasterBand& source, const std::string& dir, bool band_view) {
        const int index = GetRasterCount() + 1;
        std::string path = dir + "/band" + std::to_string(index) + ".scratch";
        const platform::FileHandle scratch = platform::OpenFile(path, platform::Open::kCreateNew);
        if (scratch == platform::kNoFile) {
            CPLError(CE_Failure, CPLE_FileIO, "cannot create '%s': %s", path.c_str(),
                     platform::LastError().c_str());
            return false;
        }
        SetBand(index,
                new CopyOnWriteBand(this, index, source, scratch, std::move(path), band_view));
        return true;
    }
};

WorkingCopy::WorkingCopy(std::unique_ptr<CopyOnWriteDataset> dataset)
    : dataset_(std::move(dataset)) {}

WorkingCopy::~WorkingCopy() = default;

std::unique_ptr<WorkingCopy> WorkingCopy::Create(GDALRasterBand& band, const std::string& dir) {
    auto dataset = std::make_unique<CopyOnWriteDataset>(band.GetXSize(), band.GetYSize());
    if (!dataset->AddView(band, dir, true)) return nullptr;
    if (!OwnMaskWillDo(band) && !dataset->AddView(*band.GetMaskBand(), dir, false)) return nullptr;
    return std::unique_ptr<WorkingCopy>(new WorkingCopy(std::move(dataset)));
}

GDALRasterBand& WorkingCopy::Band() { return dataset_->Band(1); }

GDALRasterBand& WorkingCopy::Mask() {
    return MaskIsOwn() ? *Band().GetMaskBand() : dataset_->Band(2);
}

bool WorkingCopy::MaskIsOwn() { return dataset_->GetRasterCount() == 1; }

GDALRasterBand& WorkingCopy::Original() { return dataset_->Band(1).Source(); }

CPLErr WorkingCopy::PutRows(int top, int rows, void* values, const GByte* valid) {
    return dataset_->Band(1).PutRows(top, rows, values, valid);
}

bool WorkingCopy::WantsValidity() { return dataset_->Band(1).WantsValidity(); }

bool WorkingCopy::Lost() { return dataset_->Band(1).Lost(); }

bool WorkingCopy::MayHaveChanged(int block_x, int block_y) {
    return dataset_->Band(1).MayHaveChanged(block_x, block_y);
}

CPLErr WorkingCopy::TakeBlock(int block_x, int block_y, void* data) {
    return dataset_->Band(1).TakeBlock(block_x, block_y, data);
}

long long WorkingCopy::MostScratchBytes(GDALRasterBand& band) {
    long long bytes = BlockCount(band) * static_cast<long long>(BlockBytes(band));
    if (!OwnMaskWillDo(band)) {
        GDALRasterBand& mask = *band.GetMaskBand();
        bytes += BlockCount(mask) * static_cast<long long>(BlockBytes(mask));
    }
    return bytes;
}

namespace {

// Drops from GDAL's cache the band's blocks that overlap a window; they are never dirty here.
void DropCachedWindow(GDALRasterBand& band, int x, int y, int width, int height) {
    int block_width = 0, block_height = 0;
    band.GetBlockSize(&block_width, &block_height);
    for (int block_y = y / block_height; block_y <= (y + height - 1) / block_height; ++block_y)
        for (int block_x = x / block_width; block_x <= (x + width - 1) / block_width; ++block_x)
            band.FlushBlock(block_x, block_y);
}

}  // namespace

CPLErr ReadMaskWindow(GDALRasterBand& band, int x, int y, int width, int height, GByte* valid) {
    GDALRasterBand& mask = *band.GetMaskBand();
    const CPLErr status =
        mask.RasterIO(GF_Read, x, y, width, height, valid, width, height, GDT_Byte, 0, 0, nullptr);
    DropCachedWindow(mask, x, y, width, height);
    DropCachedWindow(band, x, y, width, height);
    return status;
}

CPLErr ReadRows(GDALRasterBand& band, int top, int rows, void* values, GByte* valid) {
    const int width = band.GetXSize();
    const CPLErr status = band.RasterIO(GF_Read, 0, top, width, rows, values, width, rows,
                                        band.GetRasterDataType(), 0, 0, nullptr);
    if (valid) {
        const CPLErr masked = ReadMaskWindow(band, 0, top, width, rows, valid);
        return status != CE_None ? status : masked;
    }
    DropCachedWindow(band, 0, top, width, rows);
    return status;
}
