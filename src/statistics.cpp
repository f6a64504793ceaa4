#include "statistics.h"

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal_priv.h>

namespace {

CPLErr RefreshSummary(GDALRasterBand& band) {
    if (!band.GetMetadataItem("STATISTICS_MEAN")) return CE_None;
    const char* approximate = band.GetMetadataItem("STATISTICS_APPROXIMATE");
    const bool approx = approximate && CPLTestBool(approximate);
    double min = 0, max = 0, mean = 0, deviation = 0;
    return band.ComputeStatistics(approx, &min, &max, &mean, &deviation, nullptr, nullptr);
}

// With the buckets it had, counted as GDAL counts a default histogram: exactly, and the values
// beyond its range in its first and last buckets.
CPLErr RefreshHistogram(GDALRasterBand& band) {
    double min = 0, max = 0;
    int buckets = 0;
    GUIntBig* stored = nullptr;
    const CPLErr found = band.GetDefaultHistogram(&min, &max, &buckets, &stored, FALSE, nullptr,
                                                  nullptr);
    VSIFree(stored);
    if (found != CE_None || buckets <= 0) {
        CPLErrorReset();  // none stored
        return CE_None;
    }
    // GDALRasterBand's own count: a PAM band's would hand back the stored one.
    std::vector<GUIntBig> counts(buckets);
    if (band.GDALRasterBand::GetHistogram(min, max, buckets, counts.data(), TRUE, FALSE, nullptr, nullptr) !=
        CE_None)
        return CE_Failure;
    return band.SetDefaultHistogram(min, max, buckets, counts.data());
}

}  // namespace

CPLErr RefreshStatistics(GDALRasterBand& band, const std::vector<PixelWindow>& changed) {
    if (changed.empty()) return CE_None;
    if (RefreshSummary(band) != CE_None) return CE_Failure;
    return RefreshHistogram(band);
}
