#pragma once

// The "source-rgb.tif" of the classification kinds: three bands of the source raster as an 8-bit RGBA
// GeoTIFF at the source's size, each band stretched over its own samples (2 % / 98 %).

#include "raster/class_raster_products.h"
#include "runtime/huge_pages.h"
#include "tasks/source_raster.h"

#include <QList>
#include <QString>

#include <cstdint>

namespace Tarnivale::AI::Tasks {

/// Reads the bands (1-based red, green, blue) in full and writes the preview; samples that are not finite
/// show as zero.
void writeSourcePreview(const QString& rasterPath, const QList<std::int32_t>& bands,
                        const QString& previewPath, const Checkpoint& checkpoint);
/// The same preview from the three bands read elsewhere: `samples` holds them plane after plane on the
/// raster's grid, non-finite samples zero; they are sorted in place by the stretch.
void writeSourcePreview(PlaneBuffer& samples, const SourceRaster& raster, const QString& previewPath,
                        const Checkpoint& checkpoint);

}  // namespace Tarnivale::AI::Tasks
