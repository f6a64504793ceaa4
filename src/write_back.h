#pragma once

#include <vector>

#include <gdal.h>

class GDALRasterBand;
class RowStream;
class WorkingCopy;

// After the fill, band 1 is compared with its working copy block by block, in its natural block
// size, and a block is written to the file only where one of its pixels changes. So a file without
// gaps, or whose gaps all lie beyond the radius, keeps every byte, and a compressed file
// recompresses only the blocks that hold filled pixels.
//
// GDALFillNodata works in 32-bit floats. For the pixel types that this round trip changes (Int32,
// UInt32, Int64, UInt64, Float64), a pixel keeps its original bits where it was valid, and where
// it was a gap that the fill did not reach (it still holds what the round trip made of it). The
// other types survive the round trip exactly and take the fill's values as they are; where the
// gap map counted a block's gaps, whether it changed is told from the filled block alone, without
// reading (or decompressing) band 1's block.

bool FloatRoundTripChanges(GDALDataType type);

// A window of band 1, in pixels.
struct PixelWindow {
    int x, y, width, height;
};

// Writes the changed blocks of the working copy into band 1. CE_Failure, with a GDAL error
// raised, when a block cannot be read or written, or the working copy lost one. `written`, when
// given, gets for every block written the smallest window that holds the pixels that changed in
// it, for what else in the file follows band 1 (its overviews). `stream`, when given, gets every
// block of the block rows it wants, as the file then holds it.
CPLErr WriteBackChanges(GDALRasterBand& band, WorkingCopy& copy,
                        std::vector<PixelWindow>* written = nullptr, RowStream* stream = nullptr);

// Before the write-back: windows of band 1 that hold every pixel it may write.
std::vector<PixelWindow> WindowsThatMayChange(GDALRasterBand& band, WorkingCopy& copy);
