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
// blocks reach are computed again, level by level from the largest, as GDAL builds them
// (overview_levels.h), with the method that made them (overview_method.h). Where several methods
// made them alike, each computes the changed region, and it is written only when they all agree;
// where none did, or they disagree, the overviews are left as they are and a line says how to
// rebuild them. The overviews of the mask stay as they are, since the mask does not change.
//
// The write-back runs on one thread and waits on the disk much of the time. The levels are
// computed meanwhile on a thread of their own, from the blocks it hands over, each row of a level
// as soon as the rows it is built from are there (row_stream.h), wherever one method made them,
// the band's own mask is theirs, and each level is built from a span of the rows of the one
// before it (from the band for level 1). What is left is computed after the write-back, from the
// file, on every core.

// The refresh of band's overviews around its write-back. Made before it, from the overviews as
// they are and the band they were made from, it infers the method, and starts the thread where it
// can. Finish does the rest. `name` is the file as the messages name it; the line about overviews
// left as they are goes to `warn`.
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
