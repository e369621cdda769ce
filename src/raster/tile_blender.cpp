#include <tarnivale/ai/tiling.h>

#include <algorithm>

namespace Tarnivale::AI {

namespace {

// Ramp factor along one axis; single precision throughout, as the blend accumulates in float.
float axisFactor(std::int32_t position, std::int32_t size, std::int32_t overlap, bool nearEdge,
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

}  // namespace

float AiTileBlender::featherWeight(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                                   std::int32_t overlapX, std::int32_t overlapY, bool leftEdge,
                                   bool rightEdge, bool topEdge, bool bottomEdge) {
    if (x < 0 || y < 0 || x >= width || y >= height) {
        return 0.0f;
    }
    const float wx = axisFactor(x, width, overlapX, leftEdge, rightEdge);
    const float wy = axisFactor(y, height, overlapY, topEdge, bottomEdge);
    return std::max(wx * wy, 0.000001f);
}

}  // namespace Tarnivale::AI
