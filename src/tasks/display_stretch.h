#pragma once

// Colour previews of float rasters: a band's 2 % / 98 % display stretch and the writer of an 8-bit RGBA
// GeoTIFF that maps three bands through their stretches, opaque everywhere. The messages are the kind's.

#include "raster/class_raster_products.h"

#include <QList>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>

namespace Tarnivale::AI::Tasks {

/// A band's display range: values at or below low show black, at or above high full intensity.
struct DisplayStretch {
    double low = 0.0;
    double high = 1.0;
};

/// Of the samples in ascending order (N of them, N at least 1, none NaN): low is the one at
/// floor(N × 2 / 100), high the larger of the one at floor(N × 98 / 100) and low + 1. Taken with
/// std::nth_element, which selects the same samples as a sort.
DisplayStretch percentileStretch(const float* samples, std::size_t count);

/// (v − low) / (high − low) clamped to 0..1, times 255, rounded half away from zero.
std::uint8_t stretchedByte(double value, const DisplayStretch& stretch);

/// Three float planes of one grid shown as red, green and blue; each sample is multiplied by `scale`
/// before its band's stretch.
struct PreviewPlanes {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::array<const float*, 3> bands{};
    double scale = 1.0;
    QList<double> geoTransform;
    QString projectionWkt;
};

struct PreviewMessages {
    QString create;          ///< the file cannot be created or georeferenced
    QString interpretation;  ///< a colour interpretation cannot be set
    QString row;             ///< a row cannot be written
};

/// Writes the GeoTIFF: four Byte bands (red, green, blue, alpha 255), one row at a time with a checkpoint
/// before each.
void writeStretchedPreview(const QString& path, const PreviewPlanes& planes,
                           const std::array<DisplayStretch, 3>& stretches, const PreviewMessages& messages,
                           const Checkpoint& checkpoint);

}  // namespace Tarnivale::AI::Tasks
