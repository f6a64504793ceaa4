#include "original_pixels.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <gdal_priv.h>

bool FloatRoundTripChanges(GDALDataType type) {
    return GDALDataTypeIsConversionLossy(type, GDT_Float32) != 0;
}

namespace {

// One row of band values in their own pixel type, and the same row of the mask.
struct Row {
    Row(GDALRasterBand& band)
        : type(band.GetRasterDataType()),
          pixel_bytes(GDALGetDataTypeSizeBytes(type)),
          values(static_cast<size_t>(band.GetXSize()) * pixel_bytes),
          mask(static_cast<size_t>(band.GetXSize())) {}

    GDALDataType type;
    size_t pixel_bytes;
    std::vector<GByte> values;
    std::vector<GByte> mask;
};

CPLErr ReadRow(GDALRasterBand& band, int row, GDALDataType type, GByte* buffer) {
    const int width = band.GetXSize();
    return band.RasterIO(GF_Read, 0, row, width, 1, buffer, width, 1, type, 0, 0, nullptr);
}

CPLErr WriteRow(GDALRasterBand& band, int row, GDALDataType type, GByte* buffer) {
    const int width = band.GetXSize();
    return band.RasterIO(GF_Write, 0, row, width, 1, buffer, width, 1, type, 0, 0, nullptr);
}

CPLErr TemporaryFileError(const char* what) {
    CPLError(CE_Failure, CPLE_FileIO, "cannot %s the temporary copy of band 1: %s", what,
             std::strerror(errno));
    return CE_Failure;
}

CPLErr KeepRow(GDALRasterBand& band, int row, Row& buffers, std::FILE* kept) {
    if (ReadRow(band, row, buffers.type, buffers.values.data()) != CE_None ||
        ReadRow(*band.GetMaskBand(), row, GDT_Byte, buffers.mask.data()) != CE_None)
        return CE_Failure;
    if (std::fwrite(buffers.values.data(), 1, buffers.values.size(), kept) !=
            buffers.values.size() ||
        std::fwrite(buffers.mask.data(), 1, buffers.mask.size(), kept) != buffers.mask.size())
        return TemporaryFileError("write");
    return CE_None;
}

// What the fill's float round trip makes of the original row, by GDAL's own conversions.
void RoundTrip(const Row& original, std::vector<float>& as_float, std::vector<GByte>& out) {
    const int width = static_cast<int>(original.mask.size());
    const int pixel_bytes = static_cast<int>(original.pixel_bytes);
    GDALCopyWords(original.values.data(), original.type, pixel_bytes, as_float.data(), GDT_Float32,
                  sizeof(float), width);
    GDALCopyWords(as_float.data(), GDT_Float32, sizeof(float), out.data(), original.type,
                  pixel_bytes, width);
}

// Puts the original value back into `filled` wherever it must survive; true if any pixel changed.
bool PutBackOriginals(const Row& original, const std::vector<GByte>& round_trip,
                      std::vector<GByte>& filled) {
    const size_t size = original.pixel_bytes;
    bool changed = false;
    for (size_t x = 0; x < original.mask.size(); ++x) {
        GByte* now = &filled[x * size];
        const GByte* before = &original.values[x * size];
        const bool unreached_gap = std::memcmp(now, &round_trip[x * size], size) == 0;
        if ((original.mask[x] != 0 || unreached_gap) && std::memcmp(now, before, size) != 0) {
            std::memcpy(now, before, size);
            changed = true;
        }
    }
    return changed;
}

}  // namespace

KeptPixels KeepOriginalPixels(GDALRasterBand& band) {
    KeptPixels kept(std::tmpfile(), &std::fclose);
    if (!kept) {
        TemporaryFileError("create");
        return kept;
    }
    Row buffers(band);
    for (int row = 0; row < band.GetYSize(); ++row) {
        if (KeepRow(band, row, buffers, kept.get()) != CE_None)
            return KeptPixels(nullptr, &std::fclose);
    }
    if (std::fflush(kept.get()) != 0) {
        TemporaryFileError("write");
        return KeptPixels(nullptr, &std::fclose);
    }
    return kept;
}

CPLErr RestoreOriginalPixels(GDALRasterBand& band, std::FILE* kept) {
    std::rewind(kept);
    Row original(band);
    std::vector<GByte> filled(original.values.size());
    std::vector<GByte> round_trip(original.values.size());
    std::vector<float> as_float(original.mask.size());
    for (int row = 0; row < band.GetYSize(); ++row) {
        if (std::fread(original.values.data(), 1, original.values.size(), kept) !=
                original.values.size() ||
            std::fread(original.mask.data(), 1, original.mask.size(), kept) != original.mask.size())
            return TemporaryFileError("read");
        if (ReadRow(band, row, original.type, filled.data()) != CE_None) return CE_Failure;
        RoundTrip(original, as_float, round_trip);
        if (PutBackOriginals(original, round_trip, filled) &&
            WriteRow(band, row, original.type, filled.data()) != CE_None)
            return CE_Failure;
    }
    return CE_None;
}
