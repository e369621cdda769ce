#include "tasks/task_provider.h"

#include "runtime/errors.h"

namespace Tarnivale::AI::Tasks {

AiExecutionProvider taskProvider(const QJsonObject& request) {
    const QJsonValue value = request.value(QStringLiteral("provider"));
    if (value.isUndefined()) {
        return AiExecutionProvider::Cpu;
    }
    const QString name = value.isString() ? value.toString().toLower() : QString();
    if (name == QLatin1String("cpu") || name == QLatin1String("auto")) {
        return AiExecutionProvider::Cpu;
    }
    if (name == QLatin1String("cuda")) {
        return AiExecutionProvider::Cuda;
    }
    throwInvalidArgument(QStringLiteral("Unsupported task provider."));
}

}  // namespace Tarnivale::AI::Tasks
