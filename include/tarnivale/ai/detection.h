#pragma once

// Object detection: decoding box, score and class tensors into detections with non-maximum suppression,
// and binding that decoding to a model package.

#include <tarnivale/ai/export.h>
#include <tarnivale/ai/models.h>
#include <tarnivale/ai/runtime.h>
#include <tarnivale/core/operations/operation_context.h>

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace Tarnivale::AI {

/// How a detection model's outputs are read and filtered.
struct TARNIVALE_AI_EXPORT AiObjectDetectionOptions {
    QString boxFormat = QStringLiteral("xyxy");  ///< "xyxy", "xywh" or "cxcywh"
    double scoreThreshold = 0.25;                ///< candidates scoring below it are dropped
    double nmsThreshold = 0.45;                  ///< IoU above which a candidate is suppressed
    std::int32_t maximumDetections = 300;
    bool normalizedCoordinates = false;  ///< box values are fractions of imageWidth / imageHeight
    bool classAgnosticNms = false;       ///< suppress across classes instead of within each
    std::int32_t imageWidth = 0;
    std::int32_t imageHeight = 0;
};

/// One detection, in the model's pixel space; xMin < xMax and yMin < yMax.
struct TARNIVALE_AI_EXPORT AiDetection {
    double xMin = 0.0;
    double yMin = 0.0;
    double xMax = 0.0;
    double yMax = 0.0;
    double score = 0.0;
    std::int32_t classId = -1;
    QString label;  ///< the manifest label of classId, empty when none
};

struct TARNIVALE_AI_EXPORT AiObjectDetectionResult {
    QList<AiDetection> detections;
    AiExecutionProvider provider = AiExecutionProvider::Cpu;
    std::int64_t elapsedMilliseconds = 0;
};

/// A point in a raster's georeferenced coordinate system.
struct TARNIVALE_AI_EXPORT AiGeoPoint {
    double x = 0.0;
    double y = 0.0;
};

/// A detection in raster pixels with its box corners in georeferenced coordinates (four points, not closed).
struct TARNIVALE_AI_EXPORT AiGeoreferencedDetection {
    double xMin = 0.0;
    double yMin = 0.0;
    double xMax = 0.0;
    double yMax = 0.0;
    double score = 0.0;
    std::int32_t classId = -1;
    QString label;
    QList<AiGeoPoint> footprint;
};

class TARNIVALE_AI_EXPORT AiDetectionGeoreferencer {
public:
    /// Maps each usable box's corners (xMin, yMin), (xMax, yMin), (xMax, yMax), (xMin, yMax) through a
    /// six-value GDAL geotransform; boxes with non-finite or empty extents are skipped. Throws
    /// std::invalid_argument for a geotransform that is not six finite values.
    static QList<AiGeoreferencedDetection> transform(const QList<AiDetection>& detections,
                                                     const QList<double>& geoTransform);
};

class TARNIVALE_AI_EXPORT AiObjectDetectionDecoder {
public:
    /// Boxes [N, 4] or [1, N, 4] (Float32), N scores and N class values; the detections best first after
    /// greedy suppression. Throws std::invalid_argument.
    static QList<AiDetection> decode(const AiTensor& boxes, const AiTensor& scores, const AiTensor& classes,
                                     const AiObjectDetectionOptions& options,
                                     const QList<QString>& labels = {});
};

class TARNIVALE_AI_EXPORT AiObjectDetectionExecutor {
public:
    /// Decodes a run's outputs through the manifest's decoders of the roles "boxes", "scores", "classes".
    static AiObjectDetectionResult decode(const AiModelManifest& manifest, const AiInferenceResult& result);
    /// Opens the package, runs its model on the inputs and decodes the outputs.
    static AiObjectDetectionResult run(const QString& packagePath, const QList<AiTensor>& inputs,
                                       const AiSessionOptions& sessionOptions = {});
};

// --- Raster detection ------------------------------------------------------------------------------------

struct TARNIVALE_AI_EXPORT AiRasterObjectDetectionRequest {
    QString packagePath;
    QString rasterPath;
    AiSessionOptions sessionOptions;
    std::function<bool()> cancellationRequested;  ///< polled at the checkpoints; true cancels
    Tarnivale::Core::Operations::OperationContext
        operationContext;  ///< asked first; its request also cancels
    /// When set, replace the manifest's thresholds after its decoders' options are applied.
    std::optional<double> scoreThreshold;
    std::optional<double> nmsThreshold;
};

struct TARNIVALE_AI_EXPORT AiRasterObjectDetectionProgress {
    std::int32_t percent = 0;
    QString message;
    std::int32_t completedWindows = 0;  ///< sliced runs only: windows done so far
    std::int32_t totalWindows = 0;      ///< sliced runs only: windows of the scene
};

using AiRasterObjectDetectionProgressCallback = std::function<void(const AiRasterObjectDetectionProgress&)>;

struct TARNIVALE_AI_EXPORT AiRasterObjectDetectionResult {
    AiObjectDetectionResult detection;  ///< detections in raster pixel coordinates
    QList<AiDetection> pixelDetections;
    QList<AiGeoreferencedDetection> georeferencedDetections;  ///< only with a six-value geotransform
    std::int32_t rasterWidth = 0;
    std::int32_t rasterHeight = 0;
    QList<double> geoTransform;  ///< empty when the raster has none
    QString projection;          ///< WKT, empty when none
    bool cancelled = false;
};

class TARNIVALE_AI_EXPORT AiRasterObjectDetectionExecutor {
public:
    /// One shot over the whole raster: its bands are read at the model's input size (resampled when the
    /// adapter's resize mode is "stretch" or "bilinear"), normalised, run, decoded and scaled back to raster
    /// pixels. Throws on failures; cancellation is reported through `cancelled`.
    static AiRasterObjectDetectionResult run(const AiRasterObjectDetectionRequest& request,
                                             const AiRasterObjectDetectionProgressCallback& progress = {});
};

/// How a scene is cut into overlapping windows for sliced detection.
struct TARNIVALE_AI_EXPORT AiSlicedDetectionOptions {
    std::int32_t tileWidth = 0;   ///< window size in raster pixels; 0 = the model's input width
    std::int32_t tileHeight = 0;  ///< 0 = the model's input height
    std::int32_t overlapX = -1;   ///< pixels shared by neighbouring windows; negative = 20 % of the tile
    std::int32_t overlapY = -1;
    bool classAgnosticMerge = false;  ///< suppress across classes when merging the windows' detections
};

class TARNIVALE_AI_EXPORT AiSlicedObjectDetectionExecutor {
public:
    /// Runs the package over overlapping windows (each read at the model's input size), drops detections
    /// cut by an inner window edge when another window holds the object whole, merges the rest with one
    /// suppression over the scene and georeferences them. Memory stays that of one window. A window smaller
    /// than the model input (at a small raster's edge) is zero-padded. The manifest's maximumDetections
    /// bounds each window, not the scene.
    static AiRasterObjectDetectionResult run(const AiRasterObjectDetectionRequest& request,
                                             const AiSlicedDetectionOptions& options = {},
                                             const AiRasterObjectDetectionProgressCallback& progress = {});
};

/// Writes detections as box polygons to a new GeoPackage layer in the raster's CRS.
class TARNIVALE_AI_EXPORT AiDetectionVectorWriter {
public:
    /// Layer `layerName` with fields "score" (real), "class_id" (integer) and "label" (text); footprints
    /// come from the result's geotransform (pixel coordinates when it has none). The file is written beside
    /// `path` and renamed into place once complete; an existing `path` is never replaced. Returns the
    /// feature count.
    static std::int64_t write(const AiRasterObjectDetectionResult& result, const QString& path,
                              const QString& layerName = QStringLiteral("detections"));
};

}  // namespace Tarnivale::AI
