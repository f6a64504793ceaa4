#pragma once

#include <string>

#include <cpl_port.h>

// Ctrl-C, kill and a closed terminal (SIGINT, SIGTERM, SIGHUP) do not stop gapMend at once: the
// signal is noted, and the run stops where the file is whole. While the working copy is filled
// that is within about a second, by the fill's own progress callback, with the file untouched.
// From the start of the write-back until the file is closed the signals are held, and they take
// effect only once the file is complete. Either way gapMend then ends as killed by that signal,
// as shells and xargs expect.

// Installs the handlers; the signals are noted from now on.
void CatchInterruptions();

// Whether one of the signals has come.
bool Interrupted();

// A GDAL progress callback that prints nothing and asks GDAL to stop once a signal has come.
int CPL_STDCALL StopWhenInterrupted(double done, const char* message, void* unused);

// Holds the signals back until ReleaseInterruptions, which lets a held one be noted.
void HoldInterruptions();
void ReleaseInterruptions();

// Writes "gapMend: <message>" to standard error and ends the process by the signal that came.
[[noreturn]] void DieOfInterruption(const std::string& message);
