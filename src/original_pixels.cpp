#include "original_pixels.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gdal_priv.h>

bool FloatRoundTripChanges(GDALDataType type) {
    return GDALDataTypeIsConversionLossy(type, GDT_Float32) != 0;
}

namespace {

CPLErr RasterRow(GDALRWFlag direction, GDALRasterBand& band, int row, GDALDataType type,
                 void* buffer) {
    const int width = band.GetXSize();
    return band.RasterIO(direction, 0, row, width, 1, buffer, width, 1, type, 0, 0, nullptr);
}

CPLErr TemporaryFileError(const char* what) {
    CPLError(CE_Failure, CPLE_FileIO, "cannot %s the temporary copy of band 1: %s", what,
             std::strerror(errno));
    return CE_Failure;
}

template <typename T>
bool WriteAll(const std::vector<T>& buffer, std::FILE* file) {
    return std::fwrite(buffer.data(), sizeof(T), buffer.size(), file) == buffer.size();
}

template <typename T>
bool ReadAll(std::vector<T>& buffer, std::FILE* file) {
    return std::fread(buffer.data(), sizeof(T), buffer.size(), file) == buffer.size();
}

// What the fill's float round trip makes of one pixel, by GDAL's own conversions. `Word` is an
// unsigned integer as wide as the pixel, holding its bits.
template <typename Word>
Word RoundTrip(Word pixel, GDALDataType type) {
    float as_float = 0;
    Word back = 0;
    GDALCopyWords(&pixel, type, 0, &as_float, GDT_Float32, 0, 1);
    GDALCopyWords(&as_float, GDT_Float32, 0, &back, type, 0, 1);
    return back;
}

template <typename Word>
CPLErr RestoreRows(GDALRasterBand& band, std::FILE* kept) {
    const GDALDataType type = band.GetRasterDataType();
    const size_t width = static_cast<size_t>(band.GetXSize());
    std::vector<Word> original(width), filled(width), restored(width);
    std::vector<GByte> mask(width);
    for (int row = 0; row < band.GetYSize(); ++row) {
        if (!ReadAll(original, kept) || !ReadAll(mask, kept)) return TemporaryFileError("read");
        if (RasterRow(GF_Read, band, row, type, filled.data()) != CE_None) return CE_Failure;
        for (size_t x = 0; x < width; ++x) {
            const bool keep = mask[x] != 0 || filled[x] == RoundTrip(original[x], type);
            restored[x] = keep ? original[x] : filled[x];
        }
        if (restored != filled && RasterRow(GF_Write, band, row, type, restored.data()) != CE_None)
            return CE_Failure;
    }
    return CE_None;
}

// Copies each row of the band, then the same row of its mask, to the end of `kept`.
CPLErr KeepRows(GDALRasterBand& band, std::FILE* kept) {
    const GDALDataType type = band.GetRasterDataType();
    const size_t width = static_cast<size_t>(band.GetXSize());
    std::vector<GByte> values(width * GDALGetDataTypeSizeBytes(type));
    std::vector<GByte> mask(width);
    for (int row = 0; row < band.GetYSize(); ++row) {
        if (RasterRow(GF_Read, band, row, type, values.data()) != CE_None ||
            RasterRow(GF_Read, *band.GetMaskBand(), row, GDT_Byte, mask.data()) != CE_None)
            return CE_Failure;
        if (!WriteAll(values, kept) || !WriteAll(mask, kept)) return TemporaryFileError("write");
    }
    return std::fflush(kept) == 0 ? CE_None : TemporaryFileError("write");
}

}  // namespace

KeptPixels KeepOriginalPixels(GDALRasterBand& band) {
    KeptPixels kept(std::tmpfile(), &std::fclose);
    if (!kept) {
        TemporaryFileError("create");
        return kept;
    }
    if (KeepRows(band, kept.get()) != CE_None) return KeptPixels(nullptr, &std::fclose);
    std::rewind(kept.get());
    return kept;
}

CPLErr RestoreOriginalPixels(GDALRasterBand& band, std::FILE* kept) {
    switch (GDALGetDataTypeSizeBytes(band.GetRasterDataType())) {
        case 4:
            return RestoreRows<std::uint32_t>(band, kept);
        case 8:
            return RestoreRows<std::uint64_t>(band, kept);
        default:  // every type that a float holds exactly is narrower, and needs no restoring
            CPLError(CE_Failure, CPLE_NotSupported, "no original pixels to restore for %s",
                     GDALGetDataTypeName(band.GetRasterDataType()));
            return CE_Failure;
    }
}
