#pragma once

// The one writer from an Int32 label raster to polygons in a GeoPackage layer: class maps, building
// instances, flood and field masks all go through it, each with its layer, fields, label selection and the
// messages its users know.

#include "raster/class_raster_products.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>

namespace Tarnivale::AI {

/// A label raster in memory: width × height labels, row by row, with its grid.
struct LabelRaster {
    const std::int32_t* labels = nullptr;
    std::int32_t width = 0;
    std::int32_t height = 0;
    QList<double> geoTransform;
    QString projectionWkt;
};

/// Which labels become polygons; the others are masked out.
enum class LabelSelection {
    EveryPositive,  ///< labels > 0 (0 is background)
    EveryClass,     ///< labels >= 0 (-1 marks a pixel without a class)
    One,            ///< the label equal to LabelPolygonTarget::selectedLabel
};

/// The failure texts, one per step; a user replaces the ones it must word its own way.
struct LabelPolygonMessages {
    QString buffers = QStringLiteral("Cannot allocate polygonization buffers.");
    QString transform = QStringLiteral("Cannot set polygonization grid transform.");
    QString row = QStringLiteral("Cannot prepare polygonization row.");
    QString crs = QStringLiteral("Invalid polygon output CRS.");
    QString output = QStringLiteral("Cannot create polygon output.");
    QString layer = QStringLiteral("Cannot create polygon layer.");
    QString field = QStringLiteral("Cannot create polygon label field.");
    QString polygonize = QStringLiteral("Polygonization failed.");
    QString budget = QStringLiteral("Polygon count exceeds the task budget.");
    QString classNameField = QStringLiteral("Cannot create class name attribute.");
    QString classNameValue = QStringLiteral("Cannot set class name attribute.");
};

struct LabelPolygonTarget {
    QString path;            ///< the GeoPackage to create
    QString layerName;       ///< polygon layer, in the raster's CRS
    QString fieldName;       ///< the label of each polygon
    bool wideField = false;  ///< a 64-bit integer field (instance identifiers) instead of a 32-bit one
    LabelSelection selection = LabelSelection::EveryPositive;
    std::int32_t selectedLabel = 0;
    /// When not empty, a string field "class_name" holding it on every feature.
    QString className;
    qint64 maximumFeatures = 1000000;
    LabelPolygonMessages messages;
    /// Called once the layer exists, right before polygonising (a task reports its stage there).
    std::function<void()> beforePolygonizing;
};

/// Polygonises the selected labels (4-connected regions) and returns the feature count. The checkpoint runs
/// before every row and as GDAL's progress callback; what it throws ends the work and is rethrown.
qint64 writeLabelPolygons(const LabelRaster& raster, const LabelPolygonTarget& target,
                          const Checkpoint& checkpoint);

}  // namespace Tarnivale::AI
