#include "tasks/task_kinds.h"

#include "runtime/errors.h"

namespace Tarnivale::AI::Tasks {

// Defined in each kind's own file.
extern const TaskKind DynamicWorldTask;
extern const TaskKind HotosmBuildingsTask;
extern const TaskKind GeoaiUsaBuildingsTask;
extern const TaskKind Sam3TextTask;
extern const TaskKind Sam3TrackerTask;

namespace {

// The kinds: one line each.
const TaskKind Kinds[] = {
    DynamicWorldTask,
    HotosmBuildingsTask,
    GeoaiUsaBuildingsTask,
    {"prithvi-flood", &checkNothingMore, &runUnavailableTask},
    {"prue-fields", &checkNothingMore, &runUnavailableTask},
    {"sen2sr-super-resolution", &checkNothingMore, &runUnavailableTask},
    Sam3TextTask,
    Sam3TrackerTask,
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

QStringList taskKindNames() {
    QStringList names;
    for (const TaskKind& kind : Kinds) {
        names.append(QLatin1String(kind.name));
    }
    return names;
}

void checkNothingMore(QJsonObject&) {}

QJsonObject runUnavailableTask(TaskContext& task) {
    task.checkpoint();
    throwRuntimeError(QStringLiteral("AI task kind \"%1\" is not available in this build.")
                          .arg(task.request().value(QStringLiteral("task")).toString()));
}

}  // namespace Tarnivale::AI::Tasks
