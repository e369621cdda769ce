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

/// The polygons of one class, named: layer `layerName` with "class_id" and "class_name", failures worded
/// for `subject` ("Water" gives "Water polygonization failed."), and the stage "Creating water polygons" at
/// 90 % once the layer exists.
LabelPolygonTarget oneClassPolygonTarget(const QString& path, const QString& layerName, std::int32_t label,
                                         const QString& className, const QString& subject, TaskContext& task);

/// The label raster view of a single-band Int32 result, for the polygon writer.
LabelRaster labelRasterOf(const AiRasterInferenceResult& result);

}  // namespace Tarnivale::AI::Tasks
