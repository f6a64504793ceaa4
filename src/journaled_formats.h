#pragma once

#include <string>

// The formats whose drivers write their files only through GDAL's virtual file system, and so
// only through the file guard, which journals every write: the crash tests kill a run of each at
// a middle write and restore the file from its journal. Other drivers write through their own
// I/O libraries (netCDF, PCRaster) or into files elsewhere (a VRT's sources), where the guard
// cannot see or cannot journal the writes; a file of theirs is written unjournaled, as in a
// directory that may not be written.
bool IsJournaledFormat(const std::string& driver_short_name);
