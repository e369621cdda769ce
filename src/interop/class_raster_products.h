#pragma once

// The products a classification task makes from its class raster: the validity mask applied in place, an
// RGBA colour preview with class counts, and class polygons in a GeoPackage. Loops run the task's
// checkpoint, so a cancelled or overdue task stops inside them.

#include <tarnivale/ai/raster.h>

#include "interop/task_context.h"

#include <QList>
#include <QString>

#include <array>
#include <cstdint>

namespace Tarnivale::AI::Interop {

struct ClassColor {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
};

/// Checks the mask's size, grid and CRS against the single Int32 band of the result, then sets every class
/// code whose mask byte is 0 to -1. Codes must lie in -1..(colours - 1).
void applyValidityMask(AiRasterInferenceResult& result, const QString& maskPath, std::int32_t classCount,
                       const TaskContext& task);

/// Writes a four-band RGBA GeoTIFF (code -1 fully transparent) and returns the pixel count of each class.
QList<qint64> writeClassPreview(const AiRasterInferenceResult& result, const QString& previewPath,
                                const QList<ClassColor>& colors, const TaskContext& task);

/// Where polygons go: a GeoPackage layer with one integer field.
struct PolygonTarget {
    QString path;
    QString layerName;
    QString fieldName;
    qint64 maximumFeatures = 1000000;
};

/// Polygonises band 1 of the class raster, with the preview's alpha band as the mask (4-connected regions);
/// returns the feature count.
qint64 polygonizeClasses(const QString& classPath, const QString& previewPath, const PolygonTarget& target,
                         const TaskContext& task);

}  // namespace Tarnivale::AI::Interop
