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
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal_priv.h>
#include <ogr_srs_api.h>

#include "cog.h"
#include "dataset_path.h"
#include "error_watch.h"
#include "file_guard.h"
#include "gap_fill.h"
#include "interruption.h"
#include "journal_recovery.h"
#include "lossy_codec.h"
#include "memory_need.h"
#include "message.h"
#include "overviews.h"
#include "platform.h"
#include "report.h"
#include "run_lock.h"
#include "statistics.h"
#include "temp_dir.h"
#include "working_copy.h"
#include "write_back.h"

namespace {

enum ExitStatus { kDone = 0, kUsage = 1, kRefused = 2, kFailed = 3 };

void PrintUsage() {
    std::cerr << "Usage: gapMend tiffilename.tif\n"
                 "Dataset should be path to dataset *.tif file\n"
                 "Enter number between 100-500 for Max Search Radius.  Example: 250\n"
                 "Example usage: gapMend.exe D:/path/to/myfile.tif 250\n"
              << std::endl;
}

int Fail(ExitStatus status, const std::string& message) {
    Say(message);
    return status;
}

// Why the dataset cannot be filled at all, or an empty text when it can.
std::string Refusal(GDALDataset& dataset, const char* path) {
    if (dataset.GetRasterCount() < 1) return Quoted(path) + " has no raster band";
    const GDALDataType type = dataset.GetRasterBand(1)->GetRasterDataType();
    if (GDALDataTypeIsComplex(type))
        return std::string("complex pixel type ") + GDALGetDataTypeName(type) +
               " cannot be filled in " + Quoted(path);
    return "";
}

std::string Megabytes(long long bytes) {
    return std::to_string((bytes + 999999) / 1000000) + " MB";
}

enum class Outcome {
    kWritten,
    kNoWorkingCopy,  // or no memory for the fill: nothing was tried
    kFillFailed,
    kInterrupted,
    kNoJournal,
    kWriteBackFailed
};

// Fills a working copy of band 1 in a private temporary directory, then makes the journal and
// writes back into band 1 the blocks that changed. The copy and the directory are gone when it
// returns, however it returns. From the start of the write-back on, signals are held (see
// interruption.h). `if_out_of_memory` is what the run's stage makes of running out of memory.
Outcome FillAndWriteBack(GDALRasterBand& band, int max_search_radius, FileGuard* guard,
                         const char* path, std::string& why, Outcome& if_out_of_memory) {
    const PrivateTempDir dir(PrivateTempDir::Parent());
    const long long room = WorkingCopy::MostScratchBytes(band);
    const std::string needs = "the working copy needs up to " + Megabytes(room);
    if (dir.path().empty()) {
        why = "cannot make a working copy in " + Quoted(PrivateTempDir::Parent()) + ": " +
              dir.error() + "; " + needs;
        return Outcome::kNoWorkingCopy;
    }
    const long long free_bytes = dir.FreeBytes();
    if (free_bytes >= 0 && free_bytes < room) {
        why = "no room for a working copy in " + Quoted(PrivateTempDir::Parent()) + ": " + needs +
              ", " + Megabytes(free_bytes) + " free";
        return Outcome::kNoWorkingCopy;
    }
    const std::unique_ptr<WorkingCopy> copy = WorkingCopy::Create(band, dir.path());
    if (!copy) {
        why = "cannot make a working copy in " + Quoted(PrivateTempDir::Parent()) + ": " +
              CPLGetLastErrorMsg() + "; " + needs;
        return Outcome::kNoWorkingCopy;
    }
    why = MemoryShortfall(*copy, max_search_radius, Quoted(path));
    if (!why.empty()) return Outcome::kNoWorkingCopy;
    if (FillBandGaps(*copy, max_search_radius, dir.path()) != CE_None)
        return Interrupted() ? Outcome::kInterrupted : Outcome::kFillFailed;
    HoldInterruptions();
    if (Interrupted()) return Outcome::kInterrupted;
    if_out_of_memory = Outcome::kWriteBackFailed;
    if (guard && !guard->StartJournal(why)) return Outcome::kNoJournal;
    const std::string lossy = LossyCodec(*band.GetDataset());
    if (!lossy.empty())
        Say(Quoted(path) + " is compressed with " + lossy + ", a lossy codec: the valid pixels " +
            "of every block written back change by its error");
    std::vector<PixelWindow> written;
    if (WriteBackChanges(band, *copy, &written) != CE_None ||
        RefreshOverviews(band, written, path) != CE_None ||
        RefreshStatistics(band, written) != CE_None)
        return Outcome::kWriteBackFailed;
    return Outcome::kWritten;
}

// Running out of memory anywhere in the fill or the write-back fails the run as any error does:
// the working copy and its directory go as the stack unwinds, and a write-back that had begun
// is rolled back.
Outcome FillAndWriteBackInMemory(GDALRasterBand& band, int max_search_radius, FileGuard* guard,
                                 const char* path, std::string& why) {
    Outcome if_out_of_memory = Outcome::kFillFailed;
    try {
        return FillAndWriteBack(band, max_search_radius, guard, path, why, if_out_of_memory);
    } catch (const std::bad_alloc&) {
        CPLError(CE_Failure, CPLE_OutOfMemory, "out of memory");
        return if_out_of_memory;
    }
}

// Before the file is opened: refuses it while another run holds it, undoes what the journal of
// an interrupted run records, and guards the file's writes from now on. `file` is the file
// itself (dataset_path.h), `path` the name the messages give it. An exit status when the run
// cannot go on.
std::optional<int> TakeCharge(const char* path, const std::string& file, const RunLock& lock,
                              std::unique_ptr<FileGuard>& guard) {
    if (lock.state() == RunLock::State::kBusy)
        return Fail(kRefused, Quoted(path) + " is being filled by another run");
    if (lock.state() == RunLock::State::kNoFile) return std::nullopt;
    std::string why;
    switch (RecoverFromJournal(file, lock.identity(), why)) {
        case Recovery::kRefused:
            return Fail(kRefused, why);
        case Recovery::kFailed:
            return Fail(kFailed, why);
        case Recovery::kRestored:
            Say("restored " + Quoted(path) + " from the journal of an interrupted run");
            break;
        case Recovery::kNothing:
            break;
    }
    guard = std::make_unique<FileGuard>(file, lock.identity());
    return std::nullopt;
}

// Commits the write-back, or undoes it when anything on the way failed.
FileGuard::Outcome Finish(FileGuard* guard, bool succeeded) {
    std::string why;
    if (!guard) return succeeded ? FileGuard::Outcome::kCommitted : FileGuard::Outcome::kDamaged;
    const FileGuard::Outcome outcome = guard->Finish(succeeded, why);
    if (!why.empty()) Say(why);
    return outcome;
}

// Closing writes the changed blocks out. GDAL's close returns nothing, so a failed write is seen
// in the errors GDAL raises meanwhile.
bool CloseDataset(GDALDatasetUniquePtr dataset) {
    const ErrorWatch watch;
    try {
        dataset.reset();
    } catch (const std::bad_alloc&) {
        return false;
    }
    return !watch.failed();
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
    const int max_search_radius = ParseMaxSearchRadius(argv[2]);
    const char* path = argv[1];  // as the user gave it, and as every message names it
    const DatasetPath examined = ExamineDatasetPath(path);
    if (!examined.refusal.empty()) return Fail(kRefused, examined.refusal);

    const RunLock lock(examined.file);
    std::unique_ptr<FileGuard> guard;
    if (const std::optional<int> status = TakeCharge(path, examined.file, lock, guard))
        return *status;

    GDALDatasetUniquePtr dataset(
        GDALDataset::FromHandle(GDALOpen(examined.file.c_str(), GA_Update)));
    if (!dataset && guard && guard->replaced())
        return Fail(kRefused, Quoted(path) + " was replaced by another file while it was opened; "
                              "neither file is touched");
    if (!dataset) return Fail(kRefused, "cannot open " + Quoted(path) + " for update");
    const std::string refusal = Refusal(*dataset, path);
    if (!refusal.empty()) return Fail(kRefused, refusal);
    if (guard && !guard->Cover(*dataset))
        Say("the writes to " + Quoted(path) + " (" + dataset->GetDriverName() +
            ") cannot be journaled; an interrupted write-back cannot be undone");
    if (!examined.warning.empty()) Say(examined.warning);

    PrintDatasetReport(*dataset);
    const bool cog = IsCog(*dataset);
    const std::string no_room = cog ? NoRoomForCog(examined.file, path) : "";
    if (!no_room.empty()) return Fail(kFailed, no_room);
    std::string why;
    const Outcome outcome = FillAndWriteBackInMemory(*dataset->GetRasterBand(1), max_search_radius,
                                                     guard.get(), path, why);
    if (outcome == Outcome::kInterrupted)
        DieOfInterruption("interrupted; " + Quoted(path) + " is unchanged");
    if (outcome == Outcome::kNoWorkingCopy || outcome == Outcome::kNoJournal)
        return Fail(kFailed, why);
    bool closed = CloseDataset(std::move(dataset));
    if (closed && cog && outcome == Outcome::kWritten && guard && guard->Begin(examined.file).written &&
        !RewriteAsCog(examined.file, path, why)) {
        Say(why);
        closed = false;
    }
    const FileGuard::Outcome finished = Finish(guard.get(), outcome == Outcome::kWritten && closed);
    std::printf("\nProcessing time is: %d seconds\n", ElapsedSeconds(start));
    ReleaseInterruptions();

    if (outcome == Outcome::kFillFailed)
        return Fail(kFailed, "filling band 1 of " + Quoted(path) + " failed");
    if (finished == FileGuard::Outcome::kRolledBack)
        return Fail(kFailed, "writing " + Quoted(path) + " back failed; the file is as it was");
    if (finished == FileGuard::Outcome::kDamaged)
        return Fail(kFailed, "writing " + Quoted(path) + " back failed");
    if (Interrupted()) DieOfInterruption("interrupted after " + Quoted(path) + " was written");
    return kDone;
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
    std::vector<std::string> arguments = platform::ProgramArguments(argc, argv);
    std::vector<char*> utf8;
    for (std::string& argument : arguments) utf8.push_back(argument.data());
    utf8.push_back(nullptr);
    UseBundledProjData();
    // Out of memory outside the fill and the write-back (which handle it themselves): the stack
    // unwinds, the lock and the guard go, and a journal, if any, stays for the next run.
    try {
        return Run(static_cast<int>(arguments.size()), utf8.data());
    } catch (const std::bad_alloc&) {
        const std::string path = arguments.size() > 1 ? arguments[1] : "";
        Say("out of memory while working on '" + path + "'");
        return kFailed;
    }
}
