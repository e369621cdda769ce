#pragma once

#include <algorithm>
#include <cstdint>

namespace Tarnivale::AI {

/// The feather ramp along one axis of a window: linear over a shared overlap band, flat on a border side.
/// The blender multiplies the two axes' factors; the executor precomputes them once per window.
inline float featherAxisFactor(std::int32_t position, std::int32_t size, std::int32_t overlap, bool nearEdge,
                               bool farEdge) {
    float factor = 1.0f;
    if (overlap < 1) {
        return factor;
    }
    const float band = static_cast<float>(overlap) + 1.0f;
    if (!nearEdge && position < overlap) {
        factor = std::min(1.0f, static_cast<float>(position + 1) / band);
    }
    if (!farEdge && position >= size - overlap) {
        factor = std::min(factor, static_cast<float>(size - position) / band);
    }
    return factor;
}

/// Smallest weight of a covered pixel, so that a covered pixel never ends with a zero weight sum.
constexpr float kMinimumFeatherWeight = 0.000001f;

}  // namespace Tarnivale::AI
