#include <climits>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "gap_fill.h"
#include "report.h"
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
