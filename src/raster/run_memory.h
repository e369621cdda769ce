#pragma once

// The raster executor's memory accounting, in one place: the run reports these figures to the host's budget
// as it goes, and the estimate predicts them before a run, so the two cannot drift apart.

#include <tarnivale/ai/raster.h>

#include <cstdint>

namespace Tarnivale::AI::RunMemory {

/// Before the first tile: the weight sums of the whole raster, W × H floats.
inline std::int64_t beforeTiles(std::int64_t plane) {
    return plane * 4;
}

/// Once the first tile's output fixes K: its (decoded) output and input tensors and K accumulation planes.
inline std::int64_t atFirstTile(std::int64_t peak, std::int64_t outputBytes, std::int64_t inputBytes,
                                std::int64_t channels, std::int64_t plane) {
    return outputBytes + inputBytes + peak + channels * plane * 4;
}

/// The result's pixels on top of that: one Int32 plane for a class mask, K Float32 planes otherwise.
inline std::int64_t atCompletion(std::int64_t peak, AiRasterOutputMode mode, std::int64_t channels,
                                 std::int64_t plane) {
    return peak + (mode == AiRasterOutputMode::ClassMask ? plane * 4 : channels * plane * 4);
}

}  // namespace Tarnivale::AI::RunMemory
