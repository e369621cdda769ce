#include "tasks/task_table.h"

#include "runtime/errors.h"
#include "runtime/process_libraries.h"

#include <cstdlib>

namespace Tarnivale::AI::Tasks {

namespace {

[[noreturn]] void unknownTask() {
    throwInvalidArgument(QStringLiteral("Unknown or released AI task ID."));
}

void stopTasksAtExit() {
    TaskTable::instance().stopForExit();
}

// Workers left running at exit meet the inference engine, libcrypto and GDAL after their clean-up. Handlers
// run in the reverse order of registration, so ours is registered once every library the workers use has
// registered its own (and after the table itself was constructed): it runs first, and the table's destructor
// later finds nothing to do.
void prepareExit() {
    static std::once_flag once;
    std::call_once(once, [] {
        startProcessLibraries();
        if (std::atexit(&stopTasksAtExit) != 0) {
            throwRuntimeError(QStringLiteral("Cannot prepare AI tasks for the process's exit."));
        }
    });
}

}  // namespace

TaskTable& TaskTable::instance() {
    static TaskTable table;
    return table;
}

std::uint64_t TaskTable::start(std::shared_ptr<TaskRecord> record,
                               const std::function<void(TaskRecord&)>& worker) {
    prepareExit();
    const std::lock_guard guard(m_lock);
    if (m_closed) {
        throwRuntimeError(QStringLiteral("AI tasks cannot start while the process exits."));
    }
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

void TaskTable::stopForExit() noexcept {
    std::unordered_map<std::uint64_t, std::shared_ptr<TaskRecord>> tasks;
    {
        // Never held by a worker, and by API calls only briefly: a worker calling exit cannot be in the way.
        const std::lock_guard guard(m_lock);
        m_closed = true;
        tasks.swap(m_tasks);
    }
    // Every task is told first, so that the workers wind down together rather than one after the other.
    for (const auto& entry : tasks) {
        entry.second->requestCancellation();
    }
    for (const auto& entry : tasks) {
        try {
            // A workspace that cannot be deleted cannot be reported to anyone any more.
            static_cast<void>(entry.second->stopAndClean());
        } catch (...) {
            // Nothing can escape an exit handler; the other tasks are still stopped.
        }
    }
}

}  // namespace Tarnivale::AI::Tasks
