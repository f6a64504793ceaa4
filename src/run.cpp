// gapMend: fills the gaps (no-data pixels) of band 1 of a raster file in place.
//
//   gapMend <dataset> <max search radius>
//
// Exit status: 0 when the filled band is in the file; 1 after the usage text; 2 when the file
// cannot be filled at all (left untouched); 3 when the fill or the write-back failed.

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include <cpl_error.h>
#include <gdal_priv.h>

#include "gap_fill.h"
#include "report.h"

namespace {

enum ExitStatus { kDone = 0, kUsage = 1, kRefused = 2, kFailed = 3 };

void PrintUsage() {
    std::cerr << "Usage: gapMend tiffilename.tif\n"
                 "Dataset should be path to dataset *.tif file\n"
                 "Enter number between 100-500 for Max Search Radius.  Example: 250\n"
                 "Example usage: gapMend.exe D:/path/to/myfile.tif 250\n"
              << std::endl;
}

// The one way the tool reports its own errors: a single line on standard error.
int Fail(ExitStatus status, const std::string& message) {
    std::fprintf(stderr, "gapMend: %s\n", message.c_str());
    return status;
}

std::string Quoted(const char* path) { return "'" + std::string(path) + "'"; }

// Why the dataset cannot be filled at all, or an empty text when it can.
std::string Refusal(GDALDataset& dataset, const char* path) {
    if (dataset.GetRasterCount() < 1) return Quoted(path) + " has no raster band";
    const GDALDataType type = dataset.GetRasterBand(1)->GetRasterDataType();
    if (GDALDataTypeIsComplex(type))
        return std::string("complex pixel type ") + GDALGetDataTypeName(type) +
               " cannot be filled in " + Quoted(path);
    return "";
}

// Closing writes the filled band back. GDAL's close returns nothing, so a failed write is seen
// in GDAL's error state, cleared just before.
bool CloseDataset(GDALDatasetUniquePtr dataset) {
    CPLErrorReset();
    dataset.reset();
    return CPLGetLastErrorType() < CE_Failure;
}

int ElapsedSeconds(std::chrono::steady_clock::time_point start) {
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        PrintUsage();
        return kUsage;
    }
    const auto start = std::chrono::steady_clock::now();
    GDALAllRegister();
    const int max_search_radius = ParseMaxSearchRadius(argv[2]);
    const char* path = argv[1];

    GDALDatasetUniquePtr dataset(GDALDataset::FromHandle(GDALOpen(path, GA_Update)));
    if (!dataset) return Fail(kRefused, "cannot open " + Quoted(path) + " for update");
    const std::string refusal = Refusal(*dataset, path);
    if (!refusal.empty()) return Fail(kRefused, refusal);

    PrintDatasetReport(*dataset);
    const bool filled = FillBandGaps(*dataset, max_search_radius) == CE_None;
    const bool written = CloseDataset(std::move(dataset));
    std::printf("\nProcessing time is: %d seconds\n", ElapsedSeconds(start));

    if (!filled) return Fail(kFailed, "filling band 1 of " + Quoted(path) + " failed");
    if (!written) return Fail(kFailed, "writing " + Quoted(path) + " back failed");
    return kDone;
}
