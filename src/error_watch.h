#pragma once

#include <cpl_error.h>

// Sees every GDAL error raised on this thread while it lives, and remembers whether one was a
// failure. GDAL reports some failures to no caller: a block that the cache could not write when
// it evicted it is reported only at that band's next read or write, which may never come, and
// a close returns nothing. GDAL's last error cannot tell either, since a later warning or a
// reset replaces it. Messages go on to GDAL's default handler, or nowhere when `quiet`.
class ErrorWatch {
  public:
    explicit ErrorWatch(bool quiet = false);
    ~ErrorWatch();
    ErrorWatch(const ErrorWatch&) = delete;
    ErrorWatch& operator=(const ErrorWatch&) = delete;

    bool failed() const { return failed_; }

  private:
    static void CPL_STDCALL Handle(CPLErr kind, CPLErrorNum number, const char* message);

    const bool quiet_;
    bool failed_ = false;
};
