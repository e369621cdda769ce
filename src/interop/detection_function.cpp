// TarnivaleAI_RunObjectDetection: a JSON request onto one-shot or sliced raster detection, with an optional
// GeoPackage of footprints.

#include <tarnivale/ai/detection.h>
#include <tarnivale/ai/interop.h>

#include "interop/interop_frame.h"
#include "runtime/errors.h"

#include <QJsonArray>

#include <cmath>
#include <limits>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Interop;

namespace {

// Keys of the wrong type are refused by name rather than read as their defaults: a host that sends
// "scoreThreshold": "0.5" would otherwise run with the manifest's threshold without knowing.
QString text(const QJsonObject& json, const char* key, const QString& fallback = {}) {
    return optionalText(json, key, "Detection request", fallback);
}

std::optional<double> number(const QJsonObject& json, const char* key) {
    const QJsonValue value = json.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        return std::nullopt;
    }
    if (!value.isDouble()) {
        throwInvalidArgument(QStringLiteral("Detection request key '%1' must be a number.").arg(key));
    }
    return value.toDouble();
}

std::int32_t whole(const QJsonObject& json, const char* key, std::int32_t fallback) {
    const std::optional<double> value = number(json, key);
    if (!value) {
        return fallback;
    }
    if (*value != std::floor(*value) || *value < std::numeric_limits<std::int32_t>::min() ||
        *value > std::numeric_limits<std::int32_t>::max()) {
        throwInvalidArgument(QStringLiteral("Detection request key '%1' must be a 32-bit integer.").arg(key));
    }
    return static_cast<std::int32_t>(*value);
}

bool flag(const QJsonObject& json, const char* key) {
    return optionalFlag(json, key, "Detection request");
}

QJsonArray numbers(const QList<double>& values) {
    QJsonArray array;
    for (const double value : values) {
        array.append(value);
    }
    return array;
}

QJsonObject detectionJson(const AiDetection& detection, const QList<AiGeoPoint>& footprint) {
    QJsonArray corners;
    for (const AiGeoPoint& point : footprint) {
        corners.append(QJsonArray{point.x, point.y});
    }
    return QJsonObject{
        {QStringLiteral("xMin"), detection.xMin},   {QStringLiteral("yMin"), detection.yMin},
        {QStringLiteral("xMax"), detection.xMax},   {QStringLiteral("yMax"), detection.yMax},
        {QStringLiteral("score"), detection.score}, {QStringLiteral("classId"), detection.classId},
        {QStringLiteral("label"), detection.label}, {QStringLiteral("footprint"), corners},
    };
}

QJsonObject resultJson(const AiRasterObjectDetectionResult& result, const QString& outputPath,
                       std::int64_t features) {
    QJsonArray detections;
    const bool georeferenced = result.georeferencedDetections.size() == result.pixelDetections.size();
    for (qsizetype i = 0; i < result.pixelDetections.size(); ++i) {
        detections.append(detectionJson(
            result.pixelDetections.at(i),
            georeferenced ? result.georeferencedDetections.at(i).footprint : QList<AiGeoPoint>{}));
    }
    return QJsonObject{
        {QStringLiteral("detections"), detections},
        {QStringLiteral("rasterWidth"), result.rasterWidth},
        {QStringLiteral("rasterHeight"), result.rasterHeight},
        {QStringLiteral("geoTransform"), numbers(result.geoTransform)},
        {QStringLiteral("projectionWkt"), result.projection},
        {QStringLiteral("provider"), aiExecutionProviderName(result.detection.provider)},
        {QStringLiteral("elapsedMilliseconds"), static_cast<qint64>(result.detection.elapsedMilliseconds)},
        {QStringLiteral("cancelled"), result.cancelled},
        {QStringLiteral("outputPath"), outputPath},
        {QStringLiteral("featureCount"), static_cast<qint64>(features)},
    };
}

}  // namespace

extern "C" TarnivaleAI_Char* TarnivaleAI_RunObjectDetection(const TarnivaleAI_Char* requestJson,
                                                            TarnivaleAI_ProgressCallback progress,
                                                            void* userData) {
    return runJsonFunction([=] {
        const QJsonObject json = parseRequest(requestJson);
        AiRasterObjectDetectionRequest request;
        request.packagePath = text(json, "packagePath");
        request.rasterPath = text(json, "rasterPath");
        request.sessionOptions = readSessionOptions(json);
        request.scoreThreshold = number(json, "scoreThreshold");
        request.nmsThreshold = number(json, "nmsThreshold");
        const QString mode = text(json, "mode", QStringLiteral("oneShot"));
        const bool sliced = mode.compare(QLatin1String("sliced"), Qt::CaseInsensitive) == 0;
        if (!sliced && mode.compare(QLatin1String("oneShot"), Qt::CaseInsensitive) != 0) {
            throwInvalidArgument(QStringLiteral("Unsupported detection mode: %1").arg(mode));
        }
        AiSlicedDetectionOptions options;
        options.tileWidth = whole(json, "tileWidth", options.tileWidth);
        options.tileHeight = whole(json, "tileHeight", options.tileHeight);
        options.overlapX = whole(json, "overlapX", options.overlapX);
        options.overlapY = whole(json, "overlapY", options.overlapY);
        options.classAgnosticMerge = flag(json, "classAgnosticMerge");
        const QString outputPath = text(json, "outputPath");
        const QString layerName = text(json, "layerName", QStringLiteral("detections"));

        AiRasterObjectDetectionProgressCallback report;
        if (progress != nullptr) {
            report = [progress, userData](const AiRasterObjectDetectionProgress& p) {
                progress(p.completedWindows, p.totalWindows, p.percent,
                         reinterpret_cast<const TarnivaleAI_Char*>(p.message.utf16()), userData);
            };
        }
        const AiRasterObjectDetectionResult result =
            sliced ? AiSlicedObjectDetectionExecutor::run(request, options, report)
                   : AiRasterObjectDetectionExecutor::run(request, report);
        std::int64_t features = 0;
        if (!result.cancelled && !outputPath.isEmpty()) {
            features = AiDetectionVectorWriter::write(result, outputPath, layerName);
        }
        return resultJson(result, outputPath, features);
    });
}
