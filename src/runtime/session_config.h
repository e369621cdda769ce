#pragma once

#include <onnxruntime_c_api.h>

namespace Tarnivale::AI {

/// Thread-pool settings every session gets. Idle intra-op workers must not spin after a run: the
/// executors do GDAL and blending work between runs and need the cores back at once.
void applyThreadPoolConfiguration(OrtSessionOptions* options);

}  // namespace Tarnivale::AI
