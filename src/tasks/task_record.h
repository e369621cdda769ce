#pragma once

// One started task, shared by the task table and the API calls in progress. The worker thread refers to it
// without owning it: the record joins the worker before it goes away.

#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace Tarnivale::AI::Tasks {

/// The fields a status document shows, copied under the task lock.
struct TaskStatus {
    QString state;
    QString message;
    QString error;
    std::int32_t percent = 0;
    std::int32_t completedTiles = 0;
    std::int32_t totalTiles = 0;

    /// A copy whose strings share nothing with this one: Qt's implicit sharing between the worker and API
    /// threads would make reference counts change outside the task lock.
    TaskStatus detachedCopy() const;
};

class TaskRecord {
public:
    TaskRecord() = default;
    TaskRecord(const TaskRecord&) = delete;
    TaskRecord& operator=(const TaskRecord&) = delete;
    /// Stops the worker, waits for it and deletes the workspace, ignoring deletion failures.
    ~TaskRecord();

    /// Sets the cancellation flag, waits for the worker (unless called on it) and deletes the workspace;
    /// false when the workspace could not be deleted. Called once, by the last holder.
    bool stopAndClean();

    void requestCancellation() { m_cancellationRequested.store(true, std::memory_order_seq_cst); }
    bool cancellationRequested() const { return m_cancellationRequested.load(std::memory_order_seq_cst); }

    std::mutex lock;
    std::thread worker;
    // Guarded by lock:
    TaskStatus status{QStringLiteral("queued"), QStringLiteral("Queued"), {}, 0, 0, 0};
    QJsonObject result;
    /// From its creation by the worker: whoever ends the task (the worker on failure, the last holder, the
    /// process's exit) finds it here.
    std::unique_ptr<QTemporaryDir> workspace;

private:
    std::atomic<bool> m_cancellationRequested{false};
};

}  // namespace Tarnivale::AI::Tasks
