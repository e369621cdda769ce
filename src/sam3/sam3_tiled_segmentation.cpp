#include <tarnivale/ai/sam3.h>

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"
#include "sam3/sam3_text_session_impl.h"
#include "sam3/sam_raster.h"

#include <gdal.h>

#include <algorithm>

namespace Tarnivale::AI {

namespace {

constexpr std::int32_t MaximumTileSide = 32768;
constexpr std::int64_t MaximumTiles = 1000000;

/// Tiles along one axis: one when the window fits, else enough strides to reach its far edge.
std::int64_t tilesAlong(std::int64_t length, std::int64_t tile, std::int64_t stride) {
    return length <= tile ? 1 : (length - tile + stride - 1) / stride + 1;
}

void checkTiling(const AiSamTiledRequest& request) {
    const auto valid = [](std::int32_t tile, std::int32_t overlap) {
        return tile >= 1 && tile <= MaximumTileSide && overlap >= 0 && overlap < tile;
    };
    if (!valid(request.tileWidth, request.overlapX) || !valid(request.tileHeight, request.overlapY)) {
        throwInvalidArgument(QStringLiteral("Invalid SAM3 tiling dimensions or overlap."));
    }
    if (request.maximumTiles < 1 || request.maximumTiles > MaximumTiles ||
        request.maximumTotalInstances < 1) {
        throwInvalidArgument(QStringLiteral("Invalid SAM3 tiled work limits."));
    }
}

}  // namespace

AiSamTiledSummary AiSamTextSession::segmentTiled(const AiSamTiledRequest& request,
                                                 const std::function<void(const AiSamTileResult&)>& consumer,
                                                 const AiRasterProgressCallback& progress) const {
    if (!consumer) {
        throwInvalidArgument(QStringLiteral("SAM3 tiled inference requires a result consumer."));
    }
    checkTiling(request);
    d->tokenizer.encode(request.prompt);
    const auto start = std::chrono::steady_clock::now();
    const SamRaster::Budget budget(request.execution, request.cancellationRequested);

    AiSamTiledSummary summary;
    AiSamPixelWindow window;
    {
        const Gdal::Dataset dataset = Gdal::open(request.rasterPath, GDAL_OF_RASTER | GDAL_OF_READONLY);
        if (!dataset) {
            throwInvalidArgument(QStringLiteral("Cannot open SAM3 raster."));
        }
        summary.rasterWidth = GDALGetRasterXSize(dataset.get());
        summary.rasterHeight = GDALGetRasterYSize(dataset.get());
        window = SamRaster::resolveWindow(request.rasterOptions, summary.rasterWidth, summary.rasterHeight);
    }
    const std::int64_t strideX = request.tileWidth - request.overlapX;
    const std::int64_t strideY = request.tileHeight - request.overlapY;
    const std::int64_t columns = tilesAlong(window.width, request.tileWidth, strideX);
    const std::int64_t rows = tilesAlong(window.height, request.tileHeight, strideY);
    if (columns * rows > request.maximumTiles) {
        throwInvalidArgument(QStringLiteral("SAM3 tile count exceeds its work limit."));
    }
    summary.totalTiles = columns * rows;
    const auto report = [&](const QString& message) {
        if (progress) {
            progress({static_cast<std::int32_t>(summary.completedTiles),
                      static_cast<std::int32_t>(summary.totalTiles),
                      static_cast<std::int32_t>(summary.completedTiles * 100 / summary.totalTiles), message});
        }
    };
    const auto finish = [&] {
        summary.elapsedMilliseconds =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        return summary;
    };
    report(QStringLiteral("SAM3 tiled inference started."));

    try {
        for (std::int64_t row = 0; row < rows; ++row) {
            for (std::int64_t column = 0; column < columns; ++column) {
                budget.check();
                AiSamTextRequest tile = request;
                AiSamPixelWindow& tileWindow = tile.rasterOptions.window;
                tile.rasterOptions.hasWindow = true;
                tileWindow.column = static_cast<std::int32_t>(column);
                tileWindow.row = static_cast<std::int32_t>(row);
                tileWindow.width = std::min(window.width, request.tileWidth);
                tileWindow.height = std::min(window.height, request.tileHeight);
                tileWindow.x =
                    window.x + static_cast<std::int32_t>(std::min<std::int64_t>(
                                   column * strideX, std::max(0, window.width - request.tileWidth)));
                tileWindow.y =
                    window.y + static_cast<std::int32_t>(std::min<std::int64_t>(
                                   row * strideY, std::max(0, window.height - request.tileHeight)));
                tile.execution.maximumMilliseconds = 0;
                tile.cancellationRequested = [&budget] {
                    budget.check();
                    return false;
                };
                AiSamTileResult result{tileWindow, segment(tile)};
                budget.check();
                summary.peakWorkingBytes = std::max(summary.peakWorkingBytes, result.result.workingBytes);
                const auto found = static_cast<std::int64_t>(result.result.instances.size());
                if (found > request.maximumTotalInstances - summary.instances) {
                    summary.instanceLimitReached = true;
                    return finish();
                }
                consumer(result);
                ++summary.completedTiles;
                summary.skippedTiles += result.result.skipped ? 1 : 0;
                summary.instances += found;
                report(result.result.skipped ? QStringLiteral("Skipped insufficient valid pixels.")
                                             : QStringLiteral("SAM3 tile completed."));
            }
        }
        summary.completed = true;
    } catch (const AiInferenceInterrupted& stop) {
        summary.cancelled = stop.reason() == AiInferenceStopReason::Cancelled;
        summary.deadlineExceeded = stop.reason() == AiInferenceStopReason::DeadlineExceeded;
    }
    return finish();
}

}  // namespace Tarnivale::AI
