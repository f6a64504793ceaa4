#include "interruption.h"

#include "message.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>

namespace {

volatile sig_atomic_t caught_signal = 0;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void Note(int signal_number) { caught_signal = signal_number; }

sigset_t Signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : kSignals) sigaddset(&set, signal_number);
    return set;
}

}  // namespace

void CatchInterruptions() {
    struct sigaction action {};
    action.sa_handler = Note;
    action.sa_flags = SA_RESTART;  // a noted signal must not fail the write it arrives in
    sigemptyset(&action.sa_mask);
    for (int signal_number : kSignals) sigaction(signal_number, &action, nullptr);
}

bool Interrupted() { return caught_signal != 0; }

int CPL_STDCALL StopWhenInterrupted(double, const char*, void*) { return Interrupted() ? 0 : 1; }

void HoldInterruptions() {
    const sigset_t set = Signals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void ReleaseInterruptions() {
    const sigset_t set = Signals();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

void DieOfInterruption(const std::string& message) {
    Say(message);
    std::fflush(nullptr);  // what the run printed must not die with it
    const int signal_number = caught_signal;
    signal(signal_number, SIG_DFL);
    ReleaseInterruptions();
    raise(signal_number);
    _Exit(128 +
          signal_number);  // not reached: the default action of these signals ends the process
}
