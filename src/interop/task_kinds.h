#pragma once

// The task kinds: each kind's start checks and pipeline. A kind's pipeline lives in a source file of its
// own and is listed once in task_kinds.cpp.

#include "interop/task_context.h"

#include <QJsonObject>
#include <QString>

namespace Tarnivale::AI::Interop {

struct TaskKind {
    const char* name;
    /// The kind's own checks at start; throws with the message of the first failure. Paths it requires are
    /// made absolute in the request.
    void (*checkRequest)(QJsonObject& request);
    /// Runs on the task's worker thread and returns the result document.
    QJsonObject (*run)(TaskContext& task);
};

/// Runs the worker's frame around the kind's pipeline: workspace, state changes, publication or failure.
void runTaskWorker(TaskRecord& record, const QJsonObject& request);
/// Task worker threads that have not yet ended.
int runningTaskWorkers();

/// The kind named by the request's "task" (compared case-sensitively), or "Unsupported AI task kind.".
const TaskKind& taskKind(const QJsonObject& request);

// Kind-specific start checks.
void checkNothingMore(QJsonObject& request);
void checkDynamicWorldRequest(QJsonObject& request);
void checkBuildingRequest(QJsonObject& request);

// Pipelines.
QJsonObject runDynamicWorldTask(TaskContext& task);
/// The kinds whose pipelines this build does not carry: they fail in their worker.
QJsonObject runUnavailableTask(TaskContext& task);

}  // namespace Tarnivale::AI::Interop
