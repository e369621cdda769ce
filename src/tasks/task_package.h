#pragma once

// A kind's model package: opened, validated, its contract checked, and turned into the raster executor's
// request with the task's provider, threads and interruption test.

#include <tarnivale/ai/models.h>
#include <tarnivale/ai/raster.h>

#include "tasks/source_raster.h"
#include "tasks/task_context.h"

#include <QString>

#include <cstdint>
#include <functional>

namespace Tarnivale::AI::Tasks {

/// The kind's test of a manifest: true when the kind can run the model it describes.
using ModelContract = std::function<bool(const AiModelManifest&)>;

/// Opens the package; a package that cannot be opened or has validation messages fails with "Model package
/// failed integrity validation.", one the contract refuses with contractMessage.
AiModelPackage openTaskPackage(const QString& directory, const ModelContract& contract,
                               const QString& contractMessage);

/// The executor's request for the package's first input, output, adapter and decoder over the raster, on
/// the task's provider with its "intraOpThreads" (else defaultThreads), one inter-operator thread, and the
/// task's interruption test as the cancellation callable.
AiRasterInferenceRequest taskInferenceRequest(const AiModelPackage& package, const QString& rasterPath,
                                              const TaskContext& task, std::int32_t defaultThreads);

/// The estimate document of a kind that runs the raster executor on its package's request: the source
/// checked by `rules` and the package by its contract, as the run checks them, then the executor's estimate.
QJsonObject executorEstimate(const QJsonObject& request, const SourceRasterRules& rules,
                             const ModelContract& contract, const QString& contractMessage);

}  // namespace Tarnivale::AI::Tasks
