#include "interruption.h"

#include <atomic>
#include <cstdio>

#include "platform.h"

namespace {

// Set from a signal handler on POSIX and from the console's own thread on Windows.
std::atomic<int> caught{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch this");

void Note(int interruption) { caught = interruption; }

}  // namespace

void CatchInterruptions() { platform::CatchInterruptions(Note); }

bool Interrupted() { return caught != 0; }

int CPL_STDCALL StopWhenInterrupted(double, const char*, void*) { return Interrupted() ? 0 : 1; }

void HoldInterruptions() { platform::HoldInterruptions(); }

void ReleaseInterruptions() { platform::ReleaseInterruptions(); }

void DieOfInterruption() {
    std::fflush(nullptr);  // what the run printed must not die with it
    platform::EndByInterruption(caught);
}
