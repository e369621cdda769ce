#include <tarnivale/ai/tiling.h>

#include "runtime/errors.h"

#include <algorithm>

namespace Tarnivale::AI {

namespace {

// Start positions along one axis: multiples of the stride, the last one moved back to end on the far edge.
QList<std::int32_t> axisStarts(std::int32_t length, std::int32_t tile, std::int32_t overlap) {
    QList<std::int32_t> starts{0};
    if (length <= tile) {
        return starts;
    }
    const std::int32_t stride = tile - overlap;
    starts.reserve((length - tile) / stride + 2);
    std::int32_t previous = 0;
    while (true) {
        const std::int32_t next = std::min(length - tile, previous + stride);
        if (next == previous) {
            break;
        }
        starts.append(next);
        if (next + tile >= length) {
            break;
        }
        previous = next;
    }
    return starts;
}

}  // namespace

QList<AiTileWindow> AiTilePlanner::plan(std::int32_t rasterWidth, std::int32_t rasterHeight,
                                        const AiTileOptions& options) {
    if (rasterWidth < 1 || rasterHeight < 1) {
        throwInvalidArgument(QStringLiteral("Raster dimensions must be positive."));
    }
    if (options.width < 1 || options.height < 1) {
        throwInvalidArgument(QStringLiteral("AI tile dimensions must be positive."));
    }
    if (options.overlapX < 0 || options.overlapX >= options.width || options.overlapY < 0 ||
        options.overlapY >= options.height) {
        throwInvalidArgument(
            QStringLiteral("AI tile overlap must be non-negative and smaller than the tile size."));
    }
    const QList<std::int32_t> xs = axisStarts(rasterWidth, options.width, options.overlapX);
    const QList<std::int32_t> ys = axisStarts(rasterHeight, options.height, options.overlapY);

    QList<AiTileWindow> windows;
    windows.reserve(xs.size() * ys.size());
    for (qsizetype row = 0; row < ys.size(); ++row) {
        const std::int32_t y = ys[row];
        const std::int32_t height = std::min(rasterHeight - y, options.height);
        for (qsizetype column = 0; column < xs.size(); ++column) {
            const std::int32_t x = xs[column];
            windows.append(AiTileWindow{static_cast<std::int32_t>(column), static_cast<std::int32_t>(row), x,
                                        y, std::min(rasterWidth - x, options.width), height});
        }
    }
    return windows;
}

}  // namespace Tarnivale::AI
