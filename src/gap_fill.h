#pragma once

#include <cpl_error.h>

class GDALDataset;

// The max search radius as the C library's atoi reads its text (leading white space, an optional
// sign, then digits up to the first non-digit; 0 when there are none), except that digits beyond
// the int range clamp to INT_MIN or INT_MAX instead of being undefined.
int ParseMaxSearchRadius(const char* text);

// Prints "Processing image" and fills, in GDAL's block cache, every pixel of band 1 that the
// band's own mask marks invalid, by interpolation from the valid pixels within the max search
// radius, followed by 3 smoothing passes; closing the dataset writes the result to the file.
// Valid pixels, and gaps the fill does not reach, keep their exact values for every pixel type.
// Returns CE_Failure, with a GDAL error raised, when the fill did not complete.
CPLErr FillBandGaps(GDALDataset& dataset, int max_search_radius);
