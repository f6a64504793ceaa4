// After a fill the whole file agrees with its filled band: its overviews are what GDAL's gdaladdo
// builds from the filled band with the method that made them, and those that no method explains
// stay as they were, with a line that says so.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace {

// A DEM in decimetres with a few voids: one across the blocks' corners in the middle, one on the
// left edge and one in the bottom right corner, so that some of every level stays as it was. Its
// repeated values tell the methods apart (nearest from mode, say) where the fill did not reach.
// With a `step`, its valid values are alike in each step x step square.
void WriteVoidedDem(const std::string& path, int size, const std::vector<std::string>& options,
                    int step = 1) {
    std::vector<double> values(size_t(size) * size);
    const auto in_void = [size](int x, int y) {
        const int middle = size / 2;
        return (std::abs(x - middle) < 30 && std::abs(y - middle) < 25) ||
               (x < 20 && y > 50 && y < 80) || (x > size - 30 && y > size - 20);
    };
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            values[size_t(y) * size + x] =
                in_void(x, y) ? -9999
                              : std::round(5000 + 1000 * std::sin(x / step / 13.0) +
                                           800 * std::cos(y / step / 17.0) +
                                           (x / step * 7 + y / step * 3) % 11) /
                                    10;
    std::vector<const char*> list;
    for (const std::string& option : options) list.push_back(option.c_str());
    list.push_back(nullptr);
    WriteRaster(path, size, GDT_Float32, values, -9999, list.data());
}

int Gdaladdo(const std::string& arguments) {
    return std::system(("gdaladdo -q " + arguments + " >/dev/null 2>&1").c_str());
}

// Every overview of band 1, in order, byte for byte.
std::vector<std::vector<GByte>> OverviewBytes(const std::string& path) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
    GDALRasterBand* band = dataset->GetRasterBand(1);
    std::vector<std::vector<GByte>> levels;
    for (int i = 0; i < band->GetOverviewCount(); ++i) {
        GDALRasterBand* overview = band->GetOverview(i);
        const int w = overview->GetXSize(), h = overview->GetYSize();
        levels.emplace_back(size_t(w) * h * sizeof(float));
        if (overview->RasterIO(GF_Read, 0, 0, w, h, levels.back().data(), w, h, GDT_Float32, 0,
                               0, nullptr) != CE_None)
            std::abort();
    }
    return levels;
}

// How many pixels of each overview differ between two files.
std::vector<size_t> Differences(const std::string& path, const std::string& other) {
    const std::vector<std::vector<GByte>> a = OverviewBytes(path), b = OverviewBytes(other);
    std::vector<size_t> counts;
    for (size_t k = 0; k < std::max(a.size(), b.size()); ++k) {
        counts.push_back(k < a.size() && k < b.size() && a[k].size() == b[k].size() ? 0 : 1);
        for (size_t at = 0; counts.back() == 0 && at < a[k].size(); at += sizeof(float))
            counts.back() += std::memcmp(&a[k][at], &b[k][at], sizeof(float)) != 0;
    }
    return counts;
}

struct Layout {
    const char* name;
    std::vector<std::string> creation_options;
    const char* overview_options;  // gdaladdo's, "-ro" for a .ovr
    int size;
    // gdal_translate's options that mark the voids by a mask of their own instead of the no-data
    // value: a per-dataset mask, or an alpha band (which GDAL takes for a mask on UInt16 or Byte).
    const char* mask = "";
    const char* format = "GTiff";  // another format's overviews are its own, or a .ovr
    const char* extension = "tif";
};

const Layout kLayouts[] = {
    {"tiled", {"TILED=YES", "COMPRESS=DEFLATE"}, "", 512},
    {"striped", {"COMPRESS=DEFLATE"}, "", 512},
    {"ovr", {"TILED=YES"}, "-ro", 512},
    {"ovr-deflate", {"TILED=YES"}, "-ro --config COMPRESS_OVERVIEW DEFLATE", 512},
    {"undivided", {"TILED=YES"}, "", 501},
    // Rows of tiles far apart: a level whose rows the write-back does not all reach.
    {"sparse", {"TILED=YES", "COMPRESS=DEFLATE"}, "", 2048},
    {"mask", {"TILED=YES"}, "", 512, "-mask 1 --config GDAL_TIFF_INTERNAL_MASK YES"},
    {"ovr-mask", {"TILED=YES"}, "-ro", 512, "-mask 1 --config GDAL_TIFF_INTERNAL_MASK YES"},
    {"alpha", {"TILED=YES"}, "", 512, "-ot UInt16 -b 1 -b mask -colorinterp_2 alpha -co ALPHA=YES"},
    {"hfa", {}, "", 512, "", "HFA", "img"},
    {"envi-ovr", {}, "", 512, "", "ENVI", "bin"},
};

// The DEM of `layout` at `path`, in its format, its voids marked as the layout says.
void WriteLayout(const Layout& layout, const std::string& path) {
    const bool tiff = std::string(layout.format) == "GTiff";
    if (!*layout.mask && tiff) return WriteVoidedDem(path, layout.size, layout.creation_options);
    const std::string source = path + ".source.tif";
    WriteVoidedDem(source, layout.size, {});
    std::string command = std::string("gdal_translate -q -of ") + layout.format;
    if (*layout.mask) command += std::string(" -a_nodata none ") + layout.mask;
    for (const std::string& option : layout.creation_options) command += " -co " + option;
    if (std::system((command + " " + source + " " + path).c_str()) != 0) std::abort();
    std::remove(source.c_str());
    std::remove((path + ".aux.xml").c_str());
}

// Every file of the dataset at `from` (its .ovr and header too) copied to the name `to`.
void CopyDataset(const std::string& from, const std::string& to) {
    GDALDriverH driver = GDALIdentifyDriver(from.c_str(), nullptr);
    if (!driver || GDALCopyDatasetFiles(driver, to.c_str(), from.c_str()) != CE_None) std::abort();
}
const char* const kMethods[] = {"average", "cubic", "nearest", "lanczos", "bilinear"};

}  // namespace

TEST(Overviews, AreWhatGdaladdoBuildsFromTheFilledBand) {
    for (const Layout& layout : kLayouts) {
        for (const char* method : kMethods) {
            SCOPED_TRACE(std::string(layout.name) + " " + method);
            const TempDir dir;
            const std::string path = dir.Path(std::string("dem.") + layout.extension);
            const std::string oracle = dir.Path(std::string("oracle.") + layout.extension);
            WriteLayout(layout, path);
            const std::string options = std::string(layout.overview_options) + " -r " + method;
            ASSERT_EQ(Gdaladdo(options + " " + path + " 2 4 8"), 0);
            CopyDataset(path, oracle);

            const RunResult run = RunTool({path, "100"});
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.err, "");
            // A mask of its own still hides the filled pixels from every method but nearest.
            if (!*layout.mask || std::string(method) == "nearest") {
                ASSERT_NE(Differences(path, oracle), std::vector<size_t>(3, 0));  // as it was
            }
            CopyDataset(path, oracle);
            ASSERT_EQ(Gdaladdo(options + " " + oracle + " 2 4 8"), 0);
            EXPECT_EQ(Differences(path, oracle), std::vector<size_t>(3, 0));
        }
    }
}

// Overviews that no method explains (level 1 shifted by a metre) are left as they are, inside the
// file or in a .ovr, which stays byte for byte as it was; and so are those that several methods
// explain but that these would refresh each in its own way: where every 8 x 8 square is alike,
// nearest, average and mode all make the same overviews, but not of the filled pixels.
TEST(Overviews, ThatNoMethodExplainsStayAsTheyWereWithALine) {
    struct Case {
        const char* ro;  // gdaladdo's option for a .ovr
        bool shifted;
        int step;
        const char* line;
    };
    const Case cases[] = {
        {"", true, 1, "no resampling method reproduces them; gdaladdo -r average"},
        {"-ro ", true, 1, "no resampling method reproduces them; gdaladdo -ro -r average"},
        {"", false, 8, "the methods that reproduce them disagree over the filled pixels; "
                       "gdaladdo -r average"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const bool external = *c.ro != 0;
        const TempDir dir;
        const std::string path = dir.Path("dem.tif"), ovr = path + ".ovr";
        WriteVoidedDem(path, 512, {"TILED=YES"}, c.step);
        ASSERT_EQ(Gdaladdo(std::string(c.ro) + "-r average " + path + " 2 4 8"), 0);
        if (c.shifted) {
            // Level 1 is the first overview of the file, or the first band of the .ovr.
            GDALDatasetUniquePtr dataset(GDALDataset::Open((external ? ovr : path).c_str(),
                                                           GDAL_OF_RASTER | GDAL_OF_UPDATE));
            GDALRasterBand* band = dataset->GetRasterBand(1);
            GDALRasterBand* overview = external ? band : band->GetOverview(0);
            std::vector<float> values(256 * 256);
            ASSERT_EQ(overview->RasterIO(GF_Read, 0, 0, 256, 256, values.data(), 256, 256,
                                         GDT_Float32, 0, 0, nullptr), CE_None);
            for (float& value : values) value += 1;
            ASSERT_EQ(overview->RasterIO(GF_Write, 0, 0, 256, 256, values.data(), 256, 256,
                                         GDT_Float32, 0, 0, nullptr), CE_None);
        }
        const std::vector<std::vector<GByte>> before = OverviewBytes(path);
        const std::string ovr_before = external ? FileBytes(ovr) : "";
        const RunResult run = RunTool({path, "100"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "gapMend: the overviews of '" + path + "' still show the old band 1, as " +
                               c.line + " '" + path + "' 2 4 8 rebuilds them\n");
        EXPECT_EQ(OverviewBytes(path), before);
        if (external) {
            EXPECT_TRUE(FileBytes(ovr) == ovr_before);
        }
    }
}

namespace {

const char* const kStatisticsItems[] = {"STATISTICS_APPROXIMATE", "STATISTICS_VALID_PERCENT"};

// Band 1's stored statistics, as text, as the driver hands them out without computing them (EHdr
// keeps its .stx's out of the metadata), and its stored default histogram (empty when none).
std::vector<std::string> StoredStatistics(const std::string& path) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
    GDALRasterBand* band = dataset->GetRasterBand(1);
    std::vector<std::string> stored;
    double values[4] = {};
    if (band->GetStatistics(TRUE, FALSE, &values[0], &values[1], &values[2], &values[3]) ==
        CE_None)
        for (const double value : values) stored.push_back(CPLSPrintf("%.17g", value));
    for (const char* item : kStatisticsItems) {
        const char* value = band->GetMetadataItem(item);
        stored.push_back(value ? value : "");
    }
    double min = 0, max = 0;
    int buckets = 0;
    GUIntBig* counts = nullptr;
    if (band->GetDefaultHistogram(&min, &max, &buckets, &counts, FALSE, nullptr, nullptr) ==
        CE_None) {
        stored.push_back(std::to_string(min) + " " + std::to_string(max));
        for (int i = 0; i < buckets; ++i) stored.push_back(std::to_string(counts[i]));
    }
    VSIFree(counts);
    return stored;
}

// What GDAL computes on a copy of the filled dataset, stored the same way, with the buckets of
// the histogram that `histogram_of` stores.
std::vector<std::string> FreshStatistics(const std::string& copy, bool approx,
                                         const std::string& histogram_of) {
    {
        GDALDatasetUniquePtr dataset(GDALDataset::Open(copy.c_str(), GDAL_OF_RASTER));
        GDALRasterBand* band = dataset->GetRasterBand(1);
        double min = 0, max = 0, mean = 0, deviation = 0;
        EXPECT_EQ(band->ComputeStatistics(approx, &min, &max, &mean, &deviation, nullptr, nullptr),
                  CE_None);
        GDALDatasetUniquePtr original(GDALDataset::Open(histogram_of.c_str(), GDAL_OF_RASTER));
        int buckets = 0;
        GUIntBig* stored = nullptr;
        if (original->GetRasterBand(1)->GetDefaultHistogram(&min, &max, &buckets, &stored, FALSE,
                                                            nullptr, nullptr) == CE_None) {
            std::vector<GUIntBig> counts(buckets);
            EXPECT_EQ(band->GetHistogram(min, max, buckets, counts.data(), TRUE, FALSE, nullptr,
                                         nullptr), CE_None);
            band->SetDefaultHistogram(min, max, buckets, counts.data());
        }
        VSIFree(stored);
    }
    return StoredStatistics(copy);
}

// Where the statistics are kept, and how they were made: by gdalinfo, or (where `gdalinfo` is
// empty) by GDAL with the file open for update, which puts them in the GDAL_METADATA tag.
struct StatisticsCase {
    const char* name;
    const char* format;  // "GTiff", with 3 overview levels, or "EHdr"
    const char* gdalinfo;
    const char* kept_in;  // the side-car that holds them, beside dem.<extension>, or "" for none
    bool approx;
};
const StatisticsCase kStatisticsCases[] = {
    {"exact, with a histogram", "GTiff", "-stats -hist", "dem.tif.aux.xml", false},
    {"in the GDAL_METADATA tag", "GTiff", "", "", false},
    {"in EHdr's .stx", "EHdr", "-stats", "dem.stx", false},
    {"approximate, from the overviews", "GTiff", "-approx_stats", "dem.tif.aux.xml", true},
};

// A voided DEM in `c`'s format at `path`, with its statistics made as `c` says.
void WriteDemWithStatistics(const StatisticsCase& c, const std::string& path) {
    const bool tiff = std::string(c.format) == "GTiff";
    const std::string tif = tiff ? path : path + ".source.tif";
    WriteVoidedDem(tif, 512, {"TILED=YES"});
    if (tiff) {
        ASSERT_EQ(Gdaladdo("-r average " + path + " 2 4 8"), 0);
    } else {
        ASSERT_EQ(std::system(("gdal_translate -q -of EHdr " + tif + " " + path).c_str()), 0);
        std::remove(tif.c_str());
        std::remove((path + ".aux.xml").c_str());
    }
    if (*c.gdalinfo) {
        const std::string gdalinfo = std::string("gdalinfo ") + c.gdalinfo + " " + path;
        ASSERT_EQ(std::system((gdalinfo + " >/dev/null 2>&1").c_str()), 0);
        return;
    }
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_UPDATE));
    double min = 0, max = 0, mean = 0, deviation = 0;
    ASSERT_EQ(dataset->GetRasterBand(1)->ComputeStatistics(FALSE, &min, &max, &mean, &deviation,
                                                           nullptr, nullptr),
              CE_None);
}

}  // namespace

// Statistics, wherever they are kept, are what GDAL computes on the filled band.
TEST(Statistics, AreThoseOfTheFilledBand) {
    for (const StatisticsCase& c : kStatisticsCases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        const bool tiff = std::string(c.format) == "GTiff";
        const std::string path = dir.Path(tiff ? "dem.tif" : "dem.bil");
        const std::string copy = dir.Path(tiff ? "copy.tif" : "copy.bil");
        ASSERT_NO_FATAL_FAILURE(WriteDemWithStatistics(c, path));
        const auto expect_kept_where_they_were = [&] {
            for (const char* side_car : {"dem.tif.aux.xml", "dem.stx"}) {
                EXPECT_EQ(std::filesystem::exists(dir.Path(side_car)),
                          std::string(c.kept_in) == side_car)
                    << side_car;
            }
        };
        expect_kept_where_they_were();
        const std::vector<std::string> before = StoredStatistics(path);
        ASSERT_GT(before.size(), 4u);
        ASSERT_NE(before[2], "");

        const RunResult run = RunTool({path, "100"});
        ASSERT_EQ(run.status, 0) << run.err;
        expect_kept_where_they_were();
        GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(c.format);
        ASSERT_EQ(GDALCopyDatasetFiles(driver, copy.c_str(), path.c_str()), CE_None);
        const std::vector<std::string> after = StoredStatistics(path);
        EXPECT_NE(after, before);
        EXPECT_EQ(after, FreshStatistics(copy, c.approx, path));
    }
}

// A lossy codec re-encodes the blocks written back, valid pixels and all: said, and filled.
TEST(LossyCodec, IsSaidBeforeTheWriteBack) {
    const TempDir dir;
    const std::string path = dir.Path("dem.tif");
    const char* options[] = {"COMPRESS=JPEG", nullptr};
    WriteDem(path, 300, GDT_Byte, options);
    const RunResult run = RunTool({path, "100"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "gapMend: '" + path + "' is compressed with JPEG, a lossy codec: the valid "
                       "pixels of every block written back change by its error\n");
}

// A COG stays a COG: GDAL's validator passes it after the fill, and it is what GDAL's COG driver
// makes of the filled band, overviews and all.
TEST(Cog, StaysAValidCogOfTheFilledBand) {
    const std::vector<std::vector<std::string>> cases = {
        {}, {"-co", "RESAMPLING=AVERAGE", "-co", "BLOCKSIZE=128", "-co", "COMPRESS=DEFLATE"}};
    for (const std::vector<std::string>& options : cases) {
        std::string co;
        for (const std::string& option : options) co += " " + option;
        SCOPED_TRACE(co);
        const TempDir dir;
        const std::string source = dir.Path("source.tif"), path = dir.Path("dem.tif");
        const std::string expected = dir.Path("expected.tif"), fresh = dir.Path("fresh.tif");
        WriteVoidedDem(source, 600, {"TILED=YES"});
        ASSERT_EQ(std::system(("gdal_translate -q -of COG" + co + " " + source + " " + path).c_str()),
                  0);
        CopyFile(source, expected);  // the COG's band in a plain GTiff, which GDAL fills in place
        FillDirectly(expected, 100);

        const RunResult run = RunTool({path, "100"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");  // nor GDAL's warnings that the layout breaks on the way
        EXPECT_EQ(std::system(("/usr/bin/python3 -m osgeo_utils.samples."
                               "validate_cloud_optimized_geotiff -q " + path).c_str()),
                  0);
        EXPECT_TRUE(BandBytes(path) == BandBytes(expected));
        ASSERT_EQ(std::system(("gdal_translate -q -of COG" + co + " " + path + " " + fresh).c_str()),
                  0);
        EXPECT_GT(OverviewBytes(path).size(), 0u);
        EXPECT_TRUE(OverviewBytes(path) == OverviewBytes(fresh));
    }
}
