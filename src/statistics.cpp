#include "statistics.h"

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal_priv.h>

StoredStatistics FindStoredStatistics(GDALRasterBand& band) {
    StoredStatistics stored;
    double min = 0, max = 0, mean = 0, deviation = 0;
    // Without forcing, as the driver holds them: EHdr keeps its .stx's in the band, not as the
    // STATISTICS_ items of its metadata.
    stored.summary = band.GetStatistics(TRUE, FALSE, &min, &max, &mean, &deviation) == CE_None;
    const char* approximate = band.GetMetadataItem("STATISTICS_APPROXIMATE");
    stored.approximate = approximate && CPLTestBool(approximate);
    GUIntBig* counts = nullptr;
    stored.histogram = band.GetDefaultHistogram(&stored.min, &stored.max, &stored.buckets, &counts,
                                                FALSE, nullptr, nullptr) == CE_None &&
                       stored.buckets > 0;
    VSIFree(counts);
    CPLErrorReset();  // none stored
    return stored;
}

CPLErr RefreshStatistics(GDALRasterBand& band, const StoredStatistics& stored,
                         const std::vector<PixelWindow>& changed) {
    if (changed.empty()) return CE_None;
    double min = 0, max = 0, mean = 0, deviation = 0;
    if (stored.summary && band.ComputeStatistics(stored.approximate, &min, &max, &mean,
                                                 &deviation, nullptr, nullptr) != CE_None)
        return CE_Failure;
    if (!stored.histogram) return CE_None;
    // With the buckets it had, counted as GDAL counts a default histogram: exactly, and the
    // values beyond its range in its first and last buckets. GDALRasterBand's own count: a PAM
    // band's would hand back the stored one.
    std::vector<GUIntBig> counts(stored.buckets);
    if (band.GDALRasterBand::GetHistogram(stored.min, stored.max, stored.buckets, counts.data(),
                                          TRUE, FALSE, nullptr, nullptr) != CE_None)
        return CE_Failure;
    return band.SetDefaultHistogram(stored.min, stored.max, stored.buckets, counts.data());
}
