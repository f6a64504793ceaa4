#pragma once

#include <string>

#include "platform.h"

// One run at a time per file: a lock on the file (flock; on Windows LockFileEx on a byte beyond
// any data), taken before the journal is looked for and held until the process ends, after the
// commit. Other programs are not stopped by it; two gapMend runs on one file are.
class RunLock {
  public:
    enum class State {
        kHeld,    // this run has the file to itself
        kBusy,    // another run holds it
        kNoFile,  // not a local file that can be read: GDAL's open says what it is
    };

    explicit RunLock(const std::string& path);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    State state() const { return state_; }
    platform::FileIdentity identity() const { return identity_; }

  private:
    platform::FileHandle fd_ = platform::kNoFile;
    State state_ = State::kNoFile;
    platform::FileIdentity identity_;
};
