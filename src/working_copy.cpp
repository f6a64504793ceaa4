#include "working_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

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

}  // namespace

// One band of the view. Blocks the fill has written and the cache has let go of are kept in a
// scratch file, one slot per block, at the block's index; `stored_` says which slots hold one.
class CopyOnWriteBand final : public GDALRasterBand {
public:
    CopyOnWriteBand(GDALDataset* dataset, int index, GDALRasterBand& source, int scratch,
                    std::string scratch_path, bool with_nodata)
        : source_(source),
          scratch_(scratch),
          scratch_path_(std::move(scratch_path)),
          with_nodata_(with_nodata),
          stored_(static_cast<size_t>(BlockCount(source))),
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
    ~CopyOnWriteBand() override { close(scratch_); }

    double GetNoDataValue(int* ok) override {
        return with_nodata_ ? source_.GetNoDataValue(ok) : GDALRasterBand::GetNoDataValue(ok);
    }
    int64_t GetNoDataValueAsInt64(int* ok) override {
        return with_nodata_ ? source_.GetNoDataValueAsInt64(ok)
                            : GDALRasterBand::GetNoDataValueAsInt64(ok);
    }
    uint64_t GetNoDataValueAsUInt64(int* ok) override {
        return with_nodata_ ? source_.GetNoDataValueAsUInt64(ok)
                            : GDALRasterBand::GetNoDataValueAsUInt64(ok);
    }

    // An alpha band or per-dataset mask of the source is this band's own mask too: the fill
    // treats a mask that is the target's own differently from any other band.
    void SetMaskView(CopyOnWriteBand* view) { mask_view_ = view; }
    GDALRasterBand* GetMaskBand() override {
        return mask_view_ ? mask_view_ : GDALRasterBand::GetMaskBand();
    }
    int GetMaskFlags() override {
        return mask_view_ ? source_.GetMaskFlags() : GDALRasterBand::GetMaskFlags();
    }

    bool Written(int block_x, int block_y) {
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

    // From now on, blocks the cache lets go of are thrown away: the view is being closed.
    void Discard() { discard_ = true; }

protected:
    CPLErr IReadBlock(int block_x, int block_y, void* data) override {
        if (!stored_[Index(block_x, block_y)]) return source_.ReadBlock(block_x, block_y, data);
        const ssize_t got = pread(scratch_, data, block_bytes_, Offset(block_x, block_y));
        if (got == static_cast<ssize_t>(block_bytes_)) return CE_None;
        return ScratchError("read");
    }

    CPLErr IWriteBlock(int block_x, int block_y, void* data) override {
        if (discard_) return CE_None;
        const ssize_t put = pwrite(scratch_, data, block_bytes_, Offset(block_x, block_y));
        if (put != static_cast<ssize_t>(block_bytes_))
            return ScratchError(put < 0 ? std::strerror(errno) : "short write");
        stored_[Index(block_x, block_y)] = true;
        return CE_None;
    }

private:
    size_t Index(int block_x, int block_y) const {
        return static_cast<size_t>(block_y) * blocks_across_ + block_x;
    }
    off_t Offset(int block_x, int block_y) const {
        return static_cast<off_t>(Index(block_x, block_y)) * static_cast<off_t>(block_bytes_);
    }
    CPLErr ScratchError(const char* why) {
        CPLError(CE_Failure, CPLE_FileIO, "cannot keep the working copy in '%s': %s",
                 scratch_path_.c_str(), why);
        return CE_Failure;
    }

    GDALRasterBand& source_;
    const int scratch_;
    const std::string scratch_path_;
    const bool with_nodata_;
    std::vector<bool> stored_;
    const int blocks_across_;
    const size_t block_bytes_;
    bool discard_ = false;
    CopyOnWriteBand* mask_view_ = nullptr;
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
    bool AddView(GDALRasterBand& source, const std::string& dir, bool with_nodata) {
        const int index = GetRasterCount() + 1;
        std::string path = dir + "/band" + std::to_string(index) + ".scratch";
        const int scratch = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (scratch < 0) {
            CPLError(CE_Failure, CPLE_FileIO, "cannot create '%s': %s", path.c_str(),
                     std::strerror(errno));
            return false;
        }
        SetBand(index,
                new CopyOnWriteBand(this, index, source, scratch, std::move(path), with_nodata));
        return true;
    }
};

WorkingCopy::WorkingCopy(std::unique_ptr<CopyOnWriteDataset> dataset)
    : dataset_(std::move(dataset)) {}

WorkingCopy::~WorkingCopy() = default;

std::unique_ptr<WorkingCopy> WorkingCopy::Create(GDALRasterBand& band, const std::string& dir) {
    auto dataset = std::make_unique<CopyOnWriteDataset>(band.GetXSize(), band.GetYSize());
    if (!dataset->AddView(band, dir, true)) return nullptr;
    if (!OwnMaskWillDo(band)) {
        if (!dataset->AddView(*band.GetMaskBand(), dir, false)) return nullptr;
        dataset->Band(1).SetMaskView(&dataset->Band(2));
    }
    return std::unique_ptr<WorkingCopy>(new WorkingCopy(std::move(dataset)));
}

GDALRasterBand& WorkingCopy::Band() { return dataset_->Band(1); }

GDALRasterBand& WorkingCopy::Mask() { return *Band().GetMaskBand(); }

bool WorkingCopy::Written(int block_x, int block_y) {
    return dataset_->Band(1).Written(block_x, block_y);
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
