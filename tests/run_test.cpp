// The tool as a user meets it: what it prints, its exit status, and what it does to the file
// when it cannot do its work.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <tuple>

#include <gtest/gtest.h>

#include "support.h"

namespace {

// The elapsed time is the one line whose text depends on the machine.
std::string WithoutSeconds(const std::string& out) {
    const std::string label = "Processing time is: ";
    const size_t at = out.rfind(label);
    if (at == std::string::npos) return out;
    const size_t digits = at + label.size();
    const size_t end = out.find_first_not_of("0123456789", digits);
    if (end == digits || out.compare(end, std::string::npos, " seconds\n") != 0) return out;
    return out.substr(0, digits) + "N seconds\n";
}

std::string LastLine(const std::string& text) {
    const size_t end = text.find_last_not_of('\n');
    if (end == std::string::npos) return "";
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - start);
}

std::string ProjectionOf(const std::string& path) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
    return dataset->GetProjectionRef();
}

}  // namespace

// The usage text is the tool's own, word for word, ".exe" and all: scripts and users on both
// platforms have read it for years, so it is fixed here rather than tidied.
TEST(Usage, MissingArgumentsPrintTheUsageAndExitWith1) {
    const std::string usage =
        "Usage: gapMend tiffilename.tif\n"
        "Dataset should be path to dataset *.tif file\n"
        "Enter number between 100-500 for Max Search Radius.  Example: 250\n"
        "Example usage: gapMend.exe D:/path/to/myfile.tif 250\n\n";
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"dem.tif"}}) {
        const RunResult run = RunTool(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, usage);
    }
}

TEST(Report, GeoreferencedDem) {
    TempDir dir;
    const std::string path = dir.Path("dem.tif");
    CopyFile(SAMPLE_DEM, path);
    const RunResult run = RunTool({path, "250"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(WithoutSeconds(run.out),
              "Block=95x43 Type=Int16\n"
              "No Data Value = -32768\n"
              "Driver: GTiff/GeoTIFF\n"
              "Size is 95x90x1\n"
              "Projection is '" +
                  ProjectionOf(path) +
                  "'\n"
                  "Origin = (5.741667, 50.191667)\n"
                  "Pixel Size = (0.008333, -0.008333)\n"
                  "Mask Flags = 8\n"
                  "Processing image\n"
                  "\n"
                  "Processing time is: N seconds\n");
}

TEST(Report, NoGeoreferencingAndNoDataBeyondInt) {
    TempDir dir;
    const std::string path = dir.Path("plain.tif");
    for (const auto& [type, nodata] : {std::pair{GDT_Float32, std::nan("")}, {GDT_Float64, 1e20}}) {
        WriteRaster(path, 4, type, {1, 2, 3, 4, 5, nodata, 7, 8, 9, 10, 11, 12}, nodata);
        const RunResult run = RunTool({path, "10"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(WithoutSeconds(run.out), std::string("Block=4x3 Type=") +
                                               GDALGetDataTypeName(type) + "\n" +
                                               "No Data Value = -2147483648\n"
                                               "Driver: GTiff/GeoTIFF\n"
                                               "Size is 4x3x1\n"
                                               "Projection is ''\n"
                                               "Pixel Size = (1.000000, 1.000000)\n"
                                               "Mask Flags = 8\n"
                                               "Processing image\n"
                                               "\n"
                                               "Processing time is: N seconds\n");
    }
}

namespace {

// Every kind of file that gapMend must refuse, or fail on, without changing a byte of it.
void MakeUnfillableFiles(const TempDir& dir) {
    std::mt19937 random(7);
    std::string noise(4096, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    const std::vector<std::pair<std::string, std::string>> files = {
        {"empty.tif", ""},
        {"noise.tif", noise},
        {"notes.tif", "hello world\n"},
        {"truncated.tif", FileBytes(SAMPLE_DEM).substr(0, 1024)}};
    for (const auto& [name, bytes] : files) std::ofstream(dir.Path(name)) << bytes;
    std::filesystem::create_directory(dir.Path("folder"));
    WriteRaster(dir.Path("complex.tif"), 2, GDT_CInt16, {1, 2, 0, 4}, 0);
    WriteRaster(dir.Path("byte.tif"), 2, GDT_Byte, {1, 2, 0, 4}, 0);
    GDALDatasetUniquePtr source(GDALDataset::Open(dir.Path("byte.tif").c_str(), GDAL_OF_RASTER));
    for (const char* driver : {"PNG", "JPEG"})
        GDALDatasetUniquePtr(GetGDALDriverManager()->GetDriverByName(driver)->CreateCopy(
            dir.Path(std::string("dem.") + driver).c_str(), source.get(), false, nullptr, nullptr,
            nullptr));
    GDALDatasetUniquePtr(GetGDALDriverManager()->GetDriverByName("PCIDSK")->Create(
        dir.Path("bandless.pix").c_str(), 10, 10, 0, GDT_Byte, nullptr));
    // Writable by the user that runs the tool, so that only what is wrong with each file stops it.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        if (entry.is_regular_file())
            std::filesystem::permissions(entry, std::filesystem::perms(0666));
    for (const auto& [name, mode] : {std::pair{"read-only.tif", 0444}, {"unreadable.tif", 0}}) {
        CopyFile(SAMPLE_DEM, dir.Path(name));
        std::filesystem::permissions(dir.Path(name), std::filesystem::perms(mode));
    }
    mkfifo(dir.Path("fifo").c_str(), 0666);  // an open of it blocks until a writer comes
}

}  // namespace

TEST(Refusal, WhatCannotBeFilledIsLeftByteForByte) {
    TempDir dir;
    MakeUnfillableFiles(dir);
    RunOptions as_user;  // root could write the read-only file
    // Wine runs only as the user who owns its prefix: there the files' permissions go untested.
    const bool as_root = ToolRunsUnderWine();
    if (!as_root) as_user.binary = CopyOfTool(dir);
    as_user.unprivileged = !as_root;
    as_user.working_dir = dir.Path("work");  // where the fill may write its work files
    std::filesystem::create_directory(as_user.working_dir);
    std::filesystem::permissions(as_user.working_dir, std::filesystem::perms::all);
    // A name with a '/' is a path or a GDAL dataset name of its own; the others are in `dir`.
    const auto path_of = [&dir](const std::string& name) {
        return name.empty() || name.find('/') != std::string::npos ? name : dir.Path(name);
    };
    const auto quoted = [&](const std::string& name) { return "'" + path_of(name) + "'"; };
    const std::string byte_tif = dir.Path("byte.tif"), byte_before = FileBytes(byte_tif);
    const std::string past_the_journal =
        " is not a local file's own path (a GDAL driver prefix or /vsi path); give the file's path";
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"", 2, "cannot open '' for update"},
        {"missing.tif", 2, "cannot open " + quoted("missing.tif") + " for update"},
        {"folder", 2, "cannot open " + quoted("folder") + " for update"},
        {"empty.tif", 2, "cannot open " + quoted("empty.tif") + " for update"},
        {"noise.tif", 2, "cannot open " + quoted("noise.tif") + " for update"},
        {"notes.tif", 2, "cannot open " + quoted("notes.tif") + " for update"},
        {"dem.PNG", 2, "cannot open " + quoted("dem.PNG") + " for update"},
        {"dem.JPEG", 2, "cannot open " + quoted("dem.JPEG") + " for update"},
        {"read-only.tif", 2, "cannot open " + quoted("read-only.tif") + " for update"},
        {"unreadable.tif", 2, "cannot open " + quoted("unreadable.tif") + " for update"},
        {"bandless.pix", 2, quoted("bandless.pix") + " has no raster band"},
        {"complex.tif", 2,
         "complex pixel type CInt16 cannot be filled in " + quoted("complex.tif")},
        // The header opens; the pixels cannot be read.
        {"truncated.tif", 3, "filling band 1 of " + quoted("truncated.tif") + " failed"},
        // Not files: the open would block, or read a device.
        {"fifo", 2, quoted("fifo") + " is not a regular file"},
        {"/dev/null", 2, "'/dev/null' is not a regular file"},
        // GDAL reaches byte.tif through these, past the run lock and the journal.
        {"GTIFF_DIR:1:" + byte_tif, 2, "'GTIFF_DIR:1:" + byte_tif + "'" + past_the_journal},
        {"GTIFF_RAW:" + byte_tif, 2, "'GTIFF_RAW:" + byte_tif + "'" + past_the_journal},
        {"/vsisubfile/0_100000," + byte_tif, 2,
         "'/vsisubfile/0_100000," + byte_tif + "'" + past_the_journal}};
    for (const auto& [name, status, message] : cases) {
        // Wine knows neither POSIX's special files nor, as root, permissions.
        if (as_root && (name == "read-only.tif" || name == "unreadable.tif" || name == "fifo" ||
                        name == "/dev/null"))
            continue;
        const std::string path = path_of(name);
        const std::string before = FileBytes(path);
        const RunResult run = RunTool({path, "250"}, as_user);
        EXPECT_EQ(run.status, status) << name;
        if (status == 2) {
            EXPECT_EQ(run.out, "") << name;
        }
        EXPECT_EQ(LastLine(run.err), "gapMend: " + message);
        EXPECT_TRUE(FileBytes(path) == before) << name;
    }
    EXPECT_TRUE(FileBytes(byte_tif) == byte_before);
}

TEST(Fill, ARunFromDirectoriesItMayNotWriteFillsAsTheLibraryDoes) {
    if (ToolRunsUnderWine()) GTEST_SKIP() << "needs another user, and wine runs only as its owner";
    TempDir dir;
    const std::string path = dir.Path("dem.tif"), expected = dir.Path("expected.tif");
    CopyFile(SAMPLE_DEM, path);
    CopyFile(SAMPLE_DEM, expected);
    std::filesystem::permissions(path, std::filesystem::perms(0666));
    const std::string locked = dir.Path("locked");
    std::filesystem::create_directory(locked);
    std::filesystem::permissions(locked, std::filesystem::perms(0555));
    RunOptions in_locked;
    in_locked.binary = CopyOfTool(dir);
    in_locked.unprivileged = true;
    in_locked.working_dir = locked;
    const RunResult run = RunTool({path, "250"}, in_locked);
    EXPECT_EQ(run.status, 0);
    // The file's directory is not the user's either: no journal, and a word about it.
    EXPECT_EQ(run.err, "gapMend: cannot create a journal beside '" + path +
                           "'; an interrupted write-back cannot be undone\n");
    FillDirectly(expected, 250);
    EXPECT_TRUE(BandBytes(path) == BandBytes(expected));
    EXPECT_TRUE(std::filesystem::is_empty(locked));
}

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
// The sanitizers reserve terabytes of address space, so no `ulimit -v` leaves them room.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizer = true;
#else
constexpr bool kSanitizer = false;
#endif

// A tiny file system for a full directory (`size`, in bytes, or `nr_inodes`, the number of files
// it holds, counting its root); only root may mount one.
struct TinyFileSystem {
    explicit TinyFileSystem(const std::string& dir, const std::string& limit = "size=64k")
        : path(dir) {
        std::filesystem::create_directory(path);
        mounted =
            geteuid() == 0 &&
            std::system(
                ("mount -t tmpfs -o " + limit + ",mode=1777 tmpfs '" + path + "'").c_str()) == 0;
    }
    ~TinyFileSystem() {
        if (mounted) std::system(("umount '" + path + "'").c_str());
    }
    std::string path;
    bool mounted = false;
};

}  // namespace

TEST(Failure, NoRoomForTheWorkingCopyEndsWith3AndTouchesNothing) {
    if (ToolRunsUnderWine()) GTEST_SKIP() << "needs another user and a tmpfs mount";
    TempDir dir;
    const std::string path = dir.Path("wide.tif");
    std::vector<double> values(400 * 400, 1234.56789012345);
    values[1000] = -9999;
    const char* deflate[] = {"COMPRESS=DEFLATE", nullptr};
    WriteRaster(path, 400, GDT_Float64, values, -9999, deflate);  // 1.28 MB of pixels, 9 kB file
    std::filesystem::permissions(path, std::filesystem::perms(0666));
    const std::string before = FileBytes(path);
    const std::string locked = dir.Path("locked");
    std::filesystem::create_directory(locked);
    std::filesystem::permissions(locked, std::filesystem::perms(0555));
    const TinyFileSystem full(dir.Path("full"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.Path("missing"), "No such file or directory; the working copy needs up to 2 MB"},
        {locked, "Permission denied; the working copy needs up to 2 MB"},
        {full.path, "the working copy needs up to 2 MB, 1 MB free"}};
    RunOptions as_user;
    as_user.binary = CopyOfTool(dir);
    as_user.unprivileged = true;
    for (const auto& [tmp, why] : cases) {
        if (tmp == full.path && !full.mounted) continue;  // needs root: CI runs the suite as root
        // ThreadSanitizer's runtime fills the tiny file system with a file of its own at start.
        if (tmp == full.path && kThreadSanitizer) continue;
        as_user.env = {{"TMPDIR", tmp}};
        const RunResult run = RunTool({path, "10"}, as_user);
        EXPECT_EQ(run.status, 3) << tmp;
        EXPECT_EQ(LastLine(run.err).find("gapMend: "), 0u) << run.err;
        EXPECT_NE(LastLine(run.err).find(" in '" + tmp + "': "), std::string::npos) << run.err;
        EXPECT_NE(LastLine(run.err).find(why), std::string::npos) << run.err;
        EXPECT_TRUE(FileBytes(path) == before) << tmp;
        if (std::filesystem::exists(tmp)) {
            EXPECT_TRUE(std::filesystem::is_empty(tmp)) << tmp;
        }
    }
}

// No free inode for the journal beside the file: the run stops before anything is written. (A
// full disk is met at the journal's first write instead, and rolled back as any write error.)
TEST(Failure, NoRoomForTheJournalEndsWith3AndTouchesNothing) {
    TempDir dir;
    const TinyFileSystem full(dir.Path("full"), "size=1m,nr_inodes=2");
    if (!full.mounted) GTEST_SKIP() << "needs root: CI runs the suite as root";
    const std::string path = full.path + "/dem.tif";
    CopyFile(SAMPLE_DEM, path);  // the file system's last free inode
    RunOptions options;
    options.env = {{"TMPDIR", dir.path}};
    const RunResult run = RunTool({path, "250"}, options);
    EXPECT_EQ(run.status, 3);
    // In the system's words: wine's for ERROR_DISK_FULL.
    const std::string no_room = ToolRunsUnderWine() ? "Disk full" : "No space left on device";
    EXPECT_EQ(run.err, "gapMend: cannot create a journal beside '" + path + "': " + no_room +
                           "; the file is as it was\n");
    EXPECT_TRUE(FileBytes(path) == FileBytes(SAMPLE_DEM));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(full.path), {}), 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);
}

// A COG is rewritten whole after the fill: with room beside it for itself but not for the new
// COG and its journal as well, the run stops before anything is written, and says what it needs.
TEST(Failure, NoRoomForACogsRewriteEndsWith3AndTouchesNothing) {
    TempDir dir;
    const std::string source = dir.Path("source.tif"), cog = dir.Path("cog.tif");
    WriteDem(source, 600, GDT_Float32);  // a COG of about 2 MB
    ASSERT_EQ(std::system(("gdal_translate -q -of COG " + source + " " + cog).c_str()), 0);
    const long long size = static_cast<long long>(std::filesystem::file_size(cog));
    const TinyFileSystem full(dir.Path("full"), "size=" + std::to_string(size * 3 / 2));
    if (!full.mounted) GTEST_SKIP() << "needs root: CI runs the suite as root";
    const std::string path = full.path + "/dem.tif";
    CopyFile(cog, path);
    const auto megabytes = [](long long bytes) {
        return std::to_string((bytes + 999999) / 1000000) + " MB";
    };
    const long long beside = static_cast<long long>(std::filesystem::space(full.path).available);
    RunOptions options;
    options.env = {{"TMPDIR", dir.path}};
    const RunResult run = RunTool({path, "100"}, options);
    EXPECT_EQ(run.status, 3);
    const std::string line = LastLine(run.err);
    EXPECT_EQ(line.find("gapMend: no room to rewrite '" + path + "' as a COG: it needs " +
                        megabytes(size + size / 4) + " in '" + dir.path + "' ("),
              0u)
        << run.err;
    EXPECT_NE(line.find(" free) and " + megabytes(2 * size) +
                        " beside the file for the new COG "
                        "and its journal (" +
                        megabytes(beside) + " free); the file is as it was"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out.find("Processing image"), std::string::npos);
    EXPECT_TRUE(FileBytes(path) == FileBytes(cog));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(full.path), {}), 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 3);
}

// One whole-band call, and a fill in strips on three threads: every thread stops, and GDAL's
// error line comes once.
TEST(Interruption, SigtermOrSigintDuringTheFillLeavesTheFileAsItWas) {
    const std::vector<std::pair<int, const char*>> runs = {
        {SIGTERM, nullptr}, {SIGINT, nullptr}, {SIGTERM, "3"}};
    for (const auto& [signal_number, threads] : runs) {
        // SIGTERM kills wine itself, with no handler run; SIGINT arrives as a Ctrl-C.
        if (ToolRunsUnderWine() && signal_number == SIGTERM) continue;
        TempDir dir;
        const std::string path = dir.Path("dem.tif");
        // Large enough for the fill to take seconds, with a cache small enough that filling the
        // file itself would already have written to it (and, for strips, room for their windows).
        WriteDem(path, 4000, GDT_Float32);
        const std::string before = FileBytes(path);
        RunOptions options;
        for (const char* sub : {"tmp", "work"}) std::filesystem::create_directory(dir.Path(sub));
        options.env = {{"TMPDIR", dir.Path("tmp")}, {"GDAL_CACHEMAX", threads ? "64" : "4"}};
        if (threads)
            options.env.insert(options.env.end(),
                               {{"GDAL_NUM_THREADS", threads}, {"CPL_DEBUG", "gapMend"}});
        options.working_dir = dir.Path("work");
        options.signal = signal_number;
        const RunResult run = RunTool({path, "100"}, options);
        if (ToolRunsUnderWine()) {
            EXPECT_EQ(run.status, kControlCExit & 0xff);
        } else {
            EXPECT_EQ(run.signal, signal_number);
        }
        EXPECT_EQ(run.err.find("User terminated"), run.err.rfind("User terminated")) << run.err;
        EXPECT_NE(run.err.find("User terminated"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find(" strips ") != std::string::npos, threads != nullptr) << run.err;
        EXPECT_EQ(LastLine(run.err), "gapMend: interrupted; '" + path + "' is unchanged");
        EXPECT_NE(run.out.find("Processing image\n"), std::string::npos);
        EXPECT_TRUE(FileBytes(path) == before);
        EXPECT_TRUE(std::filesystem::is_empty(dir.Path("tmp")));
        EXPECT_TRUE(std::filesystem::is_empty(dir.Path("work")));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 3);
    }
}

TEST(Failure, AWriteBackThatDoesNotFitEndsWith3AndUndoesItself) {
    TempDir dir;
    const std::string path = dir.Path("sparse.tif");
    {
        // Most blocks are never written, so filling them makes the file grow at the close.
        const char* options[] = {"TILED=YES", "SPARSE_OK=TRUE", nullptr};
        GDALDatasetUniquePtr dataset(GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
            path.c_str(), 1024, 1024, 1, GDT_Float32, const_cast<char**>(options)));
        dataset->GetRasterBand(1)->SetNoDataValue(-9999);
        std::vector<float> block(256 * 256, 5.0f);
        ASSERT_EQ(dataset->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, 256, 256, block.data(), 256,
                                                      256, GDT_Float32, 0, 0, nullptr),
                  CE_None);
    }
    const std::string before = FileBytes(path);
    RunOptions limited;
    limited.file_size_limit = static_cast<long long>(before.size()) + 4096;
    // Whether or not the caller ignores SIGXFSZ: gapMend ignores it itself, so that the write
    // fails instead. Windows has no such signal, and wine does not ignore it.
    for (const bool caller_ignores : {true, false}) {
        if (ToolRunsUnderWine() && !caller_ignores) continue;
        limited.caller_ignores_sigxfsz = caller_ignores;
        const RunResult run = RunTool({path, "0"}, limited);
        EXPECT_EQ(run.status, 3) << caller_ignores;
        EXPECT_NE(WithoutSeconds(run.out).find("Processing time is: N seconds\n"),
                  std::string::npos);
        EXPECT_EQ(LastLine(run.err),
                  "gapMend: writing '" + path + "' back failed; the file is as it was");
        EXPECT_TRUE(FileBytes(path) == before);
        EXPECT_FALSE(std::filesystem::exists(path + ".gapmend-journal"));
    }
}

TEST(Interruption, WhatAKilledRunLeavesInTheTemporaryDirectoryGoesWithTheNextRun) {
    TempDir dir;
    const std::string path = dir.Path("dem.tif"), tmp = dir.Path("tmp");
    WriteDem(path, 3000, GDT_Float32);
    std::filesystem::create_directory(tmp);
    RunOptions options;
    options.env = {{"TMPDIR", tmp}, {"GDAL_CACHEMAX", "4"}};
    options.signal = SIGKILL;
    EXPECT_EQ(RunTool({path, "100"}, options).signal, SIGKILL);
    EXPECT_FALSE(std::filesystem::is_empty(tmp));
    options.signal = 0;
    EXPECT_EQ(RunTool({path, "100"}, options).status, 0);
    EXPECT_TRUE(std::filesystem::is_empty(tmp));

    // A kill while a directory is removed leaves it without its lock, which goes last: removed
    // once it is a day old. A younger one may be a run's that has not made its lock yet.
    const std::string old_dir = tmp + "/gapmend-Old123", young_dir = tmp + "/gapmend-New123";
    for (const std::string& lockless : {old_dir, young_dir}) {
        std::filesystem::create_directory(lockless);
        std::ofstream(lockless + "/band1.scratch") << "left over";
    }
    std::filesystem::last_write_time(
        old_dir, std::filesystem::file_time_type::clock::now() - std::chrono::hours(25));
    EXPECT_EQ(RunTool({path, "100"}, options).status, 0);
    EXPECT_FALSE(std::filesystem::exists(old_dir));
    EXPECT_TRUE(std::filesystem::exists(young_dir + "/band1.scratch"));
}

// What Windows users type: a drive, backslashes, and names in any script. The journal and the
// side-cars must be found beside the file, not in the working directory.
TEST(Windows, DrivePathsWithBackslashesAndAnyNameFillInPlace) {
    if (!ToolRunsUnderWine()) GTEST_SKIP() << "Windows paths need the Windows build";
    TempDir dir;
    const std::string folder = dir.Path("Höhen 数字");
    std::filesystem::create_directory(folder);
    const std::string path = folder + "/dem é.tif", expected = dir.Path("expected.tif");
    CopyFile(SAMPLE_DEM, path);
    CopyFile(SAMPLE_DEM, expected);
    std::string windows_path = "Z:" + path;  // wine's drive Z: is the root
    std::replace(windows_path.begin(), windows_path.end(), '/', '\\');
    RunOptions elsewhere;
    elsewhere.working_dir = dir.Path("work");
    std::filesystem::create_directory(elsewhere.working_dir);
    const RunResult run = RunTool({windows_path, "250"}, elsewhere);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    FillDirectly(expected, 250);
    EXPECT_TRUE(BandBytes(path) == BandBytes(expected));
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.working_dir));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
}

namespace {

// Where the system's own libraries do not fit a memory limit, the run never starts: the loader
// says so, or a library's own start-up runs out of memory before gapMend's first line (GnuTLS under
// GDAL 3.13 does), and nothing is printed on standard output. gapMend's own code catches running
// out of memory from its first line on, and its report comes before the fill.
bool NeverStarted(const RunResult& run) {
    const bool loader = run.status == 127 &&
                        run.err.find("error while loading shared libraries") != std::string::npos;
    const bool library_start = run.status == -1 && run.out.empty() &&
                               run.err.find("gapMend") == std::string::npos &&
                               run.err.find("std::bad_alloc") != std::string::npos;
    return loader || library_start;
}

}  // namespace

// From too little memory for the fill up to enough for everything: the run refuses before the
// fill, or fails and rolls back, or fills; it never dies of a signal, and leaves nothing behind.
TEST(Failure, AMemoryLimitNeverEndsTheRunBySignalNorLeavesAnythingBehind) {
    if (ToolRunsUnderWine() || kSanitizer) GTEST_SKIP() << "needs RLIMIT_AS without a sanitizer";
    TempDir dir;
    const std::string path = dir.Path("dem.tif"), expected = dir.Path("expected.tif");
    const std::string tmp = dir.Path("tmp");
    std::filesystem::create_directory(tmp);
    WriteDem(path, 2000, GDT_Float32);
    CopyFile(path, expected);
    FillDirectly(expected, 100);
    const std::string before = FileBytes(path);
    // Unset, the threads are the machine's cores; set, GDAL's own thread pool is asked for too,
    // which must not wait for a thread that the limit kept from starting.
    for (const char* threads : {"", "2"}) {
        RunOptions limited;
        limited.env = {{"TMPDIR", tmp}, {"GDAL_CACHEMAX", "32"}};
        if (*threads) limited.env.push_back({"GDAL_NUM_THREADS", threads});
        std::vector<int> statuses;
        for (const long long megabytes : {180, 200, 220, 240, 260, 300, 1000}) {
            limited.memory_limit = megabytes << 20;
            const RunResult run = RunTool({path, "100"}, limited);
            if (NeverStarted(run)) continue;
            statuses.push_back(run.status);
            EXPECT_TRUE(run.status == 0 || run.status == 3)
                << megabytes << ": " << run.err << "printed: " << run.out;
            if (run.status == 0) {
                EXPECT_TRUE(BandBytes(path) == BandBytes(expected)) << megabytes;
            } else {
                EXPECT_EQ(LastLine(run.err).find("gapMend: "), 0u) << run.err;
                EXPECT_TRUE(FileBytes(path) == before) << megabytes;
            }
            EXPECT_FALSE(std::filesystem::exists(path + ".gapmend-journal")) << megabytes;
            EXPECT_TRUE(std::filesystem::is_empty(tmp)) << megabytes;
            std::ofstream(path, std::ios::binary) << before;
        }
        ASSERT_FALSE(statuses.empty()) << threads;
        EXPECT_EQ(statuses.front(), 3) << threads;
        EXPECT_EQ(statuses.back(), 0) << threads;
    }
}

// A lost standard output or error stops nothing: the fill is written and committed, status 0.
TEST(Failure, OutputIntoAClosedPipeStopsNeitherTheFillNorTheWriteBack) {
    if (ToolRunsUnderWine()) GTEST_SKIP() << "wine's own output would meet the closed pipe";
    TempDir dir;
    const std::string path = dir.Path("dem.tif"), expected = dir.Path("expected.tif");
    const std::string tmp = dir.Path("tmp");
    std::filesystem::create_directory(tmp);
    WriteDem(path, 1000, GDT_Float32);
    CopyFile(path, expected);
    FillDirectly(expected, 100);
    const std::string before = FileBytes(path);
    for (const int closed : {1, 2}) {
        RunOptions options;
        options.closed_pipes = closed;
        // GDAL's debug lines write to standard error all through the fill and the write-back.
        options.env = {{"TMPDIR", tmp}, {"CPL_DEBUG", "ON"}};
        const RunResult run = RunTool({path, "100"}, options);
        EXPECT_EQ(run.status, 0) << closed;
        EXPECT_EQ(run.signal, 0) << closed;
        EXPECT_TRUE(BandBytes(path) == BandBytes(expected)) << closed;
        EXPECT_FALSE(std::filesystem::exists(path + ".gapmend-journal")) << closed;
        EXPECT_TRUE(std::filesystem::is_empty(tmp)) << closed;
        std::ofstream(path, std::ios::binary) << before;
    }
}

// The strips read the file that the run locked, whatever its path leads to meanwhile: a
// directory on the path repointed while the run stands stopped in its fill changes neither file.
TEST(Fill, ADirectoryOnThePathRepointedDuringTheFillChangesNeitherFile) {
    if (ToolRunsUnderWine()) GTEST_SKIP() << "wine shows a symbolic link as the file itself";
    TempDir dir;
    for (const char* sub : {"r1", "r2", "tmp"}) std::filesystem::create_directory(dir.Path(sub));
    const std::string locked = dir.Path("r1/d.tif"), other = dir.Path("r2/d.tif");
    const std::string expected = dir.Path("expected.tif"), link = dir.Path("cur");
    WriteDem(locked, 1500, GDT_Float32);
    CopyFile(locked, expected);
    FillDirectly(expected, 100);
    WriteRaster(other, 1500, GDT_Float32, std::vector<double>(1500 * 1500, 7.0), -9999);
    const std::string others_bytes = FileBytes(other);
    std::filesystem::create_directory_symlink("r1", link);
    RunOptions options;
    options.env = {{"TMPDIR", dir.Path("tmp")},
                   {"GDAL_NUM_THREADS", "2"},
                   {"GDAL_CACHEMAX", "64"},
                   {"CPL_DEBUG", "gapMend"}};
    options.signal = SIGSTOP;
    options.while_stopped = [&] {
        std::filesystem::remove(link);
        std::filesystem::create_directory_symlink("r2", link);
    };
    const RunResult run = RunTool({link + "/d.tif", "100"}, options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(" strips "), std::string::npos) << run.err;
    EXPECT_TRUE(BandBytes(locked) == BandBytes(expected));
    EXPECT_TRUE(FileBytes(other) == others_bytes);
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path("tmp")));
}
