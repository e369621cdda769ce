#include <tarnivale/ai/detection.h>

#include "detection/detection_heads.h"
#include "detection/detection_input.h"
#include "detection/detection_merge.h"
#include "detection/detection_run.h"
#include "detection/window_seams.h"
#include "runtime/errors.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>

namespace Tarnivale::AI {

namespace {

constexpr std::int64_t MaximumWindowsPerAxis = std::int64_t{1} << 20;

struct Axis {
    std::int32_t tile = 0;
    std::int32_t overlap = 0;
    QList<std::int32_t> starts;
};

Axis axis(std::int32_t requestedTile, std::int32_t requestedOverlap, std::int32_t modelSize,
          std::int32_t length) {
    Axis plan;
    plan.tile = requestedTile > 0 ? requestedTile : modelSize;
    plan.overlap = requestedOverlap >= 0 ? requestedOverlap : plan.tile / 5;
    if (requestedTile < 0 || plan.overlap >= plan.tile) {
        throwInvalidArgument(
            QStringLiteral("Sliced detection needs a positive tile larger than its overlap."));
    }
    // Counted before the starts are listed: a one-pixel tile over a huge raster would list billions.
    const std::int64_t stride = plan.tile - plan.overlap;
    const std::int64_t count =
        length <= plan.tile ? 1 : (std::int64_t{length} - plan.tile + stride - 1) / stride + 1;
    if (count > MaximumWindowsPerAxis) {
        throwInvalidArgument(QStringLiteral("Sliced detection tiles are too small for this raster."));
    }
    plan.starts = windowStarts(length, plan.tile, plan.overlap);
    return plan;
}

/// One window: where it lies in the raster and the part of the model input it fills.
struct Window {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bufferWidth = 0;
    std::int32_t bufferHeight = 0;
};

}  // namespace

AiRasterObjectDetectionResult AiSlicedObjectDetectionExecutor::run(
    const AiRasterObjectDetectionRequest& request, const AiSlicedDetectionOptions& options,
    const AiRasterObjectDetectionProgressCallback& progress) {
    std::int32_t windows = 0;
    std::int32_t done = 0;
    const auto report = [&](std::int32_t percent, const QString& message) {
        if (progress) {
            progress({percent, message, done, windows});
        }
    };
    checkDetectionRequest(request);
    report(5, QStringLiteral("Opening model package..."));
    DetectionPackage package = openDetectionPackage(request);
    AiRasterObjectDetectionResult result;
    if (detectionCancelled(request)) {
        result.cancelled = true;
        return result;
    }
    const Gdal::Dataset dataset = openDetectionRaster(request.rasterPath, result);
    const DetectionModelInput input = detectionModelInput(package.manifest);
    const Axis columns = axis(options.tileWidth, options.overlapX, input.width, result.rasterWidth);
    const Axis rows = axis(options.tileHeight, options.overlapY, input.height, result.rasterHeight);
    if (!input.resamples() && (columns.tile != input.width || rows.tile != input.height)) {
        throwInvalidArgument(QStringLiteral(
            "Sliced detection tiles must match the model input size when the resize mode is 'none'."));
    }
    setImageSize(package.manifest, input.width, input.height);
    const DetectionHeads heads = detectionHeads(package.manifest);

    report(10, QStringLiteral("Preparing sliced detection..."));
    // Windows are counted in 32 bits for the progress record: a scene cut finer than that is refused.
    const qint64 windowCount = qint64{columns.starts.size()} * rows.starts.size();
    if (windowCount > std::numeric_limits<std::int32_t>::max()) {
        throwInvalidArgument(QStringLiteral("Sliced detection tiles are too small for this raster."));
    }
    windows = static_cast<std::int32_t>(windowCount);
    const std::int32_t width = std::min(columns.tile, result.rasterWidth);
    const std::int32_t height = std::min(rows.tile, result.rasterHeight);
    // A window narrower than the tile (a small raster) keeps the tile's scale and is zero-padded.
    const std::int32_t bufferWidth = std::clamp<std::int32_t>(
        static_cast<std::int32_t>(std::lround(double(width) * input.width / columns.tile)), 1, input.width);
    const std::int32_t bufferHeight = std::clamp<std::int32_t>(
        static_cast<std::int32_t>(std::lround(double(height) * input.height / rows.tile)), 1, input.height);
    const auto windowAt = [&](qint64 index) {
        return Window{columns.starts.at(index % columns.starts.size()),
                      rows.starts.at(index / columns.starts.size()),
                      width,
                      height,
                      bufferWidth,
                      bufferHeight};
    };
    const double scaleX = double(width) / bufferWidth;
    const double scaleY = double(height) / bufferHeight;
    // One model pixel: a box this close to a window edge is taken as cut by it.
    const double marginX = std::max(1.0, scaleX);
    const double marginY = std::max(1.0, scaleY);

    // The next window is read on a second thread while the model runs on this one: reading then costs no
    // wall time. Reads never overlap (the next starts once the previous is taken), so they share one dataset
    // handle and its cached blocks, which neighbouring windows read again. Memory stays that of two windows.
    DetectionTensorReader readers[2] = {{dataset.get(), input, package.manifest.normalization},
                                        {dataset.get(), input, package.manifest.normalization}};
    const auto readAhead = [&](qint64 index) {
        return std::async(std::launch::async, [&readers, window = windowAt(index), index] {
            return &readers[index % 2].read(window.x, window.y, window.width, window.height,
                                            window.bufferWidth, window.bufferHeight);
        });
    };
    const AiSession session(package.modelPath, request.sessionOptions);
    AiInferenceResult outputs;
    QList<AiDetection> kept;
    std::future<const QList<AiTensor>*> next = readAhead(0);
    for (qint64 index = 0; index < windowCount; ++index) {
        const QList<AiTensor>* tensors = next.get();
        if (detectionCancelled(request)) {
            result.cancelled = true;
            return result;
        }
        if (index + 1 < windowCount) {
            next = readAhead(index + 1);
        }
        session.runInto(*tensors, outputs);
        result.detection.elapsedMilliseconds += outputs.elapsedMilliseconds;
        const Window window = windowAt(index);
        for (AiDetection detection :
             AiObjectDetectionExecutor::decode(package.manifest, outputs).detections) {
            detection.xMin = window.x + detection.xMin * scaleX;
            detection.xMax = window.x + detection.xMax * scaleX;
            detection.yMin = window.y + detection.yMin * scaleY;
            detection.yMax = window.y + detection.yMax * scaleY;
            const bool cut =
                cutBySeam(detection.xMin, detection.xMax, window.x, width, result.rasterWidth, marginX) ||
                cutBySeam(detection.yMin, detection.yMax, window.y, height, result.rasterHeight, marginY);
            if (cut &&
                someWindowHolds(detection.xMin, detection.xMax, columns.starts, columns.tile,
                                result.rasterWidth, marginX) &&
                someWindowHolds(detection.yMin, detection.yMax, rows.starts, rows.tile, result.rasterHeight,
                                marginY)) {
                continue;  // a neighbour sees this object whole
            }
            kept.append(detection);
        }
        ++done;
        report(10 + static_cast<std::int32_t>(qint64{85} * done / windows),
               QStringLiteral("Detecting objects in window %1 of %2...").arg(done).arg(windows));
    }
    const bool agnostic = options.classAgnosticMerge || heads.options.classAgnosticNms;
    result.detection.detections = mergeDetections(std::move(kept), heads.options.nmsThreshold, agnostic,
                                                  std::max(columns.tile, rows.tile));
    result.detection.provider = outputs.provider;
    finishDetectionResult(result);
    report(100, QStringLiteral("Object detection complete."));
    return result;
}

}  // namespace Tarnivale::AI
