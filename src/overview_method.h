#pragma once

#include <string>
#include <vector>

#include "overview_levels.h"

// Nothing in a file records the method that made its overviews. It is inferred while the
// overviews still match the band they were made from (before the write-back): a few overview
// windows that are not uniform, spread over each level, are computed with every method GDAL
// offers, and only the methods that reproduce them bit for bit remain. Each level is built from
// the one GDAL builds it from (the level before it, or the band for an uncompressed .ovr with
// nearest or a per-dataset mask), with the band's no-data value as GDAL honours it: the samples
// of every level check that too. Overviews made before the band had its no-data value match no
// method where they blended voids in.
namespace overview {

// The candidates that reproduce every sample, in GDAL's order of its methods. The samples avoid
// the pixels a level's `reached` marks.
std::vector<Candidate> Survivors(const Pyramid& p);

}  // namespace overview

// The method that reproduces the overviews of `band`, GDAL's name for it; empty when none does.
// Of several, the first GDAL lists.
std::string OverviewMethod(GDALRasterBand& band);
