#include "report.h"

#include <climits>
#include <cmath>
#include <cstdio>

#include <gdal_priv.h>

int NoDataValueAsInt(double value) {
    // Both bounds are exact doubles; the comparisons are false for NaN.
    if (value > -2147483649.0 && value < 2147483648.0) return static_cast<int>(value);
    return INT_MIN;
}

namespace {

const char* TextOrEmpty(const char* text) { return text ? text : ""; }

void PrintBandLines(GDALRasterBand& band) {
    int block_width = 0;
    int block_height = 0;
    band.GetBlockSize(&block_width, &block_height);
    std::printf("Block=%dx%d Type=%s\n", block_width, block_height,
                TextOrEmpty(GDALGetDataTypeName(band.GetRasterDataType())));
    std::printf("No Data Value = %i\n", NoDataValueAsInt(band.GetNoDataValue(nullptr)));
}

void PrintDriverLine(GDALDataset& dataset) {
    GDALDriver* driver = dataset.GetDriver();
    const char* short_name = driver ? driver->GetDescription() : nullptr;
    const char* long_name = driver ? driver->GetMetadataItem(GDAL_DMD_LONGNAME, "") : nullptr;
    std::printf("Driver: %s/%s\n", TextOrEmpty(short_name), TextOrEmpty(long_name));
}

void PrintGeoreferencing(GDALDataset& dataset) {
    const char* projection = dataset.GetProjectionRef();
    if (projection) std::printf("Projection is '%s'\n", projection);

    // The library's default transform; a failed query leaves it so, and the pixel size line
    // shows it all the same.
    double transform[6] = {0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
    if (dataset.GetGeoTransform(transform) == CE_None)
        std::printf("Origin = (%.6f, %.6f)\n", transform[0], transform[3]);
    std::printf("Pixel Size = (%.6f, %.6f)\n", transform[1], transform[5]);
}

}  // namespace

void PrintDatasetReport(GDALDataset& dataset) {
    GDALRasterBand& band = *dataset.GetRasterBand(1);
    PrintBandLines(band);
    PrintDriverLine(dataset);
    std::printf("Size is %dx%dx%d\n", dataset.GetRasterXSize(), dataset.GetRasterYSize(),
                dataset.GetRasterCount());
    PrintGeoreferencing(dataset);
    std::printf("Mask Flags = %i\n", band.GetMaskFlags());
}
