#pragma once

// What a task kind's pipeline sees of its task: the request, the workspace, checkpoints, the interruption
// test for the inference engine, and progress reports that map each stage into its share of the percent.

#include <tarnivale/ai/raster.h>

#include "raster/class_raster_products.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <cstdint>

namespace Tarnivale::AI::Tasks {

class TaskRecord;

/// A stage's share of the percent range: start + p × span / 100 with integer division, p in 0..100.
std::int32_t stagePercent(std::int32_t start, std::int32_t p, std::int32_t span);

class TaskContext {
public:
    /// Starts the task's clock; the workspace is named with setWorkspacePath once it exists.
    TaskContext(TaskRecord& record, QJsonObject request);

    const QJsonObject& request() const { return m_request; }
    void setWorkspacePath(const QString& path) { m_workspacePath = path; }
    /// Absolute path of a file in the task's workspace.
    QString workspaceFile(const QString& name) const;
    qint64 elapsedMilliseconds() const { return m_clock.elapsed(); }
    /// Milliseconds left before the task's deadline (0 once it has passed).
    qint64 remainingMilliseconds() const {
        return std::max<qint64>(0, m_deadlineMilliseconds - m_clock.elapsed());
    }

    /// Throws "AI task cancelled." or "AI task deadline exceeded.".
    void checkpoint() const;
    /// True when the task should stop: cancellation requested or the deadline reached.
    bool interrupted() const;
    /// The interruption test in the executor's form.
    std::function<bool()> interruptionTest() const;

    /// A stage report: the percent only grows; the message replaces the current one.
    void reportStage(std::int32_t percent, const QString& message);
    /// Maps the engine's percent p into start + p * span / 100 (at most 99) and copies its tile counts.
    AiRasterProgressCallback inferenceProgress(std::int32_t span, std::int32_t start = 2);
    /// The checkpoint in the form the raster products take.
    Checkpoint checkpointFunction() const;

    /// "intraOpThreads" when given (checked at start), else the kind's default.
    std::int32_t intraOpThreads(std::int32_t kindDefault) const;

private:
    TaskRecord& m_record;
    QJsonObject m_request;
    QString m_workspacePath;
    QElapsedTimer m_clock;
    qint64 m_deadlineMilliseconds;
};

}  // namespace Tarnivale::AI::Tasks
