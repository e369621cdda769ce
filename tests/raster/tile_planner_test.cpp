// Tile plans and feather weights against hand-derived values.

#include <tarnivale/ai/tiling.h>

#include "support/expectations.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace Tarnivale::AI;
using Testing::errorOf;

TEST(TilePlanner, AxisStartsEndFlushWithTheFarEdge) {
    struct Row {
        std::int32_t width;
        AiTileOptions options;
        QList<std::int32_t> starts;
    };
    const Row rows[] = {
        {512, {}, {0}},  // exactly one tile
        {300, {}, {0}},
        {513, {}, {0, 1}},
        {1000, {}, {0, 480, 488}},
        {1200, {}, {0, 480, 688}},
        {1000, {512, 512, 0, 0}, {0, 488}},
        {1024, {512, 512, 0, 0}, {0, 512}},
        {4, {1, 1, 0, 0}, {0, 1, 2, 3}},
        {301, {64, 48, 7, 5}, {0, 57, 114, 171, 228, 237}},
    };
    for (const Row& row : rows) {
        QList<std::int32_t> starts;
        for (const AiTileWindow& window : AiTilePlanner::plan(row.width, 1, row.options)) {
            EXPECT_EQ(window.width, std::min(row.width, row.options.width));
            starts.append(window.x);
        }
        EXPECT_EQ(starts, row.starts) << row.width;
    }
}

TEST(TilePlanner, RowMajorWindowsWithClippedSizes) {
    const auto fields = [](const AiTileWindow& w) {
        return QList<std::int32_t>{w.column, w.row, w.x, w.y, w.width, w.height};
    };
    // x starts 0, 2 (stride 3 clipped to 6 - 4); y starts 0, 2 (stride 2 reaches 5 - 3).
    const QList<AiTileWindow> windows = AiTilePlanner::plan(6, 5, {4, 3, 1, 1});
    ASSERT_EQ(windows.size(), 4);
    EXPECT_EQ(fields(windows[0]), (QList<std::int32_t>{0, 0, 0, 0, 4, 3}));
    EXPECT_EQ(fields(windows[1]), (QList<std::int32_t>{1, 0, 2, 0, 4, 3}));
    EXPECT_EQ(fields(windows[2]), (QList<std::int32_t>{0, 1, 0, 2, 4, 3}));
    EXPECT_EQ(fields(windows[3]), (QList<std::int32_t>{1, 1, 2, 2, 4, 3}));
    const QList<AiTileWindow> tall = AiTilePlanner::plan(100, 1200, {});
    ASSERT_EQ(tall.size(), 3);
    EXPECT_EQ(fields(tall[2]), (QList<std::int32_t>{0, 2, 0, 688, 100, 512}));
    const QList<AiTileWindow> single = AiTilePlanner::plan(100, 50, {});
    ASSERT_EQ(single.size(), 1);
    EXPECT_EQ(fields(single[0]), (QList<std::int32_t>{0, 0, 0, 0, 100, 50}));
    // 208 multiples of 480 below 100000 - 512, then 99488: 209 starts per axis.
    const QList<AiTileWindow> huge = AiTilePlanner::plan(100000, 100000, {});
    ASSERT_EQ(huge.size(), 209 * 209);
    EXPECT_EQ(fields(huge.back()), (QList<std::int32_t>{208, 208, 99488, 99488, 512, 512}));
}

TEST(TilePlanner, RefusesBadArgumentsInCheckOrder) {
    const std::string size = "AI tile dimensions must be positive.";
    const std::string overlap = "AI tile overlap must be non-negative and smaller than the tile size.";
    struct Row {
        std::int32_t width, height;
        AiTileOptions options;
        std::string error;
    };
    const Row rows[] = {
        {0, 10, {}, "Raster dimensions must be positive."},
        {10, -1, {}, "Raster dimensions must be positive."},
        {10, 10, {0, 512, 600, 32}, size},  // the size comes first
        {10, 10, {512, 0, 32, 32}, size},
        {10, 10, {512, 512, 512, 32}, overlap},
        {10, 10, {512, 512, -1, 32}, overlap},
        {10, 10, {512, 512, 32, 512}, overlap},
        {10, 10, {512, 512, 32, -1}, overlap},
        {1, 1, {1, 1, 0, 0}, "no error"},
        {10, 10, {512, 512, 511, 511}, "no error"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiTilePlanner::plan(r.width, r.height, r.options); }),
                  r.error);
    }
}

TEST(TileBlender, FeatherWeights) {
    struct Row {
        int x, y, width, height, overlapX, overlapY;
        bool left, right, top, bottom;
        float weight;
    };
    const Row rows[] = {
        // Shared left side, overlap 32: column 0 weighs 1/33, column 31 32/33, the interior 1.
        {0, 100, 512, 512, 32, 32, false, true, true, true, 1.0f / 33.0f},
        {31, 100, 512, 512, 32, 32, false, true, true, true, 32.0f / 33.0f},
        {32, 100, 512, 512, 32, 32, false, true, true, true, 1.0f},
        // Shared right side: the last column 1/33, column width - 32 32/33.
        {511, 100, 512, 512, 32, 32, true, false, true, true, 1.0f / 33.0f},
        {480, 100, 512, 512, 32, 32, true, false, true, true, 32.0f / 33.0f},
        {479, 100, 512, 512, 32, 32, true, false, true, true, 1.0f},
        // Shared top and bottom sides ramp the rows the same way.
        {100, 0, 512, 512, 32, 32, true, true, false, true, 1.0f / 33.0f},
        {100, 511, 512, 512, 32, 32, true, true, true, false, 1.0f / 33.0f},
        {100, 480, 512, 512, 32, 32, true, true, true, false, 32.0f / 33.0f},
        // A corner shared on two sides multiplies both ramps; border sides are flat.
        {0, 0, 512, 512, 32, 32, false, false, false, false, 1.0f / 1089.0f},
        {0, 0, 512, 512, 32, 32, true, false, true, false, 1.0f},
        // Narrow window, both sides shared: the smaller of both ramps.
        {0, 0, 3, 1, 2, 0, false, false, true, true, 1.0f / 3.0f},
        {1, 0, 3, 1, 2, 0, false, false, true, true, 2.0f / 3.0f},
        {2, 0, 3, 1, 2, 0, false, false, true, true, 1.0f / 3.0f},
        // Zero overlap does not ramp; huge overlaps are floored so covered pixels stay positive.
        {0, 0, 16, 16, 0, 4, false, false, true, true, 1.0f},
        {15, 3, 16, 16, 0, 4, false, false, true, true, 1.0f},
        {0, 0, 100000, 100000, 99999, 99999, false, false, false, false, 0.000001f},
        // Outside the window (one past each side) weighs nothing, even on border sides.
        {-1, 0, 10, 8, 3, 3, true, true, true, true, 0.0f},
        {10, 0, 10, 8, 3, 3, true, true, true, true, 0.0f},
        {0, -1, 10, 8, 3, 3, true, true, true, true, 0.0f},
        {0, 8, 10, 8, 3, 3, true, true, true, true, 0.0f},
        {9, 7, 10, 8, 3, 3, true, true, true, true, 1.0f},
    };
    for (const Row& r : rows) {
        EXPECT_FLOAT_EQ(AiTileBlender::featherWeight(r.x, r.y, r.width, r.height, r.overlapX, r.overlapY,
                                                     r.left, r.right, r.top, r.bottom),
                        r.weight)
            << r.x << "," << r.y << " in " << r.width << "x" << r.height;
    }
}
