#include "run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

RunLock::RunLock(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return;
    identity_ = IdentityOf(fd_);
    state_ = flock(fd_, LOCK_EX | LOCK_NB) == 0 ? State::kHeld : State::kBusy;
}

RunLock::~RunLock() {
    if (fd_ >= 0) close(fd_);
}
