#pragma once

// A staging copy of a raster's bands in which every sample the model must not see (not finite, or the band's
// nodata value) is zero, so that the executor runs on clean input whatever the source holds.

#include "raster/class_raster_products.h"
#include "runtime/huge_pages.h"

#include <QList>
#include <QString>

#include <cstdint>

namespace Tarnivale::AI::Tasks {

/// Copies the bands (1-based, in order) of `sourcePath` into a Float32 GeoTIFF at `stagingPath` with the
/// source's grid and CRS, zero where a sample is not finite or equals its band's nodata value, block row by
/// block row with the checkpoint between them. Returns how many samples were replaced; when none is, no copy
/// is written and the source can be read as it is. `readMessage` and `writeMessage` are the failures of each
/// side. When `kept` is given, the source bands `keptBands` (each one of `bands`) are also kept in it, plane
/// after plane, with only their non-finite samples zero: a source preview needs no second read.
std::int64_t writeZeroFilledCopy(const QString& sourcePath, const QList<std::int32_t>& bands,
                                 const QString& stagingPath, const QString& readMessage,
                                 const QString& writeMessage, const Checkpoint& checkpoint,
                                 const QList<std::int32_t>& keptBands = {}, PlaneBuffer* kept = nullptr);

}  // namespace Tarnivale::AI::Tasks
