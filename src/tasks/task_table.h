#pragma once

// The process's task table: identifiers from 1, never reused, at most 32 live tasks.

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

    /// Registers the record and starts its worker (given the record) while the table is locked.
    std::uint64_t start(std::shared_ptr<TaskRecord> record, const std::function<void(TaskRecord&)>& worker);
    /// The record, or "Unknown or released AI task ID.".
    std::shared_ptr<TaskRecord> find(std::uint64_t taskId) const;
    /// Removes the identifier and returns its record, or "Unknown or released AI task ID.".
    std::shared_ptr<TaskRecord> remove(std::uint64_t taskId);

    /// Moves the counter, so that the identifier ceiling can be reached in tests.
    void setNextIdentifierForTesting(std::uint64_t next);

private:
    mutable std::mutex m_lock;
    std::unordered_map<std::uint64_t, std::shared_ptr<TaskRecord>> m_tasks;
    std::uint64_t m_nextIdentifier = 1;
};

}  // namespace Tarnivale::AI::Tasks
