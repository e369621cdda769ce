#pragma once

// Object detection: decoding box, score and class tensors into detections with non-maximum suppression,
// and binding that decoding to a model package.

#include <tarnivale/ai/export.h>
#include <tarnivale/ai/models.h>
#include <tarnivale/ai/runtime.h>

#include <QList>
#include <QString>

#include <cstdint>

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

}  // namespace Tarnivale::AI
