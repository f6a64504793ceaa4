// What the fill does to the pixels: exactly what the library's own call does to the gaps, and
// nothing at all to the valid pixels, whatever the pixel type.
#include <algorithm>
#include <cstdlib>
#include <cmath>
#include <filesystem>
#include <iterator>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "support.h"

TEST(Fill, MatchesTheLibrarysOwnCallForEveryRadiusText) {
    TempDir dir;
    const std::string path = dir.Path("dem with spaces é.tif");
    const std::string expected = dir.Path("expected.tif");
    const std::vector<std::pair<std::vector<std::string>, double>> runs = {
        {{"250"}, 250},
        {{"250xyz"}, 250},
        {{"12", "ignored", "extra"}, 12},
        {{"abc"}, 0},
        {{"-5"}, -5},
        {{"-2147483649"}, -2147483648.0},
        {{"99999999999999999999"}, 2147483647.0}};
    for (const auto& [radius_args, radius] : runs) {
        CopyFile(SAMPLE_DEM, path);
        CopyFile(SAMPLE_DEM, expected);
        std::vector<std::string> args{path};
        args.insert(args.end(), radius_args.begin(), radius_args.end());
        const RunResult run = RunTool(args);
        EXPECT_EQ(run.status, 0) << radius_args[0];
        EXPECT_EQ(run.err, "");
        FillDirectly(expected, radius);
        EXPECT_TRUE(BandBytes(path) == BandBytes(expected)) << radius_args[0];
    }
}

namespace {

struct TypeCase {
    GDALDataType type;
    double valid;   // a value that a float cannot hold, where the type allows one
    double step;    // the smallest difference between neighbours the type still tells apart
    double nodata;  // far from the valid values, and where the type allows, not a float either
};

void PrintTo(const TypeCase& c, std::ostream* out) { *out << GDALGetDataTypeName(c.type); }

}  // namespace

class ExactPixels : public ::testing::TestWithParam<TypeCase> {};

// A 60 x 40 ramp with a 2 x 2 hole that the fill reaches and a 30 x 30 void whose middle lies
// beyond the radius of 3, so that it stays a gap.
TEST_P(ExactPixels, ValidPixelsAndUnreachedGapsKeepTheirBits) {
    const TypeCase c = GetParam();
    const int width = 60, height = 40, radius = 3;
    const auto in_void = [](int x, int y) { return x >= 25 && x < 55 && y >= 5 && y < 35; };
    const auto in_hole = [](int x, int y) { return x >= 5 && x < 7 && y >= 5 && y < 7; };
    std::vector<double> values;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            values.push_back(in_void(x, y) || in_hole(x, y) ? c.nodata
                                                            : c.valid + c.step * (x % 7 + y % 5));
    TempDir dir;
    const std::string path = dir.Path("typed.tif");
    const std::string expected = dir.Path("expected.tif");
    WriteRaster(path, width, c.type, values, c.nodata);
    CopyFile(path, expected);
    const std::vector<GByte> before = BandBytes(path);

    ASSERT_EQ(RunTool({path, std::to_string(radius)}).status, 0);
    FillDirectly(expected, radius);
    const std::vector<GByte> after = BandBytes(path);
    const std::vector<GByte> library = BandBytes(expected);

    const size_t size = GDALGetDataTypeSizeBytes(c.type);
    const auto pixel = [size, width](const std::vector<GByte>& bytes, int x, int y) {
        return std::vector<GByte>(&bytes[(y * width + x) * size],
                                  &bytes[(y * width + x + 1) * size]);
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool void_edge = in_void(x, y) && (x == 25 || x == 54 || y == 5 || y == 34);
            const bool void_middle =
                x > 25 + radius && x < 54 - radius && y > 5 + radius && y < 34 - radius;
            if (in_hole(x, y) || void_edge) {
                EXPECT_EQ(pixel(after, x, y), pixel(library, x, y)) << x << "," << y;
                EXPECT_NE(pixel(after, x, y), pixel(before, x, y)) << x << "," << y;
            } else if (!in_void(x, y) || void_middle) {
                ASSERT_EQ(pixel(after, x, y), pixel(before, x, y)) << x << "," << y;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryRealType, ExactPixels,
    ::testing::Values(TypeCase{GDT_Byte, 100, 1, 0}, TypeCase{GDT_UInt16, 60000, 1, 65535},
                      TypeCase{GDT_Int16, -1000, 1, -32768},
                      TypeCase{GDT_Float32, 1234.5f, 0.25, -9999},
                      TypeCase{GDT_Int32, 16777217, 1, -2147483647},
                      TypeCase{GDT_UInt32, 4000000001.0, 1, 4294967001.0},
                      TypeCase{GDT_Int64, 9007199254740994.0, 2, -9007199254740994.0},
                      TypeCase{GDT_UInt64, 18014398509481988.0, 4, 36028797018963976.0},
                      TypeCase{GDT_Float64, 1234.56789012345, 1e-7, -9999.123456789},
                      TypeCase{GDT_Float64, 1234.56789012345, 1e-7, std::nan("")}),
    [](const ::testing::TestParamInfo<TypeCase>& info) {
        return std::string(GDALGetDataTypeName(info.param.type)) +
               (std::isnan(info.param.nodata) ? "NaN" : "");
    });

namespace {

// Band 1 with each kind of mask GDAL knows, made the same way in two places, so that one file
// can be filled by gapMend and the other by the library's own call. The alpha band is 0 where
// band 1 holds its void value.
void WithAlphaBand(const std::string& path, GDALDataType type, int bands, const char* photometric) {
    const char* options[] = {"ALPHA=YES", photometric, nullptr};
    WriteDem(path, 300, type, options, bands);  // GDAL takes only Byte and UInt16 for alpha
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_UPDATE));
    GDALRasterBand& values = *dataset->GetRasterBand(1);
    for (int band = 1; band <= bands; ++band) dataset->GetRasterBand(band)->DeleteNoDataValue();
    std::vector<float> row(300);
    std::vector<GByte> alpha(300);
    for (int y = 0; y < 300; ++y) {
        if (values.RasterIO(GF_Read, 0, y, 300, 1, row.data(), 300, 1, GDT_Float32, 0, 0,
                            nullptr) != CE_None)
            std::abort();
        for (int x = 0; x < 300; ++x) alpha[x] = row[x] == 0 ? 0 : 255;  // -9999 clamped to 0
        if (dataset->GetRasterBand(bands)->RasterIO(GF_Write, 0, y, 300, 1, alpha.data(), 300, 1,
                                                    GDT_Byte, 0, 0, nullptr) != CE_None)
            std::abort();
    }
}

void WithUInt16Alpha(const std::string& path) { WithAlphaBand(path, GDT_UInt16, 2, nullptr); }
void WithRgba(const std::string& path) { WithAlphaBand(path, GDT_Byte, 4, "PHOTOMETRIC=RGB"); }

// A per-dataset mask that covers a square of valid pixels, inside the file or beside it.
void WithDatasetMask(const std::string& path, GDALDataType type, const char* internal) {
    CPLSetThreadLocalConfigOption("GDAL_TIFF_INTERNAL_MASK", internal);
    WriteDem(path, 300, type);
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_UPDATE));
    dataset->GetRasterBand(1)->DeleteNoDataValue();
    if (dataset->CreateMaskBand(GMF_PER_DATASET) != CE_None) std::abort();
    GDALRasterBand& mask = *dataset->GetRasterBand(1)->GetMaskBand();
    std::vector<GByte> valid(300 * 300, 255);
    for (int y = 100; y < 140; ++y)
        for (int x = 120; x < 150; ++x) valid[y * 300 + x] = 0;
    if (mask.RasterIO(GF_Write, 0, 0, 300, 300, valid.data(), 300, 300, GDT_Byte, 0, 0, nullptr) !=
        CE_None)
        std::abort();
    CPLSetThreadLocalConfigOption("GDAL_TIFF_INTERNAL_MASK", nullptr);
}

void WithInt16InternalMask(const std::string& path) { WithDatasetMask(path, GDT_Int16, "YES"); }
void WithFloat32InternalMask(const std::string& path) { WithDatasetMask(path, GDT_Float32, "YES"); }
void WithInt16MaskFile(const std::string& path) { WithDatasetMask(path, GDT_Int16, "NO"); }
void WithFloat32MaskFile(const std::string& path) { WithDatasetMask(path, GDT_Float32, "NO"); }

void PixelInterleaved(const std::string& path) {
    const char* options[] = {"INTERLEAVE=PIXEL", nullptr};
    WriteDem(path, 300, GDT_Int16, options, 3);
}

std::set<std::string> FileNames(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

int BandCount(const std::string& path) {
    return GDALDatasetUniquePtr(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER))->GetRasterCount();
}

// Band 1 as doubles and its mask, one byte a pixel.
struct Pixels {
    std::vector<double> values;
    std::vector<GByte> valid;
};

Pixels ReadPixels(const std::string& path) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
    GDALRasterBand& band = *dataset->GetRasterBand(1);
    const int width = band.GetXSize(), height = band.GetYSize();
    Pixels pixels{std::vector<double>(static_cast<size_t>(width) * height),
                  std::vector<GByte>(static_cast<size_t>(width) * height)};
    if (band.RasterIO(GF_Read, 0, 0, width, height, pixels.values.data(), width, height,
                      GDT_Float64, 0, 0, nullptr) != CE_None ||
        band.GetMaskBand()->RasterIO(GF_Read, 0, 0, width, height, pixels.valid.data(), width,
                                     height, GDT_Byte, 0, 0, nullptr) != CE_None)
        std::abort();
    return pixels;
}

}  // namespace

// An alpha band or a per-dataset mask is handed to the library as a band of its own, so that the
// smoothing counts the filled pixels as valid: no NaN, nor the type's minimum, where the filled
// area is wider than the smoothing reaches. The mask itself stays as it was.
TEST(Fill, EveryKindOfMaskFillsAsTheLibraryDoesAndLeavesTheOtherBands) {
    struct Kind {
        const char* name;
        void (*make)(const std::string&);
        bool mask_of_its_own;  // an alpha band or per-dataset mask
    };
    const std::vector<Kind> kinds = {{"UInt16 and alpha band", WithUInt16Alpha, true},
                                     {"Byte RGBA", WithRgba, true},
                                     {"Int16, internal mask", WithInt16InternalMask, true},
                                     {"Float32, internal mask", WithFloat32InternalMask, true},
                                     {"Int16, .msk file", WithInt16MaskFile, true},
                                     {"Float32, .msk file", WithFloat32MaskFile, true},
                                     {"three bands, pixel-interleaved", PixelInterleaved, false}};
    for (const Kind& kind : kinds) {
        TempDir mine, library;
        const std::string path = mine.Path("dem.tif"), expected = library.Path("dem.tif");
        kind.make(path);
        kind.make(expected);
        const std::vector<GByte> before = BandBytes(path);
        const Pixels original = ReadPixels(path);
        const std::string mask_file = FileBytes(path + ".msk");
        ASSERT_EQ(RunTool({path, "20"}).status, 0) << kind.name;
        FillDirectly(expected, 20, kind.mask_of_its_own);
        EXPECT_TRUE(BandBytes(path) != before) << kind.name;
        EXPECT_TRUE(BandBytes(path) == BandBytes(expected)) << kind.name;
        for (int band = 2; band <= BandCount(path); ++band)
            EXPECT_TRUE(BandBytes(path, band) == BandBytes(expected, band)) << kind.name << band;
        EXPECT_EQ(FileNames(mine.path), FileNames(library.path)) << kind.name;

        const Pixels filled = ReadPixels(path);
        EXPECT_TRUE(!kind.mask_of_its_own || filled.valid == original.valid) << kind.name;
        EXPECT_TRUE(FileBytes(path + ".msk") == mask_file) << kind.name;
        double low = HUGE_VAL, high = -HUGE_VAL;
        for (size_t i = 0; i < original.values.size(); ++i) {
            if (!original.valid[i]) continue;
            low = std::min(low, original.values[i]);
            high = std::max(high, original.values[i]);
        }
        int filled_pixels = 0;
        for (size_t i = 0; i < original.values.size(); ++i) {
            if (original.valid[i] || filled.values[i] == original.values[i]) continue;
            ++filled_pixels;
            ASSERT_TRUE(filled.values[i] >= low && filled.values[i] <= high)
                << kind.name << ": " << filled.values[i] << " at " << i;
        }
        EXPECT_GT(filled_pixels, 0) << kind.name;
    }
}

TEST(Fill, AFileWithNothingToFillKeepsEveryByte) {
    TempDir dir;
    const std::string whole = dir.Path("whole.tif"), sample = dir.Path("sample.tif");
    std::vector<double> values(500 * 300);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i % 1013);
    const char* deflate[] = {"COMPRESS=DEFLATE", "TILED=YES", nullptr};
    WriteRaster(whole, 500, GDT_Float32, values, -9999, deflate);
    CopyFile(SAMPLE_DEM, sample);
    // Nor the overviews, statistics and layout of a COG that kept them.
    const std::string cog = dir.Path("cog.tif");
    ASSERT_EQ(std::system(("gdal_translate -q -of COG -co BLOCKSIZE=128 " + whole + " " + cog +
                           " && gdalinfo -stats -hist " + cog + " >/dev/null")
                              .c_str()),
              0);
    // No gap at all; and gaps, but a radius that reaches none of them.
    for (const auto& [path, radius] : {std::pair{whole, "250"}, {sample, "-5"}, {cog, "250"}}) {
        const std::string before = FileBytes(path), side_car = FileBytes(path + ".aux.xml");
        EXPECT_EQ(RunTool({path, radius}).status, 0) << path;
        EXPECT_TRUE(FileBytes(path) == before) << path;
        EXPECT_TRUE(FileBytes(path + ".aux.xml") == side_car) << path;
    }
}

namespace {

enum class MaskKind { kNoDataValue, kAlphaBand, kDatasetMask };

struct StripCase {
    GDALDataType type;
    MaskKind mask;
    int radius;
    const char* threads;
    bool strips;
    bool deflate = false;
    int width = 160, height = 700;
};

std::string NameOf(const StripCase& c) {
    return std::string(GDALGetDataTypeName(c.type)) + " mask " +
           std::to_string(static_cast<int>(c.mask)) + " radius " + std::to_string(c.radius) +
           " threads " + c.threads + (c.deflate ? " DEFLATE" : "") + " " + std::to_string(c.width) +
           " x " + std::to_string(c.height);
}

// Pixel (x, y) at the strips' boundaries: -1 in a void, 1 where a halo must still reach a valid
// pixel, 0 elsewhere. Below the first boundary, above the second, and so on, a void across the
// whole width leaves pixels near the boundary whose only valid neighbours above (or below) lie
// R rows away, in the last row of a halo of R + 3 rows; the 3 smoothing passes carry what they
// get on to the strip's own rows. A radius below 3 reaches too few rows for that, and the void
// above is R columns at the right edge instead, beside whose last column the first valid pixel
// at R rows ties with one at R columns. (A halo of R + 3 rows below fills the same as R + 4.)
int AtBoundaries(int x, int y, const StripCase& c, const std::vector<int>& boundaries) {
    const int r = c.radius;
    for (size_t j = 0; j < boundaries.size(); ++j) {
        const int b = boundaries[j];
        const bool above = j % 2 == 1;
        if (above && r < 3) {
            if (y >= b - r - 2 && y < b + r + 2 && x >= c.width - r) return -1;
            continue;
        }
        const int first = above ? b - r - 2 : b - 3, end = above ? b + 3 : b + r + 2;
        if (y >= first && y < end) return -1;
        if (y == (above ? first - 1 : end)) return 1;
    }
    return 0;
}

// The voids of a strip case: they cross every boundary between strips and touch every edge: a
// void column through all rows, the four corners, a stretch of the left edge, small holes, and
// slanting voids 20 rows tall that begin at every row in one column or another, so that some
// begin exactly a halo above or below any boundary; and where given, voids at the strips'
// `boundaries` (AtBoundaries).
bool InVoid(int x, int y, const StripCase& c, const std::vector<int>& boundaries) {
    const int at_boundary = AtBoundaries(x, y, c, boundaries);
    if (at_boundary != 0) return at_boundary < 0;
    const int width = c.width, height = c.height;
    const int corner = std::min(20, std::min(width, height) / 8);
    const int column = width * 3 / 8, column_end = column + std::max(1, width * 15 / 160);
    const bool in_corner =
        (x < corner || x >= width - corner) && (y < corner || y >= height - corner);
    return (x >= column && x < column_end) || in_corner ||
           (x < 4 && y >= height * 3 / 7 && y < height * 3 / 5) || (x % 37 < 5 && y % 41 < 7) ||
           (x >= width * 17 / 32 && x < width * 29 / 32 && (y + 7 * x) % 53 < 20);
}

// A raster with the voids of InVoid. Valid values are whole numbers, which every type and a
// float hold exactly.
void WriteStripCase(const std::string& path, const StripCase& c,
                    const std::vector<int>& boundaries = {}) {
    const int width = c.width, height = c.height;
    CPLStringList options;
    if (c.deflate) options.AddString("COMPRESS=DEFLATE").AddString("TILED=YES");
    if (c.deflate) options.AddString("BLOCKXSIZE=64").AddString("BLOCKYSIZE=64");
    if (c.mask == MaskKind::kAlphaBand) options.AddString("ALPHA=YES");
    CPLSetThreadLocalConfigOption("GDAL_TIFF_INTERNAL_MASK", "YES");
    GDALDatasetUniquePtr dataset(GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        path.c_str(), width, height, c.mask == MaskKind::kAlphaBand ? 2 : 1, c.type,
        options.List()));
    GDALRasterBand& band = *dataset->GetRasterBand(1);
    if (c.mask == MaskKind::kNoDataValue) band.SetNoDataValue(-9999);
    if (c.mask == MaskKind::kDatasetMask && dataset->CreateMaskBand(GMF_PER_DATASET) != CE_None)
        std::abort();
    GDALRasterBand& valid_band =
        c.mask == MaskKind::kAlphaBand ? *dataset->GetRasterBand(2) : *band.GetMaskBand();
    std::vector<double> values(width);
    std::vector<GByte> valid(width);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            valid[x] = InVoid(x, y, c, boundaries) ? 0 : 255;
            values[x] = valid[x] ? 100 + (3 * x + 5 * y) % 200 : (c.type == GDT_UInt16 ? 0 : -9999);
        }
        if (band.RasterIO(GF_Write, 0, y, width, 1, values.data(), width, 1, GDT_Float64, 0, 0,
                          nullptr) != CE_None ||
            (c.mask != MaskKind::kNoDataValue &&
             valid_band.RasterIO(GF_Write, 0, y, width, 1, valid.data(), width, 1, GDT_Byte, 0, 0,
                                 nullptr) != CE_None))
            std::abort();
    }
    CPLSetThreadLocalConfigOption("GDAL_TIFF_INTERNAL_MASK", nullptr);
}

// The strips' first rows but the top one, from the run's debug line, or none when it filled in
// one call.
std::vector<int> StripBoundaries(const std::string& err) {
    const size_t at = err.find("filling in ");
    const size_t from = err.find("from rows 0", at);
    if (at == std::string::npos || from == std::string::npos) return {};
    std::istringstream tops(err.substr(from + 11, err.find('\n', from) - from - 11));
    return {std::istream_iterator<int>(tops), std::istream_iterator<int>()};
}

// The bytes a run journaled while it filled, ahead of its write-back, from its debug line.
long long JournaledAhead(const std::string& err) {
    const size_t at = err.find("gapMend: journaled ");
    return at == std::string::npos ? -1 : std::atoll(err.c_str() + at + 19);
}

// Fills the case with gapMend and with the library's own call, and returns what gapMend said.
// A fill in strips of an uncompressed file journals its gaps' rows ahead of the write-back.
std::string ExpectTheBitsOfOneCall(const StripCase& c, const std::vector<int>& boundaries) {
    const std::string name = NameOf(c) + (boundaries.empty() ? "" : ", voids at the boundaries");
    TempDir mine, library;
    const std::string path = mine.Path("dem.tif"), expected = library.Path("dem.tif");
    WriteStripCase(path, c, boundaries);
    WriteStripCase(expected, c, boundaries);
    RunOptions options;
    options.env = {{"GDAL_NUM_THREADS", c.threads}, {"CPL_DEBUG", "gapMend"}};
    const RunResult run = RunTool({path, std::to_string(c.radius)}, options);
    EXPECT_EQ(run.status, 0) << name;
    EXPECT_EQ(run.err.find("strips") != std::string::npos, c.strips) << name << run.err;
    EXPECT_EQ(JournaledAhead(run.err) > 0, c.strips && !c.deflate) << name << run.err;
    FillDirectly(expected, c.radius, c.mask != MaskKind::kNoDataValue);
    EXPECT_TRUE(BandBytes(path) == BandBytes(expected)) << name;
    return run.err;
}

}  // namespace

// On any number of threads, band 1 holds exactly the bits of one library call on the whole band:
// strips where they are exact, one call where they are not (no thread to spare, a radius of 0
// or below, strips that would be shorter than their halo). Each case in strips is filled again
// with voids at the boundaries of its strips, where a halo one row short changes pixels.
TEST(Fill, StripsOnEveryThreadCountGiveTheBitsOfOneCall) {
    // Thin rasters past 65,533 rows or columns, where the library's row markers change type.
    const StripCase tall{GDT_Float32, MaskKind::kNoDataValue, 20, "3", true, false, 32, 66000};
    const StripCase wide{GDT_Float32, MaskKind::kNoDataValue, 2, "3", true, false, 66000, 32};
    const std::vector<StripCase> cases = {
        {GDT_Float32, MaskKind::kNoDataValue, 7, "3", true},
        {GDT_Float32, MaskKind::kNoDataValue, 1, "8", true},
        {GDT_Float32, MaskKind::kNoDataValue, 100, "8", true},
        {GDT_Int16, MaskKind::kNoDataValue, 7, "8", true},
        {GDT_Float64, MaskKind::kNoDataValue, 100, "3", true},
        {GDT_UInt16, MaskKind::kAlphaBand, 7, "3", true},
        {GDT_Float32, MaskKind::kDatasetMask, 100, "8", true},
        {GDT_Float32, MaskKind::kNoDataValue, 7, "3", true, true},
        {GDT_Float32, MaskKind::kNoDataValue, 7, "1", false},
        {GDT_Float32, MaskKind::kNoDataValue, 400, "8", false},
        {GDT_Float32, MaskKind::kNoDataValue, 0, "ALL_CPUS", false},
        {GDT_Float32, MaskKind::kNoDataValue, -3, "8", false},
        tall,
        {tall.type, tall.mask, tall.radius, "8", true, false, tall.width, tall.height},
        {tall.type, tall.mask, tall.radius, "1", false, false, tall.width, tall.height},
        wide,
        {wide.type, wide.mask, wide.radius, "8", true, false, wide.width, wide.height},
        {wide.type, wide.mask, wide.radius, "1", false, false, wide.width, wide.height}};
    for (const StripCase& c : cases) {
        const std::vector<int> boundaries = StripBoundaries(ExpectTheBitsOfOneCall(c, {}));
        EXPECT_EQ(!boundaries.empty(), c.strips) << NameOf(c);
        if (!boundaries.empty()) ExpectTheBitsOfOneCall(c, boundaries);
    }
}
