#pragma once

// A classification kind's raster outputs: the class GeoTIFF (with its provenance) and the RGBA preview,
// written at the same time since neither depends on the other.

#include <tarnivale/ai/raster.h>

#include "raster/class_raster_products.h"
#include "raster/label_polygons.h"
#include "tasks/task_context.h"

#include <QList>
#include <QString>

namespace Tarnivale::AI::Tasks {

/// Writes both files and returns the pixel count of each class. A failure of the class GeoTIFF is reported
/// first, as if it had been written first.
QList<qint64> writeClassRasterAndPreview(const AiRasterInferenceResult& result, const QString& classesPath,
                                         const QString& previewPath, const QList<ClassColor>& colors,
                                         const TaskContext& task);

/// The label raster view of a single-band Int32 result, for the polygon writer.
LabelRaster labelRasterOf(const AiRasterInferenceResult& result);

}  // namespace Tarnivale::AI::Tasks
