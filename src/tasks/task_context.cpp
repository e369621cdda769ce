#include "tasks/task_context.h"

#include "runtime/errors.h"
#include "tasks/task_record.h"

#include <QDir>

#include <algorithm>

namespace Tarnivale::AI::Tasks {

namespace {
constexpr qint64 DefaultDeadlineMilliseconds = 600000;
}

TaskContext::TaskContext(TaskRecord& record, QJsonObject request)
    : m_record(record),
      m_request(std::move(request)),
      m_deadlineMilliseconds(
          m_request.value(QStringLiteral("maximumMilliseconds")).toInteger(DefaultDeadlineMilliseconds)) {
    m_clock.start();
}

QString TaskContext::workspaceFile(const QString& name) const {
    return QDir(m_workspacePath).absoluteFilePath(name);
}

void TaskContext::checkpoint() const {
    if (m_record.cancellationRequested()) {
        throwRuntimeError(QStringLiteral("AI task cancelled."));
    }
    if (m_clock.elapsed() >= m_deadlineMilliseconds) {
        throwRuntimeError(QStringLiteral("AI task deadline exceeded."));
    }
}

bool TaskContext::interrupted() const {
    return m_record.cancellationRequested() || m_clock.elapsed() >= m_deadlineMilliseconds;
}

std::function<bool()> TaskContext::interruptionTest() const {
    return [this] { return interrupted(); };
}

void TaskContext::reportStage(std::int32_t percent, const QString& message) {
    const std::lock_guard guard(m_record.lock);
    m_record.status.percent = std::max(m_record.status.percent, std::min(percent, 99));
    m_record.status.message = message;
}

std::int32_t stagePercent(std::int32_t start, std::int32_t p, std::int32_t span) {
    return start + (p * span) / 100;
}

Checkpoint TaskContext::checkpointFunction() const {
    return [this] { checkpoint(); };
}

AiRasterProgressCallback TaskContext::inferenceProgress(std::int32_t span, std::int32_t start) {
    return [this, span, start](const AiRasterInferenceProgress& progress) {
        const std::int32_t mapped = std::clamp(stagePercent(start, progress.percent, span), 0, 99);
        const std::lock_guard guard(m_record.lock);
        m_record.status.percent = std::max(m_record.status.percent, mapped);
        m_record.status.message = progress.message;
        if (progress.totalTiles > 0) {
            m_record.status.completedTiles = progress.completedTiles;
            m_record.status.totalTiles = progress.totalTiles;
        }
    };
}

std::int32_t TaskContext::intraOpThreads(std::int32_t kindDefault) const {
    return static_cast<std::int32_t>(
        m_request.value(QStringLiteral("intraOpThreads")).toInteger(kindDefault));
}

}  // namespace Tarnivale::AI::Tasks
