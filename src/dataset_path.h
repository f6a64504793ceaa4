#pragma once

#include <string>

// What the dataset's name reaches, looked at before anything opens it. The run lock, the journal
// and the file guard all find the file by its path, so gapMend fills a local file by a path that
// leads to it and nowhere else:
//  - A name that is no local file but that GDAL opens all the same (a driver's prefix such as
//    `GTIFF_DIR:1:dem.tif` or `NETCDF:"dem.nc":z`, a `/vsi` path such as `/vsisubfile/...`)
//    would reach a file past the lock and the journal: refused.
//  - Something that exists but is neither a regular file nor a directory (a FIFO, a device, a
//    socket) would block or misbehave in the open: refused. A directory is left to GDAL's open,
//    which refuses it.
//  - A symbolic link is followed to the file itself, so that the lock, the journal and GDAL's
//    side-cars go by the real file: runs through the link and through the file see each other.
//  - A journal is found by name, so a run through another hard link of the file cannot see this
//    run's journal: worth a word.
struct DatasetPath {
    std::string file;     // the path to open: the given one, or the real file's behind a link
    std::string refusal;  // why gapMend must not open it, or empty
    std::string warning;  // a word to say before the fill, or empty
};

// Messages name the path as the user gave it; GDAL's drivers must be registered.
DatasetPath ExamineDatasetPath(const std::string& given);
