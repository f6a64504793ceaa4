#include "support.h"

#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

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
    if (!options.working_dir.empty() && chdir(options.working_dir.c_str()) != 0) _exit(126);
    if (options.file_size_limit >= 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                           static_cast<rlim_t>(options.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    const unsigned nobody = 65534;
    if (options.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
        _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
}

}  // namespace

RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> words{options.binary};
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
        ExecTool(argv, options);
    }
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    RunResult result{WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1, ReadAll(out),
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

std::vector<GByte> BandBytes(const std::string& path) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
    GDALRasterBand* band = dataset->GetRasterBand(1);
    const GDALDataType type = band->GetRasterDataType();
    const int width = band->GetXSize(), height = band->GetYSize();
    std::vector<GByte> bytes(static_cast<size_t>(width) * height * GDALGetDataTypeSizeBytes(type));
    if (band->RasterIO(GF_Read, 0, 0, width, height, bytes.data(), width, height, type, 0, 0,
                       nullptr) != CE_None)
        std::abort();
    return bytes;
}

void FillDirectly(const std::string& path, double max_search_radius) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_UPDATE));
    GDALRasterBand* band = dataset->GetRasterBand(1);
    GDALFillNodata(band, band->GetMaskBand(), max_search_radius, 0, 3, nullptr, nullptr, nullptr);
}
