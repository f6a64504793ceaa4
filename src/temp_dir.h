#pragma once

#include <string>

#include "platform.h"

// The run's private temporary directory: the working copy of band 1 and GDAL's work files live
// in it, so that the fill never writes beside the user's file or into the working directory.
// It is made inside CPL_TMPDIR when that is set, else the system's temporary directory (TMPDIR or
// /tmp; TMP or TEMP on Windows), and it is removed with everything in it when the object goes, on
// every way out short of the process being killed. A run holds a lock on its directory; one
// killed with -9 leaves a directory whose lock nobody holds, and the next run in the same place
// removes it. The lock file is the last thing removed; a directory that has been without one for
// a day (a kill cut its removal short) is removed too.
class PrivateTempDir {
  public:
    // Where a new directory would be made: CPL_TMPDIR, else the system's temporary directory.
    static std::string Parent();

    // Makes a fresh directory in `parent`. On failure path() is empty and error() says why.
    explicit PrivateTempDir(const std::string& parent);
    ~PrivateTempDir();
    PrivateTempDir(const PrivateTempDir&) = delete;
    PrivateTempDir& operator=(const PrivateTempDir&) = delete;

    const std::string& path() const { return path_; }
    const std::string& error() const { return error_; }

    // Bytes free to an unprivileged user in the directory, or -1 when unknown.
    long long FreeBytes() const;

  private:
    std::string path_;
    std::string error_;
    platform::FileHandle lock_ = platform::kNoFile;
};
