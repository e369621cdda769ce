#pragma once

// A raster's first four bands, each normalised to 0..1 over the whole band: what every prompt reads.

#include "runtime/huge_pages.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <memory>

namespace Tarnivale::AI {

/// Immutable once built, so threads share it without a lock.
struct PromptEmbedding {
    std::int32_t width = 0;
    std::int32_t height = 0;
    int bandCount = 0;           ///< 1..4
    PlaneBuffer planes;          ///< band-sequential: band b (zero-based) starts at b * width * height
    QList<double> geoTransform;  ///< six coefficients, or empty when the raster has none
    QString projectionWkt;

    std::size_t pixelCount() const {
        return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    }
    const float* band(int index) const {
        return planes.data() + static_cast<std::size_t>(index) * pixelCount();
    }
};

/// Reads and normalises the bands of the raster at `path`; throws std::runtime_error with the engine's
/// raster messages.
std::shared_ptr<const PromptEmbedding> buildPromptEmbedding(const QString& path);

}  // namespace Tarnivale::AI
