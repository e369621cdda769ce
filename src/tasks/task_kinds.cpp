#include "tasks/task_kinds.h"

#include "runtime/errors.h"

namespace Tarnivale::AI::Tasks {

// Defined in each kind's own file.
extern const TaskKind DynamicWorldTask;
extern const TaskKind HotosmBuildingsTask;
extern const TaskKind GeoaiUsaBuildingsTask;
extern const TaskKind PrithviFloodTask;
extern const TaskKind PrueFieldsTask;
extern const TaskKind Sen2srSuperResolutionTask;
extern const TaskKind Sam3TextTask;
extern const TaskKind Sam3TrackerTask;

namespace {

// The kinds: one line each.
const TaskKind Kinds[] = {
    DynamicWorldTask, HotosmBuildingsTask,       GeoaiUsaBuildingsTask, PrithviFloodTask,
    PrueFieldsTask,   Sen2srSuperResolutionTask, Sam3TextTask,          Sam3TrackerTask,
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

}  // namespace Tarnivale::AI::Tasks
