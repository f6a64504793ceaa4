// What the fill does to the pixels: exactly what the library's own call does to the gaps, and
// nothing at all to the valid pixels, whatever the pixel type.
#include <cmath>

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
        EXPECT_EQ(BandBytes(path), BandBytes(expected)) << radius_args[0];
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
