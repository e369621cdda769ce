#pragma once

// The process's task table: identifiers from 1, never reused, at most 32 live tasks. A host may end the
// process with exit() while tasks run: the table then cancels every task and waits for its worker before the
// libraries the workers use are cleaned up.

#include "tasks/task_record.h"

#include <QJsonObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace Tarnivale::AI::Tasks {

class TaskTable {
public:
    static constexpr std::size_t MaximumLiveTasks = 32;
    /// Every identifier must be exactly representable as a JSON number.
    static constexpr std::uint64_t IdentifierCeiling = 9007199254740992ULL;  // 2^53

    static TaskTable& instance();

    /// Registers the record and starts its worker (given the record) while the table is locked. The first
    /// start prepares the process's exit (see stopForExit).
    std::uint64_t start(std::shared_ptr<TaskRecord> record, const std::function<void(TaskRecord&)>& worker);
    /// The record, or "Unknown or released AI task ID.".
    std::shared_ptr<TaskRecord> find(std::uint64_t taskId) const;
    /// Removes the identifier and returns its record, or "Unknown or released AI task ID.".
    std::shared_ptr<TaskRecord> remove(std::uint64_t taskId);

    /// Moves the counter, so that the identifier ceiling can be reached in tests.
    void setNextIdentifierForTesting(std::uint64_t next);

    /// Run at the process's exit: closes the table to new tasks, cancels every task, waits for every worker
    /// but the calling thread's own and deletes the workspaces. The table is empty afterwards.
    void stopForExit() noexcept;

private:
    mutable std::mutex m_lock;
    std::unordered_map<std::uint64_t, std::shared_ptr<TaskRecord>> m_tasks;
    std::uint64_t m_nextIdentifier = 1;
    bool m_closed = false;
};

}  // namespace Tarnivale::AI::Tasks
