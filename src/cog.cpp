#include "cog.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <cpl_conv.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_priv.h>

#include "config_option.h"
#include "message.h"
#include "overview_method.h"
#include "temp_dir.h"

namespace {

long long FileSize(const std::string& path) {
    VSIStatBufL stat{};
    return VSIStatL(path.c_str(), &stat) == 0 ? static_cast<long long>(stat.st_size) : -1;
}

// The COG driver's options that make the file again as it was made.
CPLStringList CogOptions(GDALDataset& dataset) {
    CPLStringList options;
    GDALRasterBand* band = dataset.GetRasterBand(1);
    for (const char* item : {"COMPRESSION", "PREDICTOR"}) {
        const char* value = dataset.GetMetadataItem(item, "IMAGE_STRUCTURE");
        if (value) options.SetNameValue(EQUAL(item, "COMPRESSION") ? "COMPRESS" : item, value);
    }
    int width = 0, height = 0;
    band->GetBlockSize(&width, &height);
    options.SetNameValue("BLOCKSIZE", std::to_string(width).c_str());
    const int levels = band->GetOverviewCount();
    options.SetNameValue("OVERVIEWS", levels > 0 ? "IGNORE_EXISTING" : "NONE");
    if (levels > 0) options.SetNameValue("OVERVIEW_COUNT", std::to_string(levels).c_str());
    const std::string method = OverviewMethod(*band);
    if (!method.empty()) options.SetNameValue("RESAMPLING", method.c_str());
    return options;
}

// Copies `from` over `to`, through the guard that journals what it overwrites, and cuts `to`
// to its length.
bool CopyOver(const std::string& from, const std::string& to) {
    VSILFILE* in = VSIFOpenL(from.c_str(), "rb");
    VSILFILE* out = in ? VSIFOpenL(to.c_str(), "r+b") : nullptr;
    std::vector<GByte> chunk(4 << 20);
    bool copied = out != nullptr;
    vsi_l_offset length = 0;
    while (copied) {
        const size_t got = VSIFReadL(chunk.data(), 1, chunk.size(), in);
        copied = VSIFWriteL(chunk.data(), 1, got, out) == got;
        length += got;
        if (got < chunk.size()) break;
    }
    copied = copied && VSIFTruncateL(out, length) == 0;
    if (out) copied = VSIFCloseL(out) == 0 && copied;
    if (in) VSIFCloseL(in);
    return copied;
}

}  // namespace

CPLStringList OpenOptionsForUpdate(const std::string& file) {
    CPLStringList options;
    GDALDriverH driver = GDALIdentifyDriverEx(file.c_str(), GDAL_OF_RASTER, nullptr, nullptr);
    const char* known =
        driver ? GDALGetMetadataItem(driver, GDAL_DMD_OPENOPTIONLIST, nullptr) : nullptr;
    if (known && std::strstr(known, "'IGNORE_COG_LAYOUT_BREAK'"))
        options.SetNameValue("IGNORE_COG_LAYOUT_BREAK", "YES");
    return options;
}

std::vector<std::string> CogLayoutWarnings() {
    return {"A strile cannot be rewritten in place, which invalidates the BLOCK_ORDER optimization",
            "This file used to have optimizations in its layout, but those have been",
            "The IFD has been rewritten at the end of the file, which breaks COG layout"};
}

bool IsCog(GDALDataset& dataset) {
    const char* layout = dataset.GetMetadataItem("LAYOUT", "IMAGE_STRUCTURE");
    return layout && EQUAL(layout, "COG");
}

std::string NoRoomForCog(const std::string& file, const std::string& name) {
    // The new COG is about as large as the old one, and the journal holds all of the old one.
    const long long size = FileSize(file);
    const std::string parent = PrivateTempDir::Parent();
    const GIntBig temp_free = VSIGetDiskFreeSpace(parent.c_str());
    const GIntBig beside_free = VSIGetDiskFreeSpace(CPLGetPath(file.c_str()));
    const long long temp_needed = size + size / 4, beside_needed = 2 * size;
    if ((temp_free < 0 || temp_free >= temp_needed) &&
        (beside_free < 0 || beside_free >= beside_needed))
        return "";
    return "no room to rewrite " + Quoted(name) + " as a COG: it needs " + Megabytes(temp_needed) +
           " in " + Quoted(parent) + " (" + Megabytes(std::max<GIntBig>(temp_free, 0)) +
           " free) and " + Megabytes(beside_needed) +
           " beside the file for the new COG and its journal (" +
           Megabytes(std::max<GIntBig>(beside_free, 0)) + " free); the file is as it was";
}

bool RewriteAsCog(const std::string& file, const std::string& name, std::string& why) {
    const PrivateTempDir dir(PrivateTempDir::Parent());
    const std::string cog = dir.path() + "/cog.tif";
    bool made = false;
    if (!dir.path().empty()) {
        const ScopedConfigOption temp_files("CPL_TMPDIR", dir.path());
        GDALDatasetUniquePtr filled(GDALDataset::Open(file.c_str(), GDAL_OF_RASTER));
        GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("COG");
        if (filled && driver) {
            const CPLStringList options = CogOptions(*filled);
            made =
                GDALDatasetUniquePtr(driver->CreateCopy(
                    cog.c_str(), filled.get(), FALSE, options.List(), nullptr, nullptr)) != nullptr;
        }
    }
    if (made && CopyOver(cog, file)) {
        VSIUnlink(cog.c_str());
        return true;
    }
    why = "cannot rewrite " + Quoted(name) + " as a COG: " + CPLGetLastErrorMsg();
    VSIUnlink(cog.c_str());
    return false;
}
