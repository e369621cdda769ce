#pragma once

#include "tasks/task_record.h"

#include <QJsonObject>

namespace Tarnivale::AI::Tasks {

/// Runs the worker's frame around the kind's pipeline: workspace, state changes, publication or failure.
void runTaskWorker(TaskRecord& record, const QJsonObject& request);
/// Task worker threads that have not yet ended.
int runningTaskWorkers();

}  // namespace Tarnivale::AI::Tasks
