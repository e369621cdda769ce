#pragma once

// The task kinds. A kind is one source file defining its TaskKind (its start checks and its pipeline) and
// one line in the table of task_kinds.cpp.

#include "tasks/task_context.h"

#include <QJsonObject>
#include <QStringList>

namespace Tarnivale::AI::Tasks {

struct TaskKind {
    const char* name;
    /// The kind's own checks at start; throws with the message of the first failure. Paths it requires are
    /// made absolute in the request.
    void (*checkRequest)(QJsonObject& request);
    /// Runs on the task's worker thread and returns the result document.
    QJsonObject (*run)(TaskContext& task);
    /// What the run will cost, without running the model, on the caller's thread: the estimate document of
    /// the raster executor's accounting. Null for kinds whose pipelines that accounting does not describe.
    QJsonObject (*estimate)(const QJsonObject& request) = nullptr;
};

/// The kind named by the request's "task" (compared case-sensitively), or "Unsupported AI task kind.".
const TaskKind& taskKind(const QJsonObject& request);
/// Every kind's name, in the table's order.
QStringList taskKindNames();

/// For kinds whose start needs no check beyond the envelope.
void checkNothingMore(QJsonObject& request);

}  // namespace Tarnivale::AI::Tasks
