// The frame every task's thread runs: workspace, the running state, the kind's pipeline, then publication
// or the failure state. Nothing escapes the thread.

#include "tasks/task_worker.h"

#include "runtime/gdal_handles.h"
#include "tasks/task_kinds.h"

#include <QDir>
#include <QTemporaryDir>

#include <pthread.h>
#include <atomic>
#include <memory>
#include <stdexcept>

namespace Tarnivale::AI::Tasks {

namespace {

std::atomic<int> g_runningWorkers{0};

// Counts the worker from its first to its last instruction.
struct RunningWorker {
    RunningWorker() { ++g_runningWorkers; }
    ~RunningWorker() { --g_runningWorkers; }
    RunningWorker(const RunningWorker&) = delete;
    RunningWorker& operator=(const RunningWorker&) = delete;
};

void fail(TaskRecord& record, const QString& text) {
    const std::lock_guard guard(record.lock);
    record.status.state =
        record.cancellationRequested() ? QStringLiteral("cancelled") : QStringLiteral("failed");
    record.status.error = text;
    record.status.message = text;
}

// Deletes the workspace with its contents; the files go outside the task lock.
void discardWorkspace(TaskRecord& record) {
    std::unique_ptr<QTemporaryDir> workspace;
    {
        const std::lock_guard guard(record.lock);
        workspace = std::move(record.workspace);
    }
}

// Shows the result, unless a cancellation came first.
bool publish(TaskRecord& record, QJsonObject result) {
    const std::lock_guard guard(record.lock);
    if (record.cancellationRequested()) {
        return false;
    }
    record.result = std::move(result);
    record.status.state = QStringLiteral("completed");
    record.status.percent = 100;
    record.status.message = QStringLiteral("Completed");
    return true;
}

}  // namespace

int runningTaskWorkers() {
    return g_runningWorkers.load();
}

void runTaskWorker(TaskRecord& record, const QJsonObject& request) {
    const RunningWorker running;
    // Named, so that a host's debugger and thread listings show whose thread this is.
    pthread_setname_np(pthread_self(), "tarnivale-task");
    TaskContext task(record, request);
    try {
        auto workspace =
            std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/tarnivale-ai-task-XXXXXX"));
        const bool created = workspace->isValid();
        task.setWorkspacePath(created ? workspace->path() : QString());
        {
            const std::lock_guard guard(record.lock);
            record.workspace = std::move(workspace);
            if (!record.cancellationRequested()) {
                record.status.state = QStringLiteral("running");
            }
        }
        task.checkpoint();
        if (!created) {
            throw std::runtime_error("Cannot create AI task workspace.");
        }
        Gdal::registerDrivers();
        if (!publish(record, taskKind(request).run(task))) {
            throw std::runtime_error("AI task cancelled.");
        }
    } catch (const std::exception& error) {
        // The files go before the state turns terminal, so a host that sees the failure finds nothing left.
        discardWorkspace(record);
        fail(record, QString::fromUtf8(error.what()));
    } catch (...) {
        discardWorkspace(record);
        fail(record, QStringLiteral("Unknown native AI task failure."));
    }
}

}  // namespace Tarnivale::AI::Tasks
