#include "run_lock.h"

#include <cpl_vsi.h>

RunLock::RunLock(const std::string& path) {
    VSIStatBufL info{};
    if (VSIStatL(path.c_str(), &info) != 0 || !VSI_ISREG(info.st_mode)) return;
    fd_ = platform::OpenFile(path, platform::Open::kRead);
    if (fd_ == platform::kNoFile) return;
    identity_ = platform::IdentityOf(fd_);
    state_ = platform::TryLockExclusive(fd_) ? State::kHeld : State::kBusy;
}

RunLock::~RunLock() { platform::CloseFile(fd_); }
