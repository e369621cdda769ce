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
        worker.join();
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
