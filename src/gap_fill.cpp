#include "gap_fill.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <gdal_alg.h>
#include <gdal_priv.h>

#include "original_pixels.h"

int ParseMaxSearchRadius(const char* text) {
    const long long value = std::strtoll(text, nullptr, 10);
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

CPLErr FillBandGaps(GDALDataset& dataset, int max_search_radius) {
    std::printf("Processing image\n");
    GDALRasterBand& band = *dataset.GetRasterBand(1);

    KeptPixels kept(nullptr, &std::fclose);
    if (FloatRoundTripChanges(band.GetRasterDataType())) {
        kept = KeepOriginalPixels(band);
        if (!kept) return CE_Failure;
    }

    const int smoothing_iterations = 3;
    const CPLErr status =
        GDALFillNodata(&band, band.GetMaskBand(), static_cast<double>(max_search_radius), 0,
                       smoothing_iterations, nullptr, nullptr, nullptr);
    if (status != CE_None || !kept) return status;
    return RestoreOriginalPixels(band, kept.get());
}
