// The write-back is all or nothing: a run killed at any write to the file, or whose write-back
// fails, leaves the file as it was or a journal from which the next run restores it; and two
// runs never work on one file at once.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "support.h"

namespace {

// A DEM of a few megabytes. GDAL rewrites the blocks of an uncompressed one in place; those of
// a compressed one mostly go to the end, and its directory is rewritten at the close.
struct Dem {
    TempDir dir;
    std::string path = dir.Path("dem.tif");
    std::string journal = path + ".gapmend-journal";
    std::string tmp = dir.Path("tmp");  // the runs' TMPDIR
    std::string original;
    std::vector<GByte> filled;  // what a lone run leaves in band 1

    explicit Dem(const char* compress = "DEFLATE") {
        const std::string option = std::string("COMPRESS=") + compress;
        const char* options[] = {option.c_str(), nullptr};
        WriteDem(path, 1000, GDT_Float32, options);
        std::filesystem::create_directory(tmp);
        original = FileBytes(path);
        const std::string expected = dir.Path("expected.tif");
        CopyFile(path, expected);
        FillDirectly(expected, 100);
        filled = BandBytes(expected);
    }
    void Reset() const { std::ofstream(path, std::ios::binary) << original; }
};

// gapMend run on the DEM under strace, which does `inject` (strace's fault injection, or
// nothing when it is empty) at the writes to the file, and logs them to `log`. Under wine the
// tool's writes are wine's own system calls, which strace sees as well.
RunResult RunWithFault(const Dem& dem, const std::string& inject,
                       const std::string& log = "/dev/null") {
    const std::string& file = dem.path;
    RunOptions under_strace;
    under_strace.binary = "/usr/bin/strace";
    // No leak checks under ptrace, where LeakSanitizer cannot run.
    under_strace.env = {{"TMPDIR", dem.tmp}, {"ASAN_OPTIONS", "halt_on_error=1:detect_leaks=0"}};
    std::vector<std::string> args = {"-f", "-o", log, "-P", file, "-e", "trace=write"};
    if (!inject.empty()) args.insert(args.end(), {"-e", "inject=write:" + inject});
    if (ToolRunsUnderWine()) args.push_back(GAPMEND_LAUNCHER);
    args.insert(args.end(), {GAPMEND_BINARY, file, "100"});
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
    // At the first write. SIGTERM kills wine itself, with no handler run; SIGINT arrives there as
    // a Ctrl-C, which Windows programs end on with STATUS_CONTROL_C_EXIT.
    const bool wine = ToolRunsUnderWine();
    const RunResult run = RunWithFault(dem, wine ? "signal=INT:when=1" : "signal=TERM:when=1");
    if (wine) {
        EXPECT_EQ(run.status, kControlCExit & 0xff);
    } else {
        EXPECT_EQ(run.signal, SIGTERM);
    }
    EXPECT_EQ(run.err, "gapMend: interrupted after '" + dem.path + "' was written\n");
    EXPECT_NE(run.out.find("Processing time is: "), std::string::npos);
    EXPECT_TRUE(BandBytes(dem.path) == dem.filled);
    EXPECT_FALSE(std::filesystem::exists(dem.journal));
}
