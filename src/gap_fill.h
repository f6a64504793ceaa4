#pragma once

#include <string>

#include <cpl_error.h>

class WorkingCopy;

// Prints "Processing image" and fills, in the working copy of band 1, every pixel that band 1's
// mask marks invalid, by interpolation from the valid pixels within the max search radius,
// followed by 3 smoothing passes: in strips on every core where that gives the same pixels (see
// strips.h), else in one call. GDAL's work files go into `work_dir`. The file itself is not
// touched. Returns CE_Failure, with a GDAL error raised, when the fill did not complete,
// including when a signal stopped it (see interruption.h).
// A failure that GDAL reports to no caller counts as well: a GDAL error raised meanwhile, or a
// filled block that the working copy lost.
CPLErr FillBandGaps(WorkingCopy& copy, int max_search_radius, const std::string& work_dir);

// Whether the working copy lost a filled block (WorkingCopy::Lost), with a GDAL error raised.
bool LostBlocks(WorkingCopy& copy);
