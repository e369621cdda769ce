#pragma once

// The keys every kind's result document shares.

#include <tarnivale/ai/raster.h>

#include "tasks/task_context.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace Tarnivale::AI::Tasks {

/// "schemaVersion", "task", "sourceRasterPath", and from the inference result "projectionWkt",
/// "geoTransform", "width", "height", "tiles", "provider", "provenance"; "elapsedMilliseconds" from the task.
QJsonObject resultEnvelope(const QString& kind, const QString& sourceRasterPath,
                           const AiRasterInferenceResult& result, const TaskContext& task);

QJsonArray jsonNumbers(const QList<double>& values);
QJsonArray jsonNumbers(const QList<qint64>& values);

}  // namespace Tarnivale::AI::Tasks
