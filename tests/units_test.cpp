#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "block_layout.h"
#include "byte_runs.h"
#include "fill.h"
#include "journal.h"
#include "report.h"
#include "run.h"
#include "side_cars.h"
#include "strip_work.h"
#include "support.h"
#include "write_back.h"

TEST(MaxSearchRadius, ReadsLikeAtoiAndClampsOverflow) {
    EXPECT_EQ(ParseMaxSearchRadius("250"), 250);
    EXPECT_EQ(ParseMaxSearchRadius("  +250xyz"), 250);
    EXPECT_EQ(ParseMaxSearchRadius("abc"), 0);
    EXPECT_EQ(ParseMaxSearchRadius(""), 0);
    EXPECT_EQ(ParseMaxSearchRadius("-5"), -5);
    EXPECT_EQ(ParseMaxSearchRadius("0x10"), 0);
    EXPECT_EQ(ParseMaxSearchRadius("2147483647"), INT_MAX);
    EXPECT_EQ(ParseMaxSearchRadius("2147483648"), INT_MAX);
    EXPECT_EQ(ParseMaxSearchRadius("-2147483649"), INT_MIN);
    EXPECT_EQ(ParseMaxSearchRadius("99999999999999999999"), INT_MAX);
    EXPECT_EQ(ParseMaxSearchRadius("-99999999999999999999"), INT_MIN);
}

TEST(NoDataValue, TruncatesTowardZeroAndMapsTheUnrepresentableToIntMin) {
    EXPECT_EQ(NoDataValueAsInt(-2.7), -2);
    EXPECT_EQ(NoDataValueAsInt(3.9), 3);
    EXPECT_EQ(NoDataValueAsInt(-32768.0), -32768);
    EXPECT_EQ(NoDataValueAsInt(2147483647.9), INT_MAX);
    EXPECT_EQ(NoDataValueAsInt(-2147483648.9), INT_MIN);
    EXPECT_EQ(NoDataValueAsInt(2147483648.0), INT_MIN);
    EXPECT_EQ(NoDataValueAsInt(-1e10), INT_MIN);
    EXPECT_EQ(NoDataValueAsInt(std::nan("")), INT_MIN);
    EXPECT_EQ(NoDataValueAsInt(std::numeric_limits<double>::infinity()), INT_MIN);
}

TEST(OriginalPixels, KeptOnlyForTypesThatAFloatRoundTripChanges) {
    for (GDALDataType exact : {GDT_Byte, GDT_UInt16, GDT_Int16, GDT_Float32})
        EXPECT_FALSE(FloatRoundTripChanges(exact)) << GDALGetDataTypeName(exact);
    for (GDALDataType lossy : {GDT_Int32, GDT_UInt32, GDT_Int64, GDT_UInt64, GDT_Float64})
        EXPECT_TRUE(FloatRoundTripChanges(lossy)) << GDALGetDataTypeName(lossy);
}

TEST(JournaledRanges, EachByteIsNewOnce) {
    JournaledRanges ranges;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> parts;
    const auto collect = [&](std::uint64_t start, std::uint64_t end) {
        parts.emplace_back(start, end);
        return true;
    };
    const std::vector<std::tuple<std::uint64_t, std::uint64_t,
                                 std::vector<std::pair<std::uint64_t, std::uint64_t>>>>
        steps = {{10, 20, {{10, 20}}}, {15, 25, {{20, 25}}},          {0, 12, {{0, 10}}},
                 {30, 40, {{30, 40}}}, {5, 45, {{25, 30}, {40, 45}}}, {0, 45, {}},
                 {45, 46, {{45, 46}}}};
    for (const auto& [begin, end, expected] : steps) {
        parts.clear();
        EXPECT_TRUE(ForEachNewPart(ranges, begin, end, collect));
        EXPECT_EQ(parts, expected) << begin << "-" << end;
    }
    EXPECT_EQ(ranges, (JournaledRanges{{0, 46}}));
}

// The ranges foreseen for a strip hold the bytes of every gap in it, and no valid pixel nor
// anything of other strips' rows, in each layout that the write-back rewrites in place. Each
// pixel holds its own number, from 1 (band 2 others, a tile's padding 0), read back from the
// file's bytes in the ranges. The gaps lie too far apart in a row to be joined.
TEST(BlockLayout, RangesOfGapsHoldEveryGapOfTheStripAndNothingElse) {
    const TempDir dir;
    constexpr int kWidth = 300, kHeight = 250, kPixels = kWidth * kHeight;
    std::vector<GByte> valid(kPixels, 255);
    for (int i = 0; i < kPixels; ++i)
        if ((i % kWidth * 7 + i / kWidth * 3) % 97 == 0) valid[i] = 0;
    const struct {
        const char* driver;
        std::vector<const char*> options;
        int bands;
    } layouts[] = {{"GTiff", {"TILED=YES", "BLOCKXSIZE=64", "BLOCKYSIZE=32", nullptr}, 1},
                   {"GTiff", {"BLOCKYSIZE=7", nullptr}, 1},  // strips, the last one shorter
                   {"GTiff", {"TILED=YES", "INTERLEAVE=PIXEL", nullptr}, 2},
                   {"ENVI", {"INTERLEAVE=BIL", nullptr}, 2},
                   {"EHdr", {nullptr}, 1}};
    for (const auto& layout : layouts) {
        const std::string path = dir.Path(std::string("ids.") + layout.driver);
        GDALDatasetUniquePtr created(GetGDALDriverManager()
                                         ->GetDriverByName(layout.driver)
                                         ->Create(path.c_str(), kWidth, kHeight, layout.bands,
                                                  GDT_UInt32, layout.options.data()));
        for (int band = 1; band <= layout.bands; ++band) {
            std::vector<std::uint32_t> ids(kPixels);
            for (int i = 0; i < kPixels; ++i) ids[i] = i + 1 + (band - 1) * kPixels;
            ASSERT_EQ(
                created->GetRasterBand(band)->RasterIO(GF_Write, 0, 0, kWidth, kHeight, ids.data(),
                                                       kWidth, kHeight, GDT_UInt32, 0, 0, nullptr),
                CE_None);
        }
        created.reset();
        GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER));
        const BlockLayout blocks = LayoutOf(*dataset->GetRasterBand(1));
        ASSERT_TRUE(blocks.known()) << layout.driver;
        const std::string bytes = FileBytes(path);
        for (const auto& [top, rows] : {std::pair{0, 100}, std::pair{100, 150}}) {
            std::vector<bool> found(kPixels, false);
            for (const auto& [begin, end] : RangesOfGaps(blocks, top, rows, &valid[top * kWidth]))
                for (std::uint64_t at = begin; at + 4 <= end && end <= bytes.size(); at += 4) {
                    std::uint32_t id = 0;
                    std::memcpy(&id, &bytes[at], 4);
                    if (id == 0 || id > kPixels) continue;  // a tile's padding, or band 2
                    found[id - 1] = true;
                    const int row = static_cast<int>((id - 1) / kWidth);
                    EXPECT_TRUE(row >= top && row < top + rows) << layout.driver << " " << id;
                    EXPECT_FALSE(valid[id - 1]) << layout.driver << " " << id;
                }
            for (int i = top * kWidth; i < (top + rows) * kWidth; ++i)
                EXPECT_TRUE(valid[i] || found[i]) << layout.driver << " pixel " << i;
        }
    }
}

// Granules of 64 bytes; a run takes in the page of equal bytes after its last difference, and the
// journal only the granules that differ.
TEST(ByteRuns, FindChangesListsTheRunsThatDiffer) {
    struct Case {
        std::size_t existing, size;
        std::vector<std::size_t> changed;  // bytes that differ from the file's
        ByteRuns runs, differences;        // of the existing bytes
    };
    const std::vector<Case> cases = {
        {0, 0, {}, {}, {}},                                  // empty
        {10000, 10000, {}, {}, {}},                          // all equal
        {10000, 10000, {0}, {{0, 64 + 4096}}, {{0, 64}}},    // the first byte
        {10000, 10000, {9999}, {{9984, 16}}, {{9984, 16}}},  // the last, in a short granule
        {1000, 1000, {0}, {{0, 1000}}, {{0, 64}}},           // less than a page to the end
        {100, 150, {}, {{100, 50}}, {}},                     // beyond the file's end
        {0, 50, {}, {{0, 50}}, {}},                          // all beyond it
        {100, 150, {0}, {{0, 100}, {100, 50}}, {{0, 64}}},   // adjacent runs
        {20000, 20000, {0, 4000}, {{0, 3968 + 64 + 4096}}, {{0, 64}, {3968, 64}}},  // one run
        {20000, 20000, {0, 8192}, {{0, 4160}, {8192, 4160}}, {{0, 64}, {8192, 64}}},
        {20000, 20000, {63, 64}, {{0, 128 + 4096}}, {{0, 128}}},  // across a granule's edge
    };
    for (const Case& c : cases) {
        const std::vector<unsigned char> current(c.existing, 7);
        std::vector<unsigned char> wanted(c.size, 7);
        for (std::size_t at : c.changed) wanted[at] = 8;
        EXPECT_EQ(FindChanges(current.data(), c.existing, wanted.data(), c.size), c.runs)
            << c.existing << "/" << c.size;
        EXPECT_EQ(FindDifferences(current.data(), wanted.data(), c.existing), c.differences)
            << c.existing << "/" << c.size;
    }
    EXPECT_EQ(WholeRuns(0, 0), ByteRuns{});
    EXPECT_EQ(WholeRuns(100, 100), (ByteRuns{{0, 100}}));
    EXPECT_EQ(WholeRuns(100, 150), (ByteRuns{{0, 100}, {100, 50}}));
    EXPECT_EQ(WholeRuns(0, 50), (ByteRuns{{0, 50}}));
}

// A write's plan: what the journal holds goes out whole and unread; of the rest only the runs that
// differ go out, and only their differing granules are journaled, unless writes overlap.
TEST(ByteRuns, PlanWriteJournalsOnlyTheGranulesThatChangeAndAreNotJournaledYet) {
    struct Case {
        std::size_t existing, size;
        ByteRuns unjournaled;
        bool compare;
        std::vector<std::size_t> changed;  // bytes that differ from the file's
        ByteRuns write, journal;
    };
    const std::vector<Case> cases = {
        {20000, 20000, {{0, 20000}}, true, {}, {}, {}},  // nothing changes
        {20000, 20000, {{0, 20000}}, true, {5000}, {{4992, 64 + 4096}}, {{4992, 64}}},
        {20000,
         20000,
         {{0, 20000}},
         true,
         {0, 3000},
         {{0, 2944 + 64 + 4096}},
         {{0, 64}, {2944, 64}}},
        {20000, 20000, {}, true, {5000}, {{0, 20000}}, {}},  // all journaled ahead: out whole
        // a gap journaled ahead, the valid bytes around it equal: the gap alone, unjournaled
        {20000, 20000, {{0, 100}, {140, 19860}}, true, {100, 139}, {{100, 40}}, {}},
        {20000,
         20000,
         {{0, 100}, {140, 19860}},
         true,
         {100, 139, 170},
         {{100, 40 + 4160}},
         {{140, 64}}},
        {200, 300, {{0, 300}}, true, {}, {{200, 100}}, {{200, 100}}},  // growth
        {200, 300, {{0, 300}}, false, {}, {{0, 200}, {200, 100}}, {{0, 200}, {200, 100}}},
        {0, 50, {{0, 50}}, true, {}, {{0, 50}}, {{0, 50}}},  // a new file
    };
    for (const Case& c : cases) {
        const std::vector<unsigned char> current(c.existing, 7);
        std::vector<unsigned char> wanted(c.size, 7);
        for (std::size_t at : c.changed) wanted[at] = 8;
        const WritePlan plan =
            PlanWrite(current.data(), c.existing, wanted.data(), c.size, c.unjournaled, c.compare);
        EXPECT_EQ(plan.write, c.write) << c.existing << "/" << c.size << " " << c.changed.size();
        EXPECT_EQ(plan.journal, c.journal)
            << c.existing << "/" << c.size << " " << c.changed.size();
    }
}

TEST(ByteRuns, DisjointWhenNoTwoExtentsShareAByte) {
    using Extents = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    const std::vector<std::pair<Extents, bool>> cases = {
        {{}, true},
        {{{0, 10}}, true},
        {{{0, 10}, {10, 20}}, true},  // adjacent
        {{{10, 20}, {0, 10}}, true},  // in any order
        {{{0, 10}, {9, 20}}, false},
        {{{0, 10}, {20, 30}, {5, 6}}, false},
        {{{0, 10}, {0, 10}}, false},
    };
    for (const auto& [extents, disjoint] : cases) EXPECT_EQ(Disjoint(extents), disjoint);
}

// Tall bands are cut too, each window within the rows the library marks with 16-bit numbers,
// except past the rows whose own numbers reach the library's 32-bit marker.
TEST(StripPlan, KeepsEveryWindowWithinTheNarrowRowMarkers) {
    const long long row_bytes = 1500 * 4, window_bytes = 1LL << 40;
    for (const auto& [height, radius, threads] :
         std::vector<std::tuple<int, int, int>>{{66000, 20, 3},
                                                {70000, 100, 2},
                                                {200000, 100, 2},
                                                {300000, 1000, 8},
                                                {4000001, 100, 2}}) {
        const StripPlan plan = PlanStrips(height, 1, radius, threads, row_bytes, window_bytes);
        EXPECT_GT(plan.count, 1) << height;
        // Halos of floor(R) + k rows above and floor(R) + k + 1 below (fill.h).
        const int halos = 2 * (radius + kSmoothingIterations) + 1;
        EXPECT_LE(plan.rows + halos, 65533) << height;
        EXPECT_GE(static_cast<long long>(plan.count) * plan.rows, height) << height;
    }
    EXPECT_EQ(PlanStrips(4000002, 1, 100, 2, row_bytes, window_bytes).count, 1);
}

// The costliest window of a cut: each strip with `above` rows over it and `below` under it.
double CostliestWindow(const std::vector<double>& work, const std::vector<int>& tops, int above,
                       int below) {
    double most = 0;
    for (size_t i = 0; i < tops.size(); ++i) {
        const int end = i + 1 < tops.size() ? tops[i + 1] : static_cast<int>(work.size());
        const int first = std::max(0, tops[i] - above);
        const int last = std::min(static_cast<int>(work.size()), end + below);
        double cost = 0;
        for (int row = first; row < last; ++row) cost += work[row];
        most = std::max(most, cost);
    }
    return most;
}

// Strips cut to share the work: their costliest window costs what the best of every cut into
// two or three strips costs, found by trying them all, and none is taller than allowed.
TEST(StripWork, CutsWhereTheCostliestWindowCostsLeast) {
    std::vector<double> even(120, 1.0), voids_below(120, 1.0), one_void(120, 1.0);
    for (int row = 90; row < 120; ++row) voids_below[row] = 9.0;
    for (int row = 10; row < 20; ++row) one_void[row] = 40.0;
    for (const auto& [work, count, halo, most_rows] :
         std::vector<std::tuple<std::vector<double>, int, int, int>>{{even, 2, 0, 120},
                                                                     {even, 2, 5, 70},
                                                                     {voids_below, 2, 5, 120},
                                                                     {voids_below, 3, 7, 120},
                                                                     {one_void, 3, 2, 120},
                                                                     {voids_below, 2, 5, 65}}) {
        const int height = static_cast<int>(work.size());
        double best = 1e300;
        for (int a = 1; a < height; ++a)
            for (int b = count == 3 ? a + 1 : height; b <= height; ++b) {
                std::vector<int> tops{0, a};
                if (count == 3 && b < height) tops.push_back(b);
                if (static_cast<int>(tops.size()) != count) continue;
                bool fits = true;
                for (int i = 0; i < count; ++i)
                    fits &= (i + 1 < count ? tops[i + 1] : height) - tops[i] <= most_rows;
                if (fits) best = std::min(best, CostliestWindow(work, tops, halo, halo + 1));
            }
        const std::vector<int> tops = BalancedTops(work, count, halo, halo + 1, most_rows);
        ASSERT_FALSE(tops.empty());
        EXPECT_LE(static_cast<int>(tops.size()), count);
        EXPECT_EQ(tops.front(), 0);
        for (size_t i = 0; i < tops.size(); ++i) {
            const int end = i + 1 < tops.size() ? tops[i + 1] : height;
            EXPECT_GT(end, tops[i]);
            EXPECT_LE(end - tops[i], most_rows);
        }
        EXPECT_NEAR(CostliestWindow(work, tops, halo, halo + 1), best, 1e-6)
            << count << " " << halo;
    }
}

TEST(SideCarNames, AreBareNamesAfterTheFilesStemButNotItsJournal) {
    const std::vector<std::pair<std::string, bool>> names = {
        {"dem.tif", true},
        {"dem.tif.aux.xml", true},
        {"dem.tif.msk", true},
        {"dem.hdr", true},
        {"dem.aux.xml", true},
        {"dem", true},  // ERS's data file beside dem.ers
        {"dem.tif.gapmend-journal", false},
        {"demo.tif", false},
        {"de", false},
        {"", false},
        {".", false},
        {"..", false},
        {"dem..tif", false},
        {"dem./../x", false},
        {"dem.x\\y", false},
        {std::string("dem.tif\0x", 9), false},
    };
    for (const auto& [name, side_car] : names)
        EXPECT_EQ(IsSideCarName("dem.tif", name), side_car) << name;
    EXPECT_TRUE(IsSideCarName("dem", "dem.hdr"));
    EXPECT_FALSE(IsSideCarName("dem.ers", "../dem"));
}

// Every unit splits a path the same way: the directory is one to open, a root with its separator.
TEST(SideCarNames, ComeFromOnePathSplitter) {
#ifdef _WIN32
    const bool windows = true;
#else
    const bool windows = false;
#endif
    const std::vector<std::pair<std::string, SplitPath>> paths = {
        {"dem.tif", {".", "", "dem.tif"}},
        {"d/dem.tif", {"d", "d/", "dem.tif"}},
        {"/dem.tif", {"/", "/", "dem.tif"}},
        {"/a/b/dem.tif", {"/a/b", "/a/b/", "dem.tif"}},
        {"a//dem.tif", {"a/", "a//", "dem.tif"}},
        {"d:2/dem.tif", {"d:2", "d:2/", "dem.tif"}},
        {"C:\\dem.tif",
         windows ? SplitPath{"C:\\", "C:\\", "dem.tif"} : SplitPath{".", "", "C:\\dem.tif"}},
        {"C:/dem.tif",
         windows ? SplitPath{"C:/", "C:/", "dem.tif"} : SplitPath{"C:", "C:/", "dem.tif"}},
        {"d\\dem.tif",
         windows ? SplitPath{"d", "d\\", "dem.tif"} : SplitPath{".", "", "d\\dem.tif"}},
    };
    for (const auto& [path, expected] : paths) {
        const SplitPath split = Split(path);
        EXPECT_EQ(split.directory, expected.directory) << path;
        EXPECT_EQ(split.prefix, expected.prefix) << path;
        EXPECT_EQ(split.name, expected.name) << path;
        EXPECT_EQ(split.prefix + split.name, path);
    }
    EXPECT_EQ(JournalPathFor("d/dem.tif"), "d/dem.tif.gapmend-journal");
    EXPECT_TRUE(IsSideCarName(Split("d/dem.tif").name, Split("d/dem.tif.aux.xml").name));
}
