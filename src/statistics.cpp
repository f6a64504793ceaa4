#include "statistics.h"

#include <string>

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal_pam.h>
#include <gdal_priv.h>

namespace {

const char* const kSummaryItems[] = {"STATISTICS_MINIMUM",       "STATISTICS_MAXIMUM",
                                     "STATISTICS_MEAN",          "STATISTICS_STDDEV",
                                     "STATISTICS_VALID_PERCENT", "STATISTICS_APPROXIMATE"};

// Whether the band's PAM layer, which GDAL keeps in the .aux.xml, holds the mean: asked of the
// PAM class itself, past a driver that answers from its own store first.
bool InSideCar(GDALRasterBand& band) {
    auto* pam = dynamic_cast<GDALPamRasterBand*>(&band);
    return pam && pam->GDALPamRasterBand::GetMetadataItem("STATISTICS_MEAN") != nullptr;
}

// The statistics the driver took into its own store go to the PAM layer, and out of the store.
CPLErr BackToSideCar(GDALRasterBand& band) {
    auto* pam = dynamic_cast<GDALPamRasterBand*>(&band);
    if (!pam) return CE_None;
    for (const char* item : kSummaryItems) {
        const char* held = band.GetMetadataItem(item);
        const bool had = held != nullptr;
        const std::string value = had ? held : "";
        if (band.SetMetadataItem(item, nullptr) != CE_None ||
            (had && pam->GDALPamRasterBand::SetMetadataItem(item, value.c_str()) != CE_None))
            return CE_Failure;
    }
    return CE_None;
}

}  // namespace

StoredStatistics FindStoredStatistics(GDALRasterBand& band) {
    StoredStatistics stored;
    double min = 0, max = 0, mean = 0, deviation = 0;
    // Without forcing, as the driver holds them: EHdr keeps its .stx's in the band, not as the
    // STATISTICS_ items of its metadata.
    stored.summary = band.GetStatistics(TRUE, FALSE, &min, &max, &mean, &deviation) == CE_None;
    const char* approximate = band.GetMetadataItem("STATISTICS_APPROXIMATE");
    stored.approximate = approximate && CPLTestBool(approximate);
    stored.in_side_car = InSideCar(band);
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
    if (stored.summary && band.ComputeStatistics(stored.approximate, &min, &max, &mean, &deviation,
                                                 nullptr, nullptr) != CE_None)
        return CE_Failure;
    if (stored.summary && stored.in_side_car && !InSideCar(band) && BackToSideCar(band) != CE_None)
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
