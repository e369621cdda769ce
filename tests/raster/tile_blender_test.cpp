#include <tarnivale/ai/tiling.h>

#include <gtest/gtest.h>

using namespace Tarnivale::AI;

namespace {
float weight(int x, int y, int w, int h, int ox, int oy, bool l, bool r, bool t, bool b) {
    return AiTileBlender::featherWeight(x, y, w, h, ox, oy, l, r, t, b);
}
}  // namespace

TEST(TileBlender, AllEdgesOnTheBorderWeighOneInsideAndZeroOutside) {
    for (int y = -1; y <= 8; ++y) {
        for (int x = -1; x <= 10; ++x) {
            const bool inside = x >= 0 && y >= 0 && x < 10 && y < 8;
            EXPECT_EQ(weight(x, y, 10, 8, 3, 3, true, true, true, true), inside ? 1.0f : 0.0f)
                << x << "," << y;
        }
    }
}

TEST(TileBlender, LinearRampOverSharedSides) {
    // Shared left side, overlap 32: column 0 weighs 1/33, column 31 weighs 32/33, the interior 1.
    EXPECT_FLOAT_EQ(weight(0, 100, 512, 512, 32, 32, false, true, true, true), 1.0f / 33.0f);
    EXPECT_FLOAT_EQ(weight(31, 100, 512, 512, 32, 32, false, true, true, true), 32.0f / 33.0f);
    EXPECT_FLOAT_EQ(weight(32, 100, 512, 512, 32, 32, false, true, true, true), 1.0f);
    // Shared right side: the last column weighs 1/33, column width - 32 weighs 32/33.
    EXPECT_FLOAT_EQ(weight(511, 100, 512, 512, 32, 32, true, false, true, true), 1.0f / 33.0f);
    EXPECT_FLOAT_EQ(weight(480, 100, 512, 512, 32, 32, true, false, true, true), 32.0f / 33.0f);
    EXPECT_FLOAT_EQ(weight(479, 100, 512, 512, 32, 32, true, false, true, true), 1.0f);
    // A corner shared on two sides multiplies both ramps.
    EXPECT_FLOAT_EQ(weight(0, 0, 512, 512, 32, 32, false, false, false, false),
                    (1.0f / 33.0f) * (1.0f / 33.0f));
    // Border sides are not ramped.
    EXPECT_FLOAT_EQ(weight(0, 0, 512, 512, 32, 32, true, false, true, false), 1.0f);
}

TEST(TileBlender, NarrowWindowTakesTheSmallerOfBothRampsAndNeverZero) {
    // Width 3, overlap 2, both sides shared: x=0 -> min(1/3, 3/3), x=1 -> min(2/3, 2/3), x=2 -> min(1, 1/3).
    EXPECT_FLOAT_EQ(weight(0, 0, 3, 1, 2, 0, false, false, true, true), 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(weight(1, 0, 3, 1, 2, 0, false, false, true, true), 2.0f / 3.0f);
    EXPECT_FLOAT_EQ(weight(2, 0, 3, 1, 2, 0, false, false, true, true), 1.0f / 3.0f);
    // Huge overlaps drive the product towards zero: the floor keeps covered pixels positive.
    EXPECT_FLOAT_EQ(weight(0, 0, 100000, 100000, 99999, 99999, false, false, false, false), 0.000001f);
}

TEST(TileBlender, ZeroOverlapDisablesRamping) {
    for (int x = 0; x < 16; ++x) {
        EXPECT_EQ(weight(x, 0, 16, 16, 0, 4, false, false, true, true), 1.0f);
        EXPECT_LT(weight(0, x < 4 ? x : 0, 16, 16, 4, 0, false, false, false, false), 1.0f);
        EXPECT_EQ(weight(8, x, 16, 16, 4, 0, false, false, false, false), 1.0f);
    }
}
