#include "interop/task_kinds.h"

#include "interop/task_json.h"
#include "runtime/errors.h"

#include <cmath>
#include <iterator>

namespace Tarnivale::AI::Interop {

namespace {

const TaskKind Kinds[] = {
    {"dynamic-world", &checkDynamicWorldRequest, &runDynamicWorldTask},
    {"hotosm-buildings", &checkBuildingRequest, &runUnavailableTask},
    {"geoai-usa-buildings", &checkBuildingRequest, &runUnavailableTask},
    {"prithvi-flood", &checkNothingMore, &runUnavailableTask},
    {"prue-fields", &checkNothingMore, &runUnavailableTask},
    {"sen2sr-super-resolution", &checkNothingMore, &runUnavailableTask},
    {"sam3-text", &checkNothingMore, &runUnavailableTask},
    {"sam3-tracker", &checkNothingMore, &runUnavailableTask},
};

}  // namespace

const TaskKind& taskKind(const QJsonObject& request) {
    const QString name = request.value(QStringLiteral("task")).toString();
    for (const TaskKind& kind : Kinds) {
        if (name == QLatin1String(kind.name)) {
            return kind;
        }
    }
    throwInvalidArgument(QStringLiteral("Unsupported AI task kind."));
}

void checkNothingMore(QJsonObject&) {}

void checkDynamicWorldRequest(QJsonObject& request) {
    request.insert(QStringLiteral("validityMaskPath"), requiredTaskPath(request, "validityMaskPath"));
}

void checkBuildingRequest(QJsonObject& request) {
    const QJsonValue value = request.value(QStringLiteral("threshold"));
    if (value.isUndefined()) {
        return;
    }
    if (!value.isDouble()) {
        throwInvalidArgument(QStringLiteral("Building threshold must be a number."));
    }
    const double threshold = value.toDouble();
    if (!std::isfinite(threshold) || threshold <= 0.0 || threshold >= 1.0) {
        throwInvalidArgument(QStringLiteral("Building threshold must be between zero and one."));
    }
}

QJsonObject runUnavailableTask(TaskContext& task) {
    task.checkpoint();
    throwRuntimeError(QStringLiteral("AI task kind \"%1\" is not available in this build.")
                          .arg(task.request().value(QStringLiteral("task")).toString()));
}

}  // namespace Tarnivale::AI::Interop
