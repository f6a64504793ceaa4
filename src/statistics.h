#pragma once

#include <vector>

#include <gdal.h>

#include "write_back.h"

class GDALRasterBand;

// Band 1's stored statistics and default histogram describe the filled band. Where the file keeps
// them (an .aux.xml, the GeoTIFF's GDAL_METADATA tag, EHdr's .stx: wherever the driver puts what
// it is given), they are computed again after the overviews, as they were made: approximate
// statistics (STATISTICS_APPROXIMATE=YES, which GDAL may take from the overviews) stay
// approximate, and a default histogram keeps its buckets. Nothing stored, nothing computed; the
// other bands' stay as they are, since only band 1 changes. They stay where they were kept: a
// GeoTIFF open for update would move those of the .aux.xml into its GDAL_METADATA tag, and remove
// the .aux.xml once it is empty, so they are put back there.

// What the band holds before the write-back, looked up then, so that a driver that forgets
// them as pixels change does not make the refresh forget them too.
struct StoredStatistics {
    bool summary = false;  // minimum, maximum, mean and standard deviation
    bool approximate = false;
    bool in_side_car = false;  // in the band's PAM (.aux.xml), not the driver's own store
    bool histogram = false;    // a default histogram, of `buckets` from `min` to `max`
    double min = 0, max = 0;
    int buckets = 0;
};
StoredStatistics FindStoredStatistics(GDALRasterBand& band);

// CE_Failure, with a GDAL error raised, when the band cannot be read. Nothing when `changed` is
// empty.
CPLErr RefreshStatistics(GDALRasterBand& band, const StoredStatistics& stored,
                         const std::vector<PixelWindow>& changed);
