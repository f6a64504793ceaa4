#pragma once

#include <gdal_priv.h>

// In-memory rasters over memory the caller owns: GDAL reads and writes that memory in place, so
// a window already in memory is handed to GDAL's algorithms without a copy. The memory must
// outlive the dataset.

// A dataset of GDAL's MEM driver, `width` x `height`, with no band yet; null when it cannot be
// made.
GDALDatasetUniquePtr MemoryRaster(int width, int height);

// Adds a band of `type` over `data` (width x height pixels of it, row after row).
CPLErr AddBandOver(GDALDataset& dataset, GDALDataType type, void* data);
