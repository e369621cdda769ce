#pragma once

// The steps the one-shot and sliced raster runs share: request checks, the package, the raster's
// georeferencing, the cancellation test and the result's final lists.

#include <tarnivale/ai/detection.h>

#include "runtime/gdal_handles.h"

namespace Tarnivale::AI {

struct DetectionPackage {
    AiModelManifest manifest;  ///< a copy the run may complete (image size, threshold overrides)
    QString modelPath;
};

/// Package and raster paths must be given.
void checkDetectionRequest(const AiRasterObjectDetectionRequest& request);

/// Opens and validates the package; its task must be object detection. The request's threshold overrides
/// are written into the manifest copy.
DetectionPackage openDetectionPackage(const AiRasterObjectDetectionRequest& request);

/// True when the host context, then the request's callable, asks to stop.
bool detectionCancelled(const AiRasterObjectDetectionRequest& request);

/// Opens the raster read-only and fills the result's size, geotransform and projection.
Gdal::Dataset openDetectionRaster(const QString& path, AiRasterObjectDetectionResult& result);

/// Copies the detections to `pixelDetections` and georeferences them when the raster has a geotransform.
void finishDetectionResult(AiRasterObjectDetectionResult& result);

}  // namespace Tarnivale::AI
