// The write-back is all or nothing: a run killed at any write to the file, or whose write-back
// fails, leaves the file as it was or a journal from which the next run restores it; and two
// runs never work on one file at once.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support.h"

namespace {

// A DEM of a few megabytes. GDAL rewrites the blocks of an uncompressed one in place; those of
// a compressed one mostly go to the end, and its directory is rewritten at the close. In another
// format than GeoTIFF it is `dem.<extension>`, with the side-cars that its driver makes.
struct Dem {
    TempDir dir;
    std::string path;
    std::string journal;
    std::string tmp = dir.Path("tmp");  // the runs' TMPDIR
    std::string original;
    std::map<std::string, std::string> originals;  // every file of the dataset, with its bytes
    std::vector<GByte> filled;                     // what a lone run leaves in band 1

    explicit Dem(const char* compress = "DEFLATE", const char* driver = "GTiff",
                 const std::string& extension = "tif")
        : path(dir.Path("dem." + extension)), journal(path + ".gapmend-journal") {
        const std::string expected = dir.Path("expected." + extension);
        if (std::string(driver) == "GTiff") {
            const std::string option = std::string("COMPRESS=") + compress;
            const char* options[] = {option.c_str(), nullptr};
            WriteDem(path, 1000, GDT_Float32, options);
            CopyFile(path, expected);
        } else {
            // GTX's no-data value is fixed; square pixels suit every format.
            const double nodata = std::string(driver) == "GTX" ? -88.8888 : -9999;
            const std::string source = dir.Path("source.tif");
            WriteDem(source, 1000, GDT_Float32, nullptr, 1, nodata);
            GDALDatasetUniquePtr from(GDALDataset::Open(source.c_str(), GDAL_OF_RASTER));
            double transform[6] = {1000, 1, 0, 2000, 0, -1};
            from->SetGeoTransform(transform);
            GDALDriver* to = GetGDALDriverManager()->GetDriverByName(driver);
            const std::string option = std::string("COMPRESS=") + compress;  // MRF's
            const char* options[] = {option.c_str(), nullptr};
            for (const std::string& copy : {path, expected})
                GDALDatasetUniquePtr(to->CreateCopy(
                    copy.c_str(), from.get(), false,
                    std::string(driver) == "MRF" ? options : nullptr, nullptr, nullptr));
        }
        std::filesystem::create_directory(tmp);
        original = FileBytes(path);
        originals = Files();
        FillDirectly(expected, 100);
        filled = BandBytes(expected);
    }
    // The files in the directory that are the dataset's or its side-cars', the journal aside.
    std::map<std::string, std::string> Files() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path))
            if (entry.path().filename().string().rfind("dem", 0) == 0 && entry.path() != journal)
                files[entry.path().string()] = FileBytes(entry.path().string());
        return files;
    }
    void Reset() const {
        for (const auto& [file, bytes] : Files())
            if (!originals.count(file)) std::filesystem::remove(file);
        for (const auto& [file, bytes] : originals) std::ofstream(file, std::ios::binary) << bytes;
    }
};

// gapMend run on the DEM under strace, which does `inject` (strace's fault injection, or
// nothing when it is empty) at the writes to the dataset's files, and logs the calls in `trace`
// on them to `log`.
RunResult RunWithFault(const Dem& dem, const std::string& inject,
                       const std::string& log = "/dev/null", const std::string& trace = "write") {
    RunOptions under_strace;
    under_strace.binary = "/usr/bin/strace";
    // No leak checks under ptrace, where LeakSanitizer cannot run.
    under_strace.env = {{"TMPDIR", dem.tmp}, {"ASAN_OPTIONS", "halt_on_error=1:detect_leaks=0"}};
    std::vector<std::string> args = {"-f", "-y", "-o", log, "-e", "trace=" + trace};
    for (const auto& [file, bytes] : dem.originals) args.insert(args.end(), {"-P", file});
    if (!inject.empty()) args.insert(args.end(), {"-e", "inject=write:" + inject});
    args.insert(args.end(), {GAPMEND_BINARY, dem.path, "100"});
    return RunTool(args, under_strace);
}

int WritesOfALoneRun(const Dem& dem) {
    const std::string log = dem.dir.Path("strace.log");
    RunWithFault(dem, "", log);
    dem.Reset();
    std::ifstream in(log);
    int writes = 0;
    for (std::string line; std::getline(in, line);)
        writes += line.find("write(") != std::string::npos;
    return writes;
}

}  // namespace

TEST(Journal, AKillAtAnyWriteIsUndoneByTheNextRun) {
    for (const char* compress : {"NONE", "DEFLATE"}) {
        const Dem dem(compress);
        const int writes = WritesOfALoneRun(dem);
        ASSERT_GT(writes, 10);
        RunOptions no_working_copy;  // so that the next run restores the file, then stops
        no_working_copy.env = {{"TMPDIR", dem.dir.Path("missing")}};
        for (const int k : {1, 2, writes / 3, 2 * writes / 3, writes}) {
            dem.Reset();
            const RunResult killed = RunWithFault(dem, "signal=KILL:when=" + std::to_string(k));
            EXPECT_EQ(killed.signal, SIGKILL) << k;
            const bool journaled = std::filesystem::exists(dem.journal);
            EXPECT_TRUE(journaled || FileBytes(dem.path) == dem.original) << k;

            const RunResult next = RunTool({dem.path, "100"}, no_working_copy);
            EXPECT_EQ(next.status, 3) << k;
            EXPECT_EQ(next.err.find("gapMend: restored '" + dem.path +
                                    "' from the journal of an interrupted run\n") == 0,
                      journaled)
                << k << ": " << next.err;
            EXPECT_TRUE(FileBytes(dem.path) == dem.original) << k;
            EXPECT_FALSE(std::filesystem::exists(dem.journal)) << k;

            EXPECT_EQ(RunTool({dem.path, "100"}).status, 0) << k;
            EXPECT_TRUE(BandBytes(dem.path) == dem.filled) << k;
            EXPECT_FALSE(std::filesystem::exists(dem.journal)) << k;
        }
    }
}

TEST(Journal, AFullDiskDuringTheWriteBackLeavesTheFileAsItWas) {
    const Dem dem;
    const int writes = WritesOfALoneRun(dem);
    for (const int k : {1, writes / 2, writes}) {
        dem.Reset();
        const RunResult run = RunWithFault(dem, "error=ENOSPC:when=" + std::to_string(k) + "+");
        EXPECT_EQ(run.status, 3) << k;
        EXPECT_NE(run.err.find("gapMend: writing '" + dem.path +
                               "' back failed; the file is as it was\n"),
                  std::string::npos)
            << k << ": " << run.err;
        EXPECT_TRUE(FileBytes(dem.path) == dem.original) << k;
        EXPECT_FALSE(std::filesystem::exists(dem.journal)) << k;
    }
}

TEST(Journal, ASecondRunOnAFileBeingFilledIsRefused) {
    TempDir dir;
    const std::string path = dir.Path("dem.tif"), alone = dir.Path("alone.tif");
    WriteDem(path, 3000, GDT_Float32);
    CopyFile(path, alone);
    RunOptions slow;  // a small cache keeps the first run busy for a while
    slow.env = {{"TMPDIR", dir.path}, {"GDAL_CACHEMAX", "4"}};
    std::future<RunResult> first = std::async(std::launch::async, [&] {
        return RunTool({path, "100"}, slow);
    });
    while (
        !std::filesystem::exists(dir.path) ||
        std::none_of(std::filesystem::recursive_directory_iterator(dir.path), {},
                     [](const auto& entry) { return entry.path().filename() == "band1.scratch"; }))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string before = FileBytes(path);
    const RunResult second = RunTool({path, "100"});
    EXPECT_EQ(second.status, 2);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "gapMend: '" + path + "' is being filled by another run\n");
    EXPECT_EQ(first.get().status, 0);
    EXPECT_EQ(RunTool({alone, "100"}, slow).status, 0);
    EXPECT_TRUE(BandBytes(path) == BandBytes(alone));
    EXPECT_FALSE(before.empty());
}

TEST(Journal, AJournalOfAnotherFileIsNeverApplied) {
    const Dem dem;
    RunWithFault(dem, "signal=KILL:when=" + std::to_string(WritesOfALoneRun(dem) / 2));
    ASSERT_TRUE(std::filesystem::exists(dem.journal));
    const std::string other = dem.dir.Path("other.tif");
    std::ofstream(other, std::ios::binary) << dem.original;  // the same bytes, another file
    std::filesystem::copy_file(dem.journal, other + ".gapmend-journal");
    const RunResult run = RunTool({other, "100"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "gapMend: the journal '" + other +
                           ".gapmend-journal' belongs to another file, not '" + other + "'\n");
    EXPECT_TRUE(FileBytes(other) == dem.original);
    EXPECT_TRUE(std::filesystem::exists(other + ".gapmend-journal"));
}

TEST(Journal, ASignalDuringTheWriteBackWaitsUntilTheFileIsWritten) {
    const Dem dem("NONE");
    const RunResult run = RunWithFault(dem, "signal=TERM:when=1");  // at the first write
    EXPECT_EQ(run.signal, SIGTERM);
    EXPECT_EQ(run.err, "gapMend: interrupted after '" + dem.path + "' was written\n");
    EXPECT_NE(run.out.find("Processing time is: "), std::string::npos);
    EXPECT_TRUE(BandBytes(dem.path) == dem.filled);
    EXPECT_FALSE(std::filesystem::exists(dem.journal));
}

// GeoTIFF's layouts are killed at many writes above; every other journaled format at a middle
// write here, with its side-cars (ENVI's and EHdr's .hdr, SAGA's .sgrd, MRF's index and data).
TEST(Journal, AKillInEveryJournaledFormatIsUndoneByTheNextRun) {
    const std::vector<std::pair<const char*, const char*>> formats = {
        {"ENVI", "bin"},  {"HFA", "img"}, {"PCIDSK", "pix"}, {"EHdr", "bil"},
        {"SAGA", "sdat"}, {"GTX", "gtx"}, {"MRF", "mrf"}};
    for (const auto& [driver, extension] : formats) {
        const Dem dem("NONE", driver, extension);
        const int writes = WritesOfALoneRun(dem);
        ASSERT_GT(writes, 2) << driver;
        const RunResult killed =
            RunWithFault(dem, "signal=KILL:when=" + std::to_string(writes / 2));
        EXPECT_EQ(killed.signal, SIGKILL) << driver;
        EXPECT_TRUE(std::filesystem::exists(dem.journal)) << driver;
        EXPECT_FALSE(dem.Files() == dem.originals) << driver;

        RunOptions no_working_copy;
        no_working_copy.env = {{"TMPDIR", dem.dir.Path("missing")}};
        const RunResult next = RunTool({dem.path, "100"}, no_working_copy);
        EXPECT_EQ(next.status, 3) << driver;
        EXPECT_EQ(next.err.find("gapMend: restored '" + dem.path +
                                "' from the journal of an interrupted run\n"),
                  0u)
            << driver << ": " << next.err;
        EXPECT_TRUE(dem.Files() == dem.originals) << driver;
        EXPECT_FALSE(std::filesystem::exists(dem.journal)) << driver;

        const RunResult run = RunTool({dem.path, "100"});
        EXPECT_EQ(run.status, 0) << driver;
        EXPECT_EQ(run.err, "") << driver;
        EXPECT_TRUE(BandBytes(dem.path) == dem.filled) << driver;
    }
}

// The journal goes by the file itself: a run through a symbolic link finds it; a hard link is
// another name that it is not found by, which the run says.
TEST(Journal, ARunThroughALinkFindsTheFilesJournal) {
    const Dem dem("NONE");
    RunWithFault(dem, "signal=KILL:when=" + std::to_string(WritesOfALoneRun(dem) / 2));
    ASSERT_TRUE(std::filesystem::exists(dem.journal));
    const std::string links = dem.dir.Path("links"), link = links + "/link.tif";
    std::filesystem::create_directory(links);
    std::filesystem::create_symlink(dem.path, link);
    RunOptions no_working_copy;
    no_working_copy.env = {{"TMPDIR", dem.dir.Path("missing")}};
    const RunResult next = RunTool({link, "100"}, no_working_copy);
    EXPECT_EQ(next.status, 3);
    EXPECT_EQ(
        next.err.find("gapMend: restored '" + link + "' from the journal of an interrupted run\n"),
        0u)
        << next.err;
    EXPECT_TRUE(FileBytes(dem.path) == dem.original);
    EXPECT_FALSE(std::filesystem::exists(dem.journal));

    const std::string hard = links + "/dem:2.tif";  // a ':' in a file's name is no driver prefix
    std::filesystem::create_hard_link(dem.path, hard);
    const RunResult run = RunTool({hard, "100"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "gapMend: '" + hard +
                           "' has 2 names (hard links); a run through another name cannot see "
                           "this run's journal\n");
    EXPECT_TRUE(BandBytes(dem.path) == dem.filled);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(links), {}), 2);
}

// ERS is written unjournaled (not a format whose every write the guard is known to see): said in
// one line, and status 0 still means that every file of the dataset is on the disk.
TEST(Journal, AFormatThatIsNotJournaledIsFilledAndSynced) {
    const Dem dem("NONE", "ERS", "ers");
    const std::string log = dem.dir.Path("strace.log");
    const RunResult run = RunWithFault(dem, "", log, "write,fsync,fdatasync");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "gapMend: the writes to '" + dem.path +
                           "' (ERS) cannot be journaled; an interrupted write-back cannot be "
                           "undone\n");
    EXPECT_TRUE(BandBytes(dem.path) == dem.filled);
    EXPECT_FALSE(std::filesystem::exists(dem.journal));
    const auto called = [&log](const std::string& call, const std::string& file) {
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            if (line.find(call + "(") != std::string::npos &&
                line.find("<" + file + ">") != std::string::npos)
                return true;
        return false;
    };
    const std::string data = dem.dir.Path("dem");  // ERS's data file, beside dem.ers
    EXPECT_TRUE(called("write", data));
    EXPECT_TRUE(called("fdatasync", data));
    EXPECT_TRUE(called("fdatasync", dem.path));
}
