#include "tasks/task_results.h"

namespace Tarnivale::AI::Tasks {

QJsonObject resultEnvelope(const QString& kind, const QString& sourceRasterPath,
                           const AiRasterInferenceResult& result, const TaskContext& task) {
    return QJsonObject{
        {QStringLiteral("schemaVersion"), QStringLiteral("1.0")},
        {QStringLiteral("task"), kind},
        {QStringLiteral("sourceRasterPath"), sourceRasterPath},
        {QStringLiteral("projectionWkt"), result.projectionWkt},
        {QStringLiteral("geoTransform"), jsonNumbers(result.geoTransform)},
        {QStringLiteral("width"), result.width},
        {QStringLiteral("height"), result.height},
        {QStringLiteral("tiles"), result.processedTiles},
        {QStringLiteral("peakMemoryBytes"), static_cast<qint64>(result.peakMemoryBytes)},
        {QStringLiteral("provider"), aiExecutionProviderName(result.provider)},
        {QStringLiteral("elapsedMilliseconds"), task.elapsedMilliseconds()},
        {QStringLiteral("provenance"), result.provenance.toJson()},
    };
}

QJsonArray jsonNumbers(const QList<double>& values) {
    QJsonArray array;
    for (const double value : values) {
        array.append(value);
    }
    return array;
}

QJsonArray jsonNumbers(const QList<qint64>& values) {
    QJsonArray array;
    for (const qint64 value : values) {
        array.append(value);
    }
    return array;
}

}  // namespace Tarnivale::AI::Tasks
