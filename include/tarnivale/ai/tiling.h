#pragma once

// Tile planning and feather blending (part of the raster inference family; manifests reuse AiTileOptions).

#include <tarnivale/ai/export.h>

#include <QList>

#include <cstdint>

namespace Tarnivale::AI {

/// Tile size (= the model's spatial input size) and the overlap between neighbouring tiles, in pixels.
struct TARNIVALE_AI_EXPORT AiTileOptions {
    std::int32_t width = 512;
    std::int32_t height = 512;
    std::int32_t overlapX = 32;
    std::int32_t overlapY = 32;
};

/// One window of a plan: its grid position and the raster pixels it covers.
struct TARNIVALE_AI_EXPORT AiTileWindow {
    std::int32_t column = 0;
    std::int32_t row = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

class TARNIVALE_AI_EXPORT AiTilePlanner {
public:
    /// Windows in row-major order; the last window of each axis ends flush with the raster's far edge.
    /// Throws std::invalid_argument for non-positive sizes or an overlap outside [0, tile size).
    static QList<AiTileWindow> plan(std::int32_t rasterWidth, std::int32_t rasterHeight,
                                    const AiTileOptions& options);
};

class TARNIVALE_AI_EXPORT AiTileBlender {
public:
    /// Weight of pixel (x, y) of a width × height window: a linear ramp over each shared overlap band,
    /// flat on sides that lie on the raster border (edge flags), 0 outside, never below 0.000001 inside.
    static float featherWeight(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                               std::int32_t overlapX, std::int32_t overlapY, bool leftEdge, bool rightEdge,
                               bool topEdge, bool bottomEdge);
};

}  // namespace Tarnivale::AI
