#pragma once

#include <functional>
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

// Whether the tool under test is a Windows build started by wine (GAPMEND_TOOL_LAUNCHER). Tests
// of what only POSIX has (SIGTERM, other users, a tmpfs) skip that run.
bool ToolRunsUnderWine();

// How Windows ends a console program that a Ctrl-C interrupted: STATUS_CONTROL_C_EXIT, of which a
// POSIX parent sees the low byte. Wine delivers SIGINT to a Windows program as a Ctrl-C.
constexpr unsigned kControlCExit = 0xC000013A;

struct RunOptions {
    std::string binary = GAPMEND_BINARY;  // started through the launcher, if there is one
    std::string working_dir;              // empty: the test's own
    bool unprivileged =
        false;  // as user nobody when the tests run as root, who ignores permissions
    long long file_size_limit = -1;      // RLIMIT_FSIZE in bytes
    long long memory_limit = -1;         // RLIMIT_AS in bytes, as `ulimit -v` sets it
    bool caller_ignores_sigxfsz = true;  // with the limit: SIGXFSZ ignored before the tool starts
    std::vector<std::pair<std::string, std::string>> env;  // set for the run only
    // Standard output (1), or it and standard error (2), into pipes that nobody reads: every
    // write to them fails, as under `gapMend ... | true`. What they got is then empty.
    int closed_pipes = 0;
    // When not 0: sent once the run has made its working copy in TMPDIR (taken from `env`),
    // which it does just before the fill, while the run stands stopped (SIGSTOP) there; it goes
    // on (SIGCONT) after `while_stopped`. So the fill begins with the signal there. Under wine
    // the tool gets TMPDIR as CPL_TMPDIR, since wine keeps its own server's socket in TMPDIR.
    int signal = 0;
    // What to do while the run stands stopped (with any signal, SIGSTOP alone included).
    std::function<void()> while_stopped;
};

struct RunResult {
    int status = -1;  // -1 when the run was killed by a signal
    int signal = 0;   // the signal that killed it
    std::string out;
    std::string err;
};

// Runs gapMend with these arguments the way a shell would, and collects what it printed.
// `status` is the exit status as a POSIX parent sees it: for a Windows exe, its low byte.
RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options = {});

// A copy of the gapMend binary inside `dir`, for runs as a user who may not reach the build tree.
std::string CopyOfTool(const TempDir& dir);

std::string FileBytes(const std::string& path);
void CopyFile(const std::string& from, const std::string& to);

// A single-band GeoTIFF holding `values` (row by row) in the given pixel type.
void WriteRaster(const std::string& path, int width, GDALDataType type,
                 const std::vector<double>& values, double nodata,
                 CSLConstList creation_options = nullptr);

// A band's pixels in their own type, byte for byte.
std::vector<GByte> BandBytes(const std::string& path, int band = 1);

// A smooth surface of `size` x `size` pixels of `type`, tiled, with square voids of no data
// (`nodata`) on a regular grid, `bands` bands alike. Byte values are scaled down to fit, and their
// voids are 0. Made once in a test program, and copied when asked for again.
void WriteDem(const std::string& path, int size, GDALDataType type,
              CSLConstList creation_options = nullptr, int bands = 1, double nodata = -9999);

// What a direct call of the library's fill does to the file: band 1's own mask, the radius,
// 3 smoothing iterations, no options. With `copy_mask`, the mask is handed over as a copy of its
// values in a band of its own instead, as for an alpha band or per-dataset mask.
void FillDirectly(const std::string& path, double max_search_radius, bool copy_mask = false);
