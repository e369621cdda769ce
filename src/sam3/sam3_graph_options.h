#pragma once

// The session options every SAM3 graph is opened with, shared by the text and tracker sessions.

#include <tarnivale/ai/runtime.h>

#include <cstdint>

namespace Tarnivale::AI::Sam3 {

/// The caller's options with TF32 off, the CUDA arena growing by exactly what is requested and shrinking
/// after each run, and the caller's memory limit or, when it is 0, the graph's own default.
inline AiSessionOptions graphSessionOptions(const AiSessionOptions& caller,
                                            std::int64_t defaultMemoryLimitBytes) {
    AiSessionOptions options = caller;
    options.cudaUseTf32 = false;
    options.cudaArenaSameAsRequested = true;
    options.cudaShrinkArenaAfterRun = true;
    if (caller.cudaMemoryLimitBytes == 0) {
        options.cudaMemoryLimitBytes = defaultMemoryLimitBytes;
    }
    return options;
}

}  // namespace Tarnivale::AI::Sam3
