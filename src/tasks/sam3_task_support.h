#pragma once

// What the "sam3-text" and "sam3-tracker" kinds share: the process-wide SAM3 lock, the source, bundle and
// raster-option checks of their workers, the session options, the GIS options and the draft validation
// with the result document.

#include <tarnivale/ai/sam3.h>

#include "sam3/polled_mutex.h"
#include "tasks/task_context.h"

#include <QJsonObject>

namespace Tarnivale::AI::Tasks {

/// Called right after a SAM3 task takes the process-wide lock (a seam for concurrency tests).
extern void (*sam3TaskLockedHook)();

/// Waits for the process-wide SAM3 lock 10 ms at a time, running the checkpoint and showing "Waiting for the
/// active SAM3 task" while another SAM3 task holds it.
Sam3::PolledMutex::Hold takeSam3TaskLock(TaskContext& task);

/// The checked inputs of a SAM3 task's worker.
struct Sam3TaskInputs {
    QString rasterPath;
    QString manifestPath;
    AiSamRasterOptions rasterOptions;
    AiSessionOptions sessionOptions;
};

/// Steps 3 to 7 of both workers: the source raster and its pixel budget, GEOS, the bundle manifest and its
/// identity for `kind`, bands, display ranges, window, provider and threads.
Sam3TaskInputs sam3TaskInputs(const TaskContext& task, const QString& kind);

/// The GIS options of a SAM3 task: "result" in the workspace, the window, the task's budgets and provenance.
AiSamGisOptions sam3TaskGisOptions(const TaskContext& task, const QString& kind,
                                   const Sam3TaskInputs& inputs);

/// Runs a SAM3 worker's pipeline; a failure caused by a stop reads as the task's own cancellation or
/// deadline.
template <typename Pipeline>
QJsonObject runSam3Pipeline(TaskContext& task, const Pipeline& pipeline) {
    try {
        return pipeline();
    } catch (const std::exception&) {
        task.checkpoint();
        throw;
    }
}

/// Checks the published draft and returns the kind's result document.
QJsonObject sam3TaskResult(TaskContext& task, const QString& kind, const Sam3TaskInputs& inputs,
                           const AiSamGisResult& result, AiExecutionProvider provider);

}  // namespace Tarnivale::AI::Tasks
