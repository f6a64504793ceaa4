#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <cpl_error.h>

// Sees every GDAL error raised on this thread while it lives, and remembers whether one was a
// failure. GDAL reports some failures to no caller: a block that the cache could not write when
// it evicted it is reported only at that band's next read or write, which may never come, and
// a close returns nothing. GDAL's last error cannot tell either, since a later warning or a
// reset replaces it. Messages go on to GDAL's default handler (but for moot warnings, below), or
// nowhere when `quiet`.
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

// GDAL's warnings that the run knows to be moot, each known by a text it holds: while this lives,
// they are not shown on this thread, neither by its own handler nor by an ErrorWatch within it.
// Errors and every other warning are shown as before.
class MootWarnings {
  public:
    explicit MootWarnings(std::vector<std::string> texts);
    ~MootWarnings();
    MootWarnings(const MootWarnings&) = delete;
    MootWarnings& operator=(const MootWarnings&) = delete;

    // Whether a MootWarnings of this thread hides this message.
    static bool Hides(CPLErr kind, const char* message);

  private:
    static void CPL_STDCALL Handle(CPLErr kind, CPLErrorNum number, const char* message);

    const std::vector<std::string> texts_;
    const MootWarnings* const outer_;
};

// The first failure among several threads, from the error state of the thread it happened on,
// raised again once, on the thread that waited for them: their own GDAL errors stay quiet, so that
// one failure gives one line.
class FirstFailure {
  public:
    // `unsaid`: the message where the thread's error state holds none.
    explicit FirstFailure(std::string unsaid) : message_(std::move(unsaid)) {}
    // On the thread that failed.
    void Note();
    bool failed() const;
    // After the threads: CE_Failure, with the failure raised on this thread, if there was one.
    CPLErr Raise() const;

  private:
    mutable std::mutex lock_;
    bool failed_ = false;
    CPLErr class_ = CE_None;
    CPLErrorNum number_ = CPLE_None;
    std::string message_;
};
