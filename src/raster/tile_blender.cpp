#include <tarnivale/ai/tiling.h>

#include "raster/feather.h"

namespace Tarnivale::AI {

float AiTileBlender::featherWeight(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                                   std::int32_t overlapX, std::int32_t overlapY, bool leftEdge,
                                   bool rightEdge, bool topEdge, bool bottomEdge) {
    if (x < 0 || y < 0 || x >= width || y >= height) {
        return 0.0f;
    }
    const float wx = featherAxisFactor(x, width, overlapX, leftEdge, rightEdge);
    const float wy = featherAxisFactor(y, height, overlapY, topEdge, bottomEdge);
    return std::max(wx * wy, kMinimumFeatherWeight);
}

}  // namespace Tarnivale::AI
