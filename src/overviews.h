#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gdal.h>

#include "message.h"
#include "write_back.h"

class GDALRasterBand;
class RowStream;

// Band 1's overviews follow the band. With the write-back, the overview pixels that the changed
// blocks reach are computed again, level by level from the largest, each from the level it is
// built from, by GDAL's own resampling (GDALRegenerateOverviews with one overview) on an
// in-memory window that reaches as far around them as the method's kernel does; only the
// window's centre goes into the file. Where the factor does not divide a level's size, GDAL's
// result depends on the whole axis, and the window spans it.
//
// Nothing in a file records the method that made its overviews. It is inferred before the
// write-back, while the overviews still match the band they were made from: a few overview
// windows that are not uniform, spread over each level, are computed with every method GDAL offers,
// and only the methods that reproduce them bit for bit remain. Each level is built from the one
// GDAL builds it from (the level before it, or the band for an uncompressed .ovr with nearest or a
// per-dataset mask), with the band's no-data value as GDAL honours it: the samples of every level
// check that too. Overviews made before the band had its no-data value match no method where they
// blended voids in, and are reported. Where several remain, each computes the changed region, and
// it is written only when they all agree; where none remains, or they disagree, the overviews are
// left as they are and a line says how to rebuild them. The overviews of the mask stay as they are,
// since the mask does not change.

// The refresh of band's overviews around its write-back. Made before it, from the overviews as
// they are and the band they were made from, it infers the method; where it can, it then computes
// level 1 on a thread of its own from the blocks the write-back hands over (stream()), on the
// core that the write-back leaves idle. Finish does the rest. `name` is the file as the messages
// name it; the line about overviews left as they are goes to `warn`.
class OverviewRefresh {
  public:
    // `may_change`: windows that hold every pixel the write-back may change.
    OverviewRefresh(GDALRasterBand& band, const std::vector<PixelWindow>& may_change,
                    std::string name, Warn warn);
    ~OverviewRefresh();
    OverviewRefresh(const OverviewRefresh&) = delete;
    OverviewRefresh& operator=(const OverviewRefresh&) = delete;

    // What the write-back hands its blocks to; null when nothing is computed alongside it.
    RowStream* stream();
    // After the write-back, which changed `changed` (band pixels): refreshes the overviews over
    // it. CE_Failure, with a GDAL error raised, when an overview cannot be read or written.
    CPLErr Finish(const std::vector<PixelWindow>& changed);

    struct State;

  private:
    std::unique_ptr<State> state_;
};

// The method that reproduces the overviews of `band` where nothing is stale (a refreshed band),
// GDAL's name for it; empty when none does. Of several, the first GDAL lists.
std::string OverviewMethod(GDALRasterBand& band);
