// Tile plans and feather weights against hand-derived values.

#include <tarnivale/ai/tiling.h>

#include "support/expectations.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

using namespace Tarnivale::AI;
using Testing::errorOf;
using Windows = QList<QList<std::int32_t>>;

namespace {

// Every window of a plan as {column, row, x, y, width, height}.
Windows windows(std::int32_t width, std::int32_t height, const AiTileOptions& options) {
    Windows fields;
    for (const AiTileWindow& w : AiTilePlanner::plan(width, height, options)) {
        fields.append({w.column, w.row, w.x, w.y, w.width, w.height});
    }
    return fields;
}

}  // namespace

TEST(TilePlanner, RowMajorWindowsEndFlushWithTheFarEdgeAndBadArgumentsAreRefused) {
    const std::tuple<std::int32_t, AiTileOptions, QList<std::int32_t>> rows[] = {
        {512, {}, {0}},  // exactly one tile
        {513, {}, {0, 1}},
        {1000, {}, {0, 480, 488}},
        {1000, {512, 512, 0, 0}, {0, 488}},
        {1024, {512, 512, 0, 0}, {0, 512}},
        {4, {1, 1, 0, 0}, {0, 1, 2, 3}},
        {301, {64, 48, 7, 5}, {0, 57, 114, 171, 228, 237}},
    };
    for (const auto& [width, options, starts] : rows) {
        QList<std::int32_t> xs;
        for (const QList<std::int32_t>& window : windows(width, 1, options)) {
            xs.append(window[2]);
        }
        EXPECT_EQ(xs, starts) << width;
    }
    // x starts 0, 2 (stride 3 clipped to 6 - 4); y starts 0, 2 (stride 2 reaches 5 - 3).
    EXPECT_EQ(windows(6, 5, {4, 3, 1, 1}),
              (Windows{{0, 0, 0, 0, 4, 3}, {1, 0, 2, 0, 4, 3}, {0, 1, 0, 2, 4, 3}, {1, 1, 2, 2, 4, 3}}));
    EXPECT_EQ(windows(100, 1200, {}),
              (Windows{{0, 0, 0, 0, 100, 512}, {0, 1, 0, 480, 100, 512}, {0, 2, 0, 688, 100, 512}}));
    // 208 multiples of 480 below 100000 - 512, then 99488: 209 windows per axis.
    const Windows huge = windows(100000, 100000, {});
    EXPECT_EQ(huge.size(), 209 * 209);
    EXPECT_EQ(huge.back(), (QList<std::int32_t>{208, 208, 99488, 99488, 512, 512}));
    // Refusals in check order, and the limits that pass.
    const std::string size = "AI tile dimensions must be positive.";
    const std::string overlap = "AI tile overlap must be non-negative and smaller than the tile size.";
    const std::tuple<std::int32_t, std::int32_t, AiTileOptions, std::string> refusals[] = {
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
    for (const auto& [width, height, options, error] : refusals) {
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiTilePlanner::plan(width, height, options); }),
                  error);
    }
}

TEST(TileBlender, FeatherWeights) {
    // Weights along one axis, one pixel past each end included: overlap 2 ramps shared sides in thirds,
    // border sides stay flat, a narrow window takes the smaller of both ramps, no overlap means no ramp.
    const auto along = [](bool x, int size, int overlap, bool nearEdge, bool farEdge) {
        std::vector<float> weights;
        for (int p = -1; p <= size; ++p) {
            weights.push_back(
                x ? AiTileBlender::featherWeight(p, 0, size, 1, overlap, 0, nearEdge, farEdge, true, true)
                  : AiTileBlender::featherWeight(0, p, 1, size, 0, overlap, true, true, nearEdge, farEdge));
        }
        return weights;
    };
    const float a = 1.0f / 3.0f;
    const float b = 2.0f / 3.0f;
    for (const bool x : {true, false}) {
        EXPECT_EQ(along(x, 6, 2, false, false), (std::vector<float>{0, a, b, 1, 1, b, a, 0})) << x;
        EXPECT_EQ(along(x, 6, 2, true, false), (std::vector<float>{0, 1, 1, 1, 1, b, a, 0})) << x;
        EXPECT_EQ(along(x, 6, 2, false, true), (std::vector<float>{0, a, b, 1, 1, 1, 1, 0})) << x;
        EXPECT_EQ(along(x, 3, 2, false, false), (std::vector<float>{0, a, b, a, 0})) << x;
        EXPECT_EQ(along(x, 3, 0, false, false), (std::vector<float>{0, 1, 1, 1, 0})) << x;
    }
    // Shared corners multiply both ramps; huge overlaps are floored so covered pixels stay positive.
    EXPECT_FLOAT_EQ(AiTileBlender::featherWeight(31, 0, 512, 512, 32, 32, false, false, false, false),
                    32.0f / 1089.0f);
    EXPECT_EQ(AiTileBlender::featherWeight(0, 0, 100000, 100000, 99999, 99999, false, false, false, false),
              0.000001f);
}
