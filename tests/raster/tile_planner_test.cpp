#include <tarnivale/ai/tiling.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace Tarnivale::AI;

namespace {

QList<std::int32_t> xStarts(std::int32_t width, const AiTileOptions& options) {
    QList<std::int32_t> starts;
    for (const AiTileWindow& window : AiTilePlanner::plan(width, 1, options)) {
        starts.append(window.x);
    }
    return starts;
}

std::string planError(std::int32_t width, std::int32_t height, const AiTileOptions& options) {
    try {
        AiTilePlanner::plan(width, height, options);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "no error";
}

void expectWindow(const AiTileWindow& w, int column, int row, int x, int y, int width, int height) {
    EXPECT_EQ(w.column, column);
    EXPECT_EQ(w.row, row);
    EXPECT_EQ(w.x, x);
    EXPECT_EQ(w.y, y);
    EXPECT_EQ(w.width, width);
    EXPECT_EQ(w.height, height);
}

}  // namespace

TEST(TilePlanner, SingleWindowWhenTheRasterFitsOneTile) {
    const auto exact = AiTilePlanner::plan(512, 512, {});
    ASSERT_EQ(exact.size(), 1);
    expectWindow(exact[0], 0, 0, 0, 0, 512, 512);

    const auto small = AiTilePlanner::plan(100, 50, {});
    ASSERT_EQ(small.size(), 1);
    expectWindow(small[0], 0, 0, 0, 0, 100, 50);
}

TEST(TilePlanner, LastWindowEndsFlushWithTheFarEdge) {
    EXPECT_EQ(xStarts(1000, {}), (QList<std::int32_t>{0, 480, 488}));
    EXPECT_EQ(xStarts(1200, {}), (QList<std::int32_t>{0, 480, 688}));
    EXPECT_EQ(xStarts(300, {}), (QList<std::int32_t>{0}));
    EXPECT_EQ(xStarts(1000, {512, 512, 0, 0}), (QList<std::int32_t>{0, 488}));
    EXPECT_EQ(xStarts(1024, {512, 512, 0, 0}), (QList<std::int32_t>{0, 512}));
    EXPECT_EQ(xStarts(513, {512, 512, 32, 32}), (QList<std::int32_t>{0, 1}));
    // Tile of one pixel without overlap: one window per column.
    EXPECT_EQ(xStarts(4, {1, 1, 0, 0}), (QList<std::int32_t>{0, 1, 2, 3}));
}

TEST(TilePlanner, RowMajorCrossProductWithClippedSizes) {
    const AiTileOptions options{4, 3, 1, 1};
    const auto windows = AiTilePlanner::plan(6, 5, options);
    // x starts 0, 2 (stride 3 clipped to 6 - 4); y starts 0, 2 (stride 2 reaches 5 - 3).
    ASSERT_EQ(windows.size(), 4);
    expectWindow(windows[0], 0, 0, 0, 0, 4, 3);
    expectWindow(windows[1], 1, 0, 2, 0, 4, 3);
    expectWindow(windows[2], 0, 1, 0, 2, 4, 3);
    expectWindow(windows[3], 1, 1, 2, 2, 4, 3);

    // A raster narrower than one tile but taller than several: widths clip, rows multiply.
    const auto tall = AiTilePlanner::plan(100, 1200, {});
    ASSERT_EQ(tall.size(), 3);
    expectWindow(tall[2], 0, 2, 0, 688, 100, 512);
}

TEST(TilePlanner, EveryPixelIsCoveredAndWindowsStayInside) {
    const AiTileOptions options{64, 48, 7, 5};
    const int width = 301;
    const int height = 199;
    std::vector<int> cover(static_cast<size_t>(width * height), 0);
    for (const AiTileWindow& w : AiTilePlanner::plan(width, height, options)) {
        ASSERT_GE(w.x, 0);
        ASSERT_GE(w.y, 0);
        ASSERT_LE(w.x + w.width, width);
        ASSERT_LE(w.y + w.height, height);
        for (int y = w.y; y < w.y + w.height; ++y) {
            for (int x = w.x; x < w.x + w.width; ++x) {
                ++cover[static_cast<size_t>(y * width + x)];
            }
        }
    }
    for (int count : cover) {
        ASSERT_GE(count, 1);
    }
}

TEST(TilePlanner, RefusesBadArgumentsWithTheirMessages) {
    EXPECT_EQ(planError(0, 10, {}), "Raster dimensions must be positive.");
    EXPECT_EQ(planError(10, -1, {}), "Raster dimensions must be positive.");
    EXPECT_EQ(planError(10, 10, {0, 512, 32, 32}), "AI tile dimensions must be positive.");
    // The size check comes first even when the overlap is also wrong.
    EXPECT_EQ(planError(10, 10, {0, 512, 600, 32}), "AI tile dimensions must be positive.");
    EXPECT_EQ(planError(10, 10, {512, 0, 32, 32}), "AI tile dimensions must be positive.");
    const std::string overlap = "AI tile overlap must be non-negative and smaller than the tile size.";
    EXPECT_EQ(planError(10, 10, {512, 512, 512, 32}), overlap);
    EXPECT_EQ(planError(10, 10, {512, 512, -1, 32}), overlap);
    EXPECT_EQ(planError(10, 10, {512, 512, 32, 512}), overlap);
    EXPECT_EQ(planError(10, 10, {512, 512, 32, -1}), overlap);
}

TEST(TilePlanner, HugeRasterPlansWithoutOverflow) {
    const auto windows = AiTilePlanner::plan(100000, 100000, {});
    // Per axis: the multiples of the 480 stride below 100000 - 512, then the start flush with the edge.
    int perAxis = 0;
    for (int start = 0; start < 100000 - 512; start += 480) {
        ++perAxis;
    }
    ++perAxis;
    EXPECT_EQ(windows.size(), static_cast<qsizetype>(perAxis) * perAxis);
    EXPECT_EQ(windows.back().x + windows.back().width, 100000);
    EXPECT_EQ(windows.back().y + windows.back().height, 100000);
}
