#include "support.h"

#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

#include <gdal_alg.h>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

struct GdalDrivers : ::testing::Environment {
    void SetUp() override { GDALAllRegister(); }
};
const auto* const kGdalDrivers = ::testing::AddGlobalTestEnvironment(new GdalDrivers);

}  // namespace

TempDir::TempDir() {
    std::string name = (fs::temp_directory_path() / "gapmend-test-XXXXXX").string();
    if (!mkdtemp(name.data())) std::abort();
    path = name;
    fs::permissions(path, fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
}

TempDir::~TempDir() {
    // Give back write permission that a test took away, so that a non-root user can remove it.
    for (const auto& entry : fs::recursive_directory_iterator(path))
        if (entry.is_directory())
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(path);
}

namespace {

std::string ReadAll(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
    return text;
}

[[noreturn]] void ExecTool(std::vector<char*>& argv, const RunOptions& options) {
    for (const auto& [name, value] : options.env) {
        const bool wines_own = ToolRunsUnderWine() && name == "TMPDIR";
        setenv(wines_own ? "CPL_TMPDIR" : name.c_str(), value.c_str(), 1);
    }
    if (!options.working_dir.empty() && chdir(options.working_dir.c_str()) != 0) _exit(126);
    if (options.file_size_limit >= 0) {
        signal(SIGXFSZ, options.caller_ignores_sigxfsz ? SIG_IGN : SIG_DFL);
        const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                           static_cast<rlim_t>(options.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (options.memory_limit >= 0) {
        const rlimit limit{static_cast<rlim_t>(options.memory_limit),
                           static_cast<rlim_t>(options.memory_limit)};
        setrlimit(RLIMIT_AS, &limit);
    }
    const unsigned nobody = 65534;
    if (options.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
        _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
}

std::string EnvValue(const RunOptions& options, const std::string& name) {
    for (const auto& [key, value] : options.env)
        if (key == name) return value;
    return "";
}

bool StillRunning(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

// Waits until the run has made its working copy in TMPDIR, which it does just before the fill,
// and stops it there (SIGSTOP); then signals it, does what the test does meanwhile, and lets it
// go on (SIGCONT). So the signal is there when the fill begins, however fast the machine.
void SignalWhenFilling(pid_t pid, const RunOptions& options) {
    const std::string dir = EnvValue(options, "TMPDIR");
    for (int tries = 0; tries < 6000 && StillRunning(pid); ++tries) {
        std::error_code error;
        for (const auto& entry : fs::recursive_directory_iterator(dir, error)) {
            if (entry.path().filename() != "band1.scratch") continue;
            kill(pid, SIGSTOP);
            siginfo_t stopped{};
            waitid(P_PID, pid, &stopped, WSTOPPED | WNOWAIT);
            if (options.signal != SIGSTOP) kill(pid, options.signal);
            if (options.while_stopped) options.while_stopped();
            kill(pid, SIGCONT);
            return;
        }
        usleep(10000);
    }
}

// Kills a run that has not ended after 10 minutes, so that a hung run fails its test instead of
// hanging the suite. No run of the suite comes near that, on the slowest machine.
class Deadline {
  public:
    explicit Deadline(pid_t pid)
        : watch_([this, pid] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!ended_.wait_for(lock, std::chrono::minutes(10), [this] { return stopped_; })) {
                  expired_ = true;
                  kill(pid, SIGKILL);
              }
          }) {}
    // Once the run has ended, and before it is reaped, so that its pid is no other process's.
    bool Expired() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        ended_.notify_one();
        watch_.join();
        return expired_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool stopped_ = false;
    bool expired_ = false;
    std::thread watch_;  // last: it starts once the rest is made
};

}  // namespace

bool ToolRunsUnderWine() { return std::string(GAPMEND_LAUNCHER).find("wine") != std::string::npos; }

RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> words{options.binary};
    if (*GAPMEND_LAUNCHER && options.binary == GAPMEND_BINARY)
        words.insert(words.begin(), GAPMEND_LAUNCHER);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), STDOUT_FILENO);
        dup2(fileno(err), STDERR_FILENO);
        for (int output = 1; output <= options.closed_pipes; ++output) {
            int ends[2] = {-1, -1};
            if (pipe(ends) != 0 || dup2(ends[1], output) < 0) _exit(126);
            close(ends[0]);
            close(ends[1]);
        }
        signal(SIGPIPE, SIG_DFL);  // as a shell starts it, whatever the test runner ignores
        ExecTool(argv, options);
    }
    Deadline deadline(pid);
    if (options.signal) SignalWhenFilling(pid, options);
    siginfo_t ended{};
    waitid(P_PID, pid, &ended, WEXITED | WNOWAIT);
    EXPECT_FALSE(deadline.Expired()) << "the run took 10 minutes and was killed";
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    RunResult result{WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1,
                     WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0, ReadAll(out),
                     ReadAll(err)};
    std::fclose(out);
    std::fclose(err);
    return result;
}

std::string CopyOfTool(const TempDir& dir) {
    const std::string copy = dir.Path("gapMend");
    fs::copy_file(GAPMEND_BINARY, copy);
    return copy;
}

std::string FileBytes(const std::string& path) {
    if (!fs::is_regular_file(path)) return "";
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void CopyFile(const std::string& from, const std::string& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

void WriteRaster(const std::string& path, int width, GDALDataType type,
                 const std::vector<double>& values, double nodata, CSLConstList creation_options) {
    const int height = static_cast<int>(values.size()) / width;
    GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
    GDALDatasetUniquePtr dataset(
        gtiff->Create(path.c_str(), width, height, 1, type, const_cast<char**>(creation_options)));
    GDALRasterBand* band = dataset->GetRasterBand(1);
    if (type == GDT_Int64)
        band->SetNoDataValueAsInt64(static_cast<int64_t>(nodata));
    else if (type == GDT_UInt64)
        band->SetNoDataValueAsUInt64(static_cast<uint64_t>(nodata));
    else
        band->SetNoDataValue(nodata);
    if (band->RasterIO(GF_Write, 0, 0, width, height, const_cast<double*>(values.data()), width,
                       height, GDT_Float64, 0, 0, nullptr) != CE_None)
        std::abort();
}

std::vector<GByte> BandBytes(const std::string& path, int band_index) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
    GDALRasterBand* band = dataset->GetRasterBand(band_index);
    const GDALDataType type = band->GetRasterDataType();
    const int width = band->GetXSize(), height = band->GetYSize();
    std::vector<GByte> bytes(static_cast<size_t>(width) * height * GDALGetDataTypeSizeBytes(type));
    if (band->RasterIO(GF_Read, 0, 0, width, height, bytes.data(), width, height, type, 0, 0,
                       nullptr) != CE_None)
        std::abort();
    return bytes;
}

namespace {

void WriteDemOnce(const std::string& path, int size, GDALDataType type,
                  CSLConstList creation_options, int bands, double nodata) {
    CPLStringList options(creation_options);
    options.SetNameValue("TILED", "YES");
    GDALDatasetUniquePtr dataset(GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        path.c_str(), size, size, bands, type, options.List()));
    std::vector<double> row(size);
    for (int band = 1; band <= bands; ++band) {
        if (type == GDT_Byte) nodata = 0;
        const double scale = type == GDT_Byte ? 0.25 : 1;
        dataset->GetRasterBand(band)->SetNoDataValue(nodata);
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x)
                row[x] =
                    (x % 97 < 30 && y % 89 < 30)
                        ? nodata
                        : scale * (500 + 100 * std::sin(x / 50.0) + 80 * std::cos(y / 70.0) + band);
            if (dataset->GetRasterBand(band)->RasterIO(GF_Write, 0, y, size, 1, row.data(), size, 1,
                                                       GDT_Float64, 0, 0, nullptr) != CE_None)
                std::abort();
        }
    }
}

}  // namespace

void WriteDem(const std::string& path, int size, GDALDataType type, CSLConstList creation_options,
              int bands, double nodata) {
    // Each DEM is made once in a test program; the same one asked again is a copy of the first.
    static TempDir made;
    static std::map<std::string, std::string> files;
    std::string key = std::to_string(size) + " " + GDALGetDataTypeName(type) + " " +
                      std::to_string(bands) + " " + CPLSPrintf("%.17g", nodata);
    for (CSLConstList option = creation_options; option && *option; ++option)
        key += std::string(" ") + *option;
    auto file = files.find(key);
    if (file == files.end()) {
        const std::string first = made.Path("dem" + std::to_string(files.size()) + ".tif");
        WriteDemOnce(first, size, type, creation_options, bands, nodata);
        file = files.emplace(key, first).first;
    }
    CopyFile(file->second, path);
}

void FillDirectly(const std::string& path, double max_search_radius, bool copy_mask) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_UPDATE));
    if (!dataset) std::abort();  // a COG, say, which GDAL 3.7 and later open for reading only
    GDALRasterBand* band = dataset->GetRasterBand(1);
    const int width = band->GetXSize(), height = band->GetYSize();
    GDALDatasetUniquePtr copy(GetGDALDriverManager()->GetDriverByName("MEM")->Create(
        "", width, height, 1, GDT_Byte, nullptr));
    std::vector<GByte> valid(static_cast<size_t>(width) * height);
    if (copy_mask &&
        (band->GetMaskBand()->RasterIO(GF_Read, 0, 0, width, height, valid.data(), width, height,
                                       GDT_Byte, 0, 0, nullptr) != CE_None ||
         copy->GetRasterBand(1)->RasterIO(GF_Write, 0, 0, width, height, valid.data(), width,
                                          height, GDT_Byte, 0, 0, nullptr) != CE_None))
        std::abort();
    GDALRasterBand* mask = copy_mask ? copy->GetRasterBand(1) : band->GetMaskBand();
    GDALFillNodata(band, mask, max_search_radius, 0, 3, nullptr, nullptr, nullptr);
}
