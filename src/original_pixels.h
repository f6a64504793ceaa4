#pragma once

#include <cstdio>
#include <memory>

#include <gdal.h>

class GDALRasterBand;

// GDALFillNodata reads and writes the whole band as 32-bit floats. For the pixel types that this
// round trip changes (Int32, UInt32, Int64, UInt64, Float64), the band's original values and its
// mask are kept aside before the fill, row by row in an anonymous temporary file so that memory
// does not grow with the raster, and written back afterwards on every pixel the fill had no
// business changing: the valid ones, and the gaps it did not reach.

bool FloatRoundTripChanges(GDALDataType type);

// The temporary file vanishes when it is closed, and with the process on any way out.
using KeptPixels = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// Copies every row of the band and of its mask into a new temporary file. Returns null, with a
// GDAL error raised, when it cannot.
KeptPixels KeepOriginalPixels(GDALRasterBand& band);

// After the fill: puts the kept value back on each pixel that was valid, and on each gap whose
// value is still what the float round trip made of the original.
CPLErr RestoreOriginalPixels(GDALRasterBand& band, std::FILE* kept);
