// The task functions: start, status, result, cancel, release and the error slot. Export is in
// task_export.cpp.

#include <tarnivale/ai/interop.h>

#include "interop/task_frame.h"
#include "interop/task_json.h"
#include "interop/task_kinds.h"
#include "interop/task_table.h"
#include "runtime/errors.h"

#include <QJsonDocument>

#include <cstdlib>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Interop;

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

QJsonObject statusJson(std::uint64_t taskId, const TaskStatus& status) {
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

}  // namespace

extern "C" std::uint64_t TarnivaleAI_StartTaskUtf8(const char* taskJson) {
    return runTaskFunction("Cannot start AI task.", std::uint64_t{0}, [&] {
        // The worker gets plain bytes: no implicitly shared Qt data crosses to its thread.
        const QByteArray checked = QJsonDocument(checkedRequest(taskJson)).toJson(QJsonDocument::Compact);
        return TaskTable::instance().start(
            std::make_shared<TaskRecord>(), [request = checked.toStdString()](TaskRecord& record) {
                runTaskWorker(record, QJsonDocument::fromJson(QByteArray::fromStdString(request)).object());
            });
    });
}

extern "C" char* TarnivaleAI_GetTaskStatusUtf8(std::uint64_t taskId) {
    return runTaskFunction("Unknown AI task API failure.", static_cast<char*>(nullptr), [&] {
        const std::shared_ptr<TaskRecord> record = TaskTable::instance().find(taskId);
        TaskStatus status;
        {
            const std::lock_guard guard(record->lock);
            status = record->status.detachedCopy();
        }
        return newJsonString(statusJson(taskId, status));
    });
}

extern "C" char* TarnivaleAI_GetTaskResultUtf8(std::uint64_t taskId) {
    return runTaskFunction("Unknown AI task API failure.", static_cast<char*>(nullptr), [&] {
        const std::shared_ptr<TaskRecord> record = TaskTable::instance().find(taskId);
        // Serialised under the lock, so that no copy sharing the record's data leaves it.
        const std::lock_guard guard(record->lock);
        if (record->status.state != QLatin1String("completed")) {
            throwRuntimeError(QStringLiteral("AI task has no completed result."));
        }
        return newJsonString(record->result);
    });
}

extern "C" int TarnivaleAI_CancelTask(std::uint64_t taskId) {
    return runTaskFunction("Cannot cancel AI task.", 0, [&] {
        const std::shared_ptr<TaskRecord> record = TaskTable::instance().find(taskId);
        const std::lock_guard guard(record->lock);
        const QString& state = record->status.state;
        if (state != QLatin1String("queued") && state != QLatin1String("running") &&
            state != QLatin1String("cancelling")) {
            throwRuntimeError(QStringLiteral("AI task is already terminal."));
        }
        record->requestCancellation();
        record->status.state = QStringLiteral("cancelling");
        return 1;
    });
}

extern "C" int TarnivaleAI_ReleaseTask(std::uint64_t taskId) {
    return runTaskFunction("Cannot release AI task.", 0, [&] {
        std::shared_ptr<TaskRecord> record = TaskTable::instance().remove(taskId);
        record->requestCancellation();
        // The identifier is gone from the table, so no new holder can appear: when we are the only one,
        // the worker is awaited here; otherwise the last holder's release of the record does it.
        if (record.use_count() == 1 && !record->stopAndClean()) {
            throwRuntimeError(QStringLiteral("Cannot remove AI task workspace."));
        }
        return 1;
    });
}

extern "C" char* TarnivaleAI_GetLastTaskErrorUtf8(void) {
    try {
        return newUtf8String(lastTaskError().toUtf8());
    } catch (...) {
        return nullptr;
    }
}

extern "C" void TarnivaleAI_FreeTaskString(void* text) {
    std::free(text);
}
