#pragma once

#include <tarnivale/ai/runtime.h>

#include <QJsonObject>

namespace Tarnivale::AI::Tasks {

/// The request's "provider", lower-cased: absent, "cpu" or "auto" run on the CPU, "cuda" on CUDA; anything
/// else, a value that is not a string included, fails with "Unsupported task provider.".
AiExecutionProvider taskProvider(const QJsonObject& request);

}  // namespace Tarnivale::AI::Tasks
