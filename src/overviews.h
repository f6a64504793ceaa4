#pragma once

#include <string>
#include <vector>

#include <gdal.h>

#include "message.h"
#include "write_back.h"

class GDALRasterBand;

// Band 1's overviews follow the band. After the write-back, the overview pixels that the changed
// blocks reach are computed again, level by level from the largest, each from the level it is
// built from, by GDAL's own resampling (GDALRegenerateOverviews with one overview) on an
// in-memory window that reaches as far around them as the method's kernel does; only the
// window's centre goes into the file. Where the factor does not divide a level's size, GDAL's
// result depends on the whole axis, and the window spans it.
//
// Nothing in a file records the method that made its overviews. It is inferred: a few overview
// windows that the fill did not reach, and that are not uniform, are computed with every method
// GDAL offers, and only the methods that reproduce them bit for bit remain. Each level is built
// from the one GDAL builds it from (the level before it, or the band for an uncompressed .ovr
// with nearest or a per-dataset mask), with the band's no-data value as GDAL honours it: the
// samples of every level check that too. Overviews made before the band had its no-data value
// match no method where they blended voids in, and are reported. Where several remain, each
// computes the changed region, and it is written only when they all agree; where none remains,
// or they disagree, the overviews are left as they are and a line says how to rebuild them. The
// overviews of the mask stay as they are, since the mask does not change.

// Refreshes band's overviews over `changed` (band pixels). `name` is the file as the messages
// name it; the line about overviews left as they are goes to `warn`. CE_Failure, with a GDAL
// error raised, when an overview cannot be read or written.
CPLErr RefreshOverviews(GDALRasterBand& band, const std::vector<PixelWindow>& changed,
                        const std::string& name, const Warn& warn);

// The method that reproduces the overviews of `band` where nothing is stale (a refreshed band),
// GDAL's name for it; empty when none does. Of several, the first GDAL lists.
std::string OverviewMethod(GDALRasterBand& band);
