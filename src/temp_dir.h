#pragma once

#include <string>

// The run's private temporary directory: the working copy of band 1 and GDAL's work files live
// in it, so that the fill never writes beside the user's file or into the working directory.
// It is made inside CPL_TMPDIR when that is set, else TMPDIR, else /tmp, and it is removed with
// everything in it when the object goes, on every way out short of the process being killed.
// A run holds a lock on its directory; one killed with -9 leaves a directory whose lock nobody
// holds, and the next run in the same place removes it.
class PrivateTempDir {
  public:
    // Where a new directory would be made: CPL_TMPDIR, TMPDIR or /tmp.
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
    int lock_ = -1;
};

// Points GDAL's own temporary files (CPL_TMPDIR) at a directory for as long as it lives.
class GdalTempFilesIn {
  public:
    explicit GdalTempFilesIn(const std::string& dir);
    ~GdalTempFilesIn();
    GdalTempFilesIn(const GdalTempFilesIn&) = delete;
    GdalTempFilesIn& operator=(const GdalTempFilesIn&) = delete;

  private:
    std::string previous_;
    bool had_previous_ = false;
};
