// gapMend: fills the gaps (no-data pixels) of band 1 of a raster file in place.
//
//   gapMend <dataset> <max search radius>
//
// Exit status: 0 when the filled band is in the file and on the disk; 1 after the usage text;
// 2 when the file cannot be filled at all (left untouched); 3 when the fill or the write-back
// failed (the file is left as it was, unless the message says otherwise). An interrupted run
// ends as killed by the signal, or on Windows with 0xC000013A (interruption.h).

#include <chrono>
#include <cstdio>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include <cpl_conv.h>
#include <gdal_priv.h>
#include <ogr_srs_api.h>

#include "fill_in_place.h"
#include "interruption.h"
#include "platform.h"
#include "run.h"

namespace {

enum ExitStatus { kDone = 0, kUsage = 1, kRefused = 2, kFailed = 3, kSignal = -1 };

using Kind = FillInPlace::Kind;

// How each result ends the run: whether the fill got far enough for the time line, then the exit
// status (kSignal: the process ends by the signal that came, after the message).
const struct Ending {
    Kind kind;
    bool timed;
    ExitStatus status;
} kEndings[] = {
    {Kind::kDone, true, kDone},
    {Kind::kRefused, false, kRefused},
    {Kind::kFailed, false, kFailed},
    {Kind::kFillFailed, true, kFailed},
    {Kind::kWriteBackFailed, true, kFailed},
    {Kind::kInterrupted, false, kSignal},
    {Kind::kInterruptedAfterWrite, true, kSignal},
};

// The one way gapMend speaks for itself: a single line on standard error, "gapMend: <text>".
// GDAL's own error lines go their own way, before it.
void Say(const std::string& text) { std::fprintf(stderr, "gapMend: %s\n", text.c_str()); }

void PrintUsage() {
    std::cerr << "Usage: gapMend tiffilename.tif\n"
                 "Dataset should be path to dataset *.tif file\n"
                 "Enter number between 100-500 for Max Search Radius.  Example: 250\n"
                 "Example usage: gapMend.exe D:/path/to/myfile.tif 250\n"
              << std::endl;
}

int ElapsedSeconds(std::chrono::steady_clock::time_point start) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
}

// The run, from the arguments (in UTF-8) to the exit status.
int Run(int argc, char** argv) {
    if (argc < 3) {
        PrintUsage();
        return kUsage;
    }
    const auto start = std::chrono::steady_clock::now();
    CatchInterruptions();
    GDALAllRegister();
    FillInPlace fill(argv[1], ParseMaxSearchRadius(argv[2]), Say);
    const FillInPlace::Result result = fill.Run();
    const Ending* ending = kEndings;
    while (ending->kind != result.kind) ++ending;
    if (ending->timed) std::printf("\nProcessing time is: %d seconds\n", ElapsedSeconds(start));
    if (!result.message.empty()) Say(result.message);
    if (ending->status == kSignal) DieOfInterruption();  // with the file as the run left it
    return ending->status;
}

// PROJ looks for its database where it was installed; a Windows zip brings its own beside the exe.
// PROJ_DATA or PROJ_LIB, when set, name another one.
void UseBundledProjData() {
    if (CPLGetConfigOption("PROJ_DATA", nullptr) || CPLGetConfigOption("PROJ_LIB", nullptr)) return;
    const std::string dir = platform::BundledProjData();
    VSIStatBufL stat{};
    if (dir.empty() || VSIStatL((dir + "/proj.db").c_str(), &stat) != 0) return;
    const char* const paths[] = {dir.c_str(), nullptr};
    OSRSetPROJSearchPaths(paths);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments;
    // Out of memory outside the fill and the write-back (which handle it themselves): the stack
    // unwinds, the lock and the guard go, and a journal, if any, stays for the next run.
    try {
        platform::KeepFreedMemory();
        arguments = platform::ProgramArguments(argc, argv);
        std::vector<char*> utf8;
        for (std::string& argument : arguments) utf8.push_back(argument.data());
        utf8.push_back(nullptr);
        UseBundledProjData();
        return Run(static_cast<int>(arguments.size()), utf8.data());
    } catch (const std::bad_alloc&) {
        const std::string path =
            arguments.size() > 1 ? arguments[1] : (argc > 1 ? std::string(argv[1]) : "");
        Say("out of memory while working on " + Quoted(path));
        return kFailed;
    }
}
