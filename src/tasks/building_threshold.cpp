#include "tasks/building_threshold.h"

#include "runtime/errors.h"

#include <cmath>

namespace Tarnivale::AI::Tasks {

void checkBuildingThreshold(QJsonObject& request) {
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

double buildingThreshold(const QJsonObject& request) {
    return request.value(QStringLiteral("threshold")).toDouble(0.5);
}

}  // namespace Tarnivale::AI::Tasks
