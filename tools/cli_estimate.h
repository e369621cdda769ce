#pragma once

// What a run or a task will cost, as the library estimates it: printed for the user, and held against the
// user's --max-memory before anything long starts.

#include <QJsonObject>

namespace Tarnivale::Cli {

/// Prints the estimate (as JSON when `json` and `estimateOnly`, as a line when not `json`); throws a
/// Failure when its peak memory is above a positive `budget`.
void reportEstimate(const QJsonObject& estimate, qint64 budget, bool json, bool estimateOnly);

}  // namespace Tarnivale::Cli
