#pragma once

#include <string>
#include <vector>

#include <gdal_priv.h>

// A fresh directory under the system's temporary directory that any user may enter; it is removed
// with everything in it at the end of the test.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string Path(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

struct RunOptions {
    std::string binary = GAPMEND_BINARY;
    std::string working_dir;  // empty: the test's own
    bool unprivileged =
        false;  // as user nobody when the tests run as root, who ignores permissions
    long long file_size_limit = -1;  // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored
};

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs gapMend with these arguments the way a shell would, and collects what it printed.
RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options = {});

// A copy of the gapMend binary inside `dir`, for runs as a user who may not reach the build tree.
std::string CopyOfTool(const TempDir& dir);

std::string FileBytes(const std::string& path);
void CopyFile(const std::string& from, const std::string& to);

// A single-band GeoTIFF holding `values` (row by row) in the given pixel type.
void WriteRaster(const std::string& path, int width, GDALDataType type,
                 const std::vector<double>& values, double nodata,
                 CSLConstList creation_options = nullptr);

// Band 1's pixels in their own type, byte for byte.
std::vector<GByte> BandBytes(const std::string& path);

// What a direct call of the library's fill does to the file: band 1's own mask, the radius,
// 3 smoothing iterations, no options.
void FillDirectly(const std::string& path, double max_search_radius);
