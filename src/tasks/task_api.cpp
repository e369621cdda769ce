#include "tasks/task_api.h"

#include "runtime/errors.h"
#include "tasks/task_json.h"
#include "tasks/task_kinds.h"
#include "tasks/task_table.h"
#include "tasks/task_worker.h"

#include <QJsonDocument>

namespace Tarnivale::AI::Tasks {

namespace {

// Start's checks, in order, on a request whose required paths become absolute for the worker.
QJsonObject checkedRequest(const char* taskJson) {
    QJsonObject request = parseTaskJson(taskJson);
    const TaskKind& kind = taskKind(request);
    request.insert(QStringLiteral("modelPackagePath"), requiredTaskPath(request, "modelPackagePath"));
    request.insert(QStringLiteral("rasterPath"), requiredTaskPath(request, "rasterPath"));
    kind.checkRequest(request);
    integerInRange(request, "maximumMilliseconds", 1, 3600000,
                   QStringLiteral("Task deadline must be 1..3600000 milliseconds."));
    integerInRange(request, "intraOpThreads", 1, 64, QStringLiteral("Invalid task thread count."));
    return request;
}

}  // namespace

std::uint64_t startTask(const char* taskJson) {
    // The worker gets plain bytes: no implicitly shared Qt data crosses to its thread.
    const QByteArray checked = QJsonDocument(checkedRequest(taskJson)).toJson(QJsonDocument::Compact);
    return TaskTable::instance().start(
        std::make_shared<TaskRecord>(), [request = checked.toStdString()](TaskRecord& record) {
            runTaskWorker(record, QJsonDocument::fromJson(QByteArray::fromStdString(request)).object());
        });
}

QJsonObject estimateTask(const char* taskJson) {
    const QJsonObject request = checkedRequest(taskJson);
    const TaskKind& kind = taskKind(request);
    if (kind.estimate == nullptr) {
        throwInvalidArgument(
            QStringLiteral("AI task kind has no estimate: %1").arg(QLatin1String(kind.name)));
    }
    QJsonObject document = kind.estimate(request);
    document.insert(QStringLiteral("task"), QLatin1String(kind.name));
    return document;
}

QJsonObject taskStatus(std::uint64_t taskId) {
    const std::shared_ptr<TaskRecord> record = TaskTable::instance().find(taskId);
    TaskStatus status;
    {
        const std::lock_guard guard(record->lock);
        status = record->status.detachedCopy();
    }
    return QJsonObject{
        {QStringLiteral("schemaVersion"), QStringLiteral("1.0")},
        {QStringLiteral("taskId"), static_cast<qint64>(taskId)},
        {QStringLiteral("state"), status.state},
        {QStringLiteral("percent"), status.percent},
        {QStringLiteral("message"), status.message},
        {QStringLiteral("error"), status.error},
        {QStringLiteral("completedTiles"), status.completedTiles},
        {QStringLiteral("totalTiles"), status.totalTiles},
    };
}

QByteArray taskResultJson(std::uint64_t taskId) {
    const std::shared_ptr<TaskRecord> record = TaskTable::instance().find(taskId);
    // Serialised under the lock, so that no copy sharing the record's data leaves it.
    const std::lock_guard guard(record->lock);
    if (record->status.state != QLatin1String("completed")) {
        throwRuntimeError(QStringLiteral("AI task has no completed result."));
    }
    return QJsonDocument(record->result).toJson(QJsonDocument::Compact);
}

void cancelTask(std::uint64_t taskId) {
    const std::shared_ptr<TaskRecord> record = TaskTable::instance().find(taskId);
    const std::lock_guard guard(record->lock);
    const QString& state = record->status.state;
    if (state != QLatin1String("queued") && state != QLatin1String("running") &&
        state != QLatin1String("cancelling")) {
        throwRuntimeError(QStringLiteral("AI task is already terminal."));
    }
    record->requestCancellation();
    record->status.state = QStringLiteral("cancelling");
}

void releaseTask(std::uint64_t taskId) {
    std::shared_ptr<TaskRecord> record = TaskTable::instance().remove(taskId);
    record->requestCancellation();
    // The identifier is gone from the table, so no new holder can appear: when we are the only one, the
    // worker is awaited here; otherwise the last holder's release of the record does it.
    if (record.use_count() == 1 && !record->stopAndClean()) {
        throwRuntimeError(QStringLiteral("Cannot remove AI task workspace."));
    }
}

}  // namespace Tarnivale::AI::Tasks
