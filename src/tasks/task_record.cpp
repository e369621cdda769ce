#include "tasks/task_record.h"

namespace Tarnivale::AI::Tasks {

namespace {
QString detached(const QString& text) {
    return QString(text.constData(), text.size());
}
}  // namespace

TaskStatus TaskStatus::detachedCopy() const {
    return TaskStatus{detached(state), detached(message), detached(error),
                      percent,         completedTiles,    totalTiles};
}

TaskRecord::~TaskRecord() {
    stopAndClean();
}

bool TaskRecord::stopAndClean() {
    requestCancellation();
    if (worker.joinable()) {
        if (worker.get_id() == std::this_thread::get_id()) {
            // Only the process's exit, called from inside the task (a host's callback), gets here on the
            // worker itself: it never returns to the task, so there is nothing to wait for.
            worker.detach();
        } else {
            worker.join();
        }
    }
    std::unique_ptr<QTemporaryDir> directory;
    {
        const std::lock_guard guard(lock);
        directory = std::move(workspace);
    }
    if (!directory) {
        return true;
    }
    directory->setAutoRemove(false);
    return directory->remove();
}

}  // namespace Tarnivale::AI::Tasks
