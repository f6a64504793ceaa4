#pragma once

#include <cpl_port.h>

// Ctrl-C, kill and a closed terminal (SIGINT, SIGTERM, SIGHUP; on Windows Ctrl-C, Ctrl-Break and
// a closed console) do not stop gapMend at once: the interruption is noted, and the run stops
// where the file is whole. While the working copy is filled that is within about a second, by the
// fill's own progress callback, with the file untouched. From the start of the write-back until
// the file is closed interruptions are held, and they take effect only once the file is complete.
// Either way gapMend then ends as killed by that signal, as shells and xargs expect, or on
// Windows with the exit status of an interrupted console program (0xC000013A).
//
// A write beyond the file size limit (`ulimit -f`) fails as a full disk does: SIGXFSZ is
// ignored, so that the write-back rolls back instead of being killed half way.

// Installs the handlers; the signals are noted from now on.
void CatchInterruptions();

// Whether one of the signals has come.
bool Interrupted();

// A GDAL progress callback that prints nothing and asks GDAL to stop once a signal has come.
int CPL_STDCALL StopWhenInterrupted(double done, const char* message, void* unused);

// Holds the signals back until ReleaseInterruptions, which lets a held one be noted.
void HoldInterruptions();
void ReleaseInterruptions();

// Flushes what the run printed and ends the process by the signal that came.
[[noreturn]] void DieOfInterruption();
