#pragma once

#include <QJsonObject>

namespace Tarnivale::AI::Tasks {

/// The building kinds' start check: an optional "threshold" that must be a JSON number ("Building threshold
/// must be a number.") strictly between 0 and 1 ("Building threshold must be between zero and one.").
void checkBuildingThreshold(QJsonObject& request);

/// The checked "threshold", 0.5 when absent.
double buildingThreshold(const QJsonObject& request);

}  // namespace Tarnivale::AI::Tasks
