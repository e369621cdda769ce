#include "detection/detection_run.h"

#include "detection/detection_heads.h"
#include "runtime/errors.h"

namespace Tarnivale::AI {

void checkDetectionRequest(const AiRasterObjectDetectionRequest& request) {
    if (request.packagePath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI model package path is required."));
    }
    if (request.rasterPath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("Input raster path is required."));
    }
}

DetectionPackage openDetectionPackage(const AiRasterObjectDetectionRequest& request) {
    const AiModelPackage package = AiModelPackage::open(request.packagePath);
    const QList<QString> errors = package.validationErrors();
    if (!errors.isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI model package is invalid: %1")
                                 .arg(joinMessages(errors, QStringLiteral("; "))));
    }
    DetectionPackage opened{package.manifest(), package.modelPath()};
    if (opened.manifest.task != AiTaskKind::ObjectDetection) {
        throwInvalidArgument(QStringLiteral("AI manifest task must be object_detection."));
    }
    overrideThresholds(opened.manifest, request);
    return opened;
}

bool detectionCancelled(const AiRasterObjectDetectionRequest& request) {
    return request.operationContext.isCancellationRequested() ||
           (request.cancellationRequested && request.cancellationRequested());
}

Gdal::Dataset openDetectionRaster(const QString& path, AiRasterObjectDetectionResult& result) {
    Gdal::registerDrivers();
    Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    if (!dataset) {
        throwRuntimeError(QStringLiteral("Input raster could not be opened."));
    }
    result.rasterWidth = GDALGetRasterXSize(dataset.get());
    result.rasterHeight = GDALGetRasterYSize(dataset.get());
    double transform[6];
    if (GDALGetGeoTransform(dataset.get(), transform) == CE_None) {
        result.geoTransform = QList<double>(std::begin(transform), std::end(transform));
    }
    if (const char* projection = GDALGetProjectionRef(dataset.get())) {
        result.projection = QString::fromUtf8(projection);
    }
    return dataset;
}

void finishDetectionResult(AiRasterObjectDetectionResult& result) {
    result.pixelDetections = result.detection.detections;
    if (result.geoTransform.size() == 6) {
        result.georeferencedDetections =
            AiDetectionGeoreferencer::transform(result.pixelDetections, result.geoTransform);
    }
}

}  // namespace Tarnivale::AI
