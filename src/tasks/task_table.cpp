#include "tasks/task_table.h"

#include "runtime/errors.h"

namespace Tarnivale::AI::Tasks {

namespace {
[[noreturn]] void unknownTask() {
    throwInvalidArgument(QStringLiteral("Unknown or released AI task ID."));
}
}  // namespace

TaskTable& TaskTable::instance() {
    static TaskTable table;
    return table;
}

std::uint64_t TaskTable::start(std::shared_ptr<TaskRecord> record,
                               const std::function<void(TaskRecord&)>& worker) {
    const std::lock_guard guard(m_lock);
    if (m_tasks.size() >= MaximumLiveTasks) {
        throwRuntimeError(QStringLiteral("Too many live AI tasks. Release unused task IDs."));
    }
    if (m_nextIdentifier >= IdentifierCeiling) {
        throwRuntimeError(QStringLiteral("AI task ID space exhausted."));
    }
    const std::uint64_t identifier = m_nextIdentifier;
    // Reserve the slot first, so that nothing after the thread has started can fail.
    const auto slot = m_tasks.emplace(identifier, nullptr).first;
    try {
        TaskRecord& target = *record;
        record->worker = std::thread([&target, worker] { worker(target); });
    } catch (...) {
        m_tasks.erase(slot);
        throw;
    }
    slot->second = std::move(record);
    ++m_nextIdentifier;
    return identifier;
}

std::shared_ptr<TaskRecord> TaskTable::find(std::uint64_t taskId) const {
    const std::lock_guard guard(m_lock);
    const auto found = m_tasks.find(taskId);
    if (found == m_tasks.end() || !found->second) {
        unknownTask();
    }
    return found->second;
}

std::shared_ptr<TaskRecord> TaskTable::remove(std::uint64_t taskId) {
    const std::lock_guard guard(m_lock);
    const auto found = m_tasks.find(taskId);
    if (found == m_tasks.end() || !found->second) {
        unknownTask();
    }
    std::shared_ptr<TaskRecord> record = std::move(found->second);
    m_tasks.erase(found);
    return record;
}

void TaskTable::setNextIdentifierForTesting(std::uint64_t next) {
    const std::lock_guard guard(m_lock);
    m_nextIdentifier = next;
}

}  // namespace Tarnivale::AI::Tasks
