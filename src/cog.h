#pragma once

#include <string>
#include <vector>

#include <cpl_string.h>

class GDALDataset;

// A COG's layout (the overviews after the full resolution, each level's blocks in order, the
// ghost header that promises it) does not survive blocks written in place: GDAL appends those
// that grew. So once the filled file is closed, a COG is made of it again, whole, by GDAL's COG
// driver, with what can be read back from the file (compression, predictor, block size, overview
// count, and the resampling that reproduces its refreshed overviews), in a private temporary
// directory, and copied over the file through the guard: the journal takes the original bytes
// as for any write-back, so that a kill or a failure leaves the file restorable. Valid pixels keep
// their bits, as the copy is lossless wherever the file's codec is.

// The open options for updating `file`: from GDAL 3.7 on, GTiff opens a COG for update only when
// told that its layout may break, which the rewrite below makes whole again. Other drivers get
// none, as they would warn of an option they do not know.
CPLStringList OpenOptionsForUpdate(const std::string& file);

// GDAL's warnings that a COG's layout breaks, as its blocks are written in place before the
// rewrite below makes it whole again.
std::vector<std::string> CogLayoutWarnings();

// Whether the dataset, just opened, is laid out as a COG.
bool IsCog(GDALDataset& dataset);

// Before anything is written: why there is no room for the new COG in the temporary directory
// and for its journal beside the file `file` (how much is needed), or an empty text.
std::string NoRoomForCog(const std::string& file, const std::string& name);

// After the close: rewrites `file` as a COG of itself. False, with `why`, when it could not.
bool RewriteAsCog(const std::string& file, const std::string& name, std::string& why);
