#pragma once

// The checks a kind makes on its source raster before anything runs: band count, pixel budget, and where
// the kind needs them, an affine transform and a CRS, each failing with the kind's own message.

#include <QList>
#include <QString>

#include <cstdint>
#include <limits>

namespace Tarnivale::AI::Tasks {

struct SourceRasterRules {
    std::int32_t minimumBands = 1;
    std::int32_t maximumBands = std::numeric_limits<std::int32_t>::max();
    /// When not empty, the band count must also be one of these.
    QList<std::int32_t> bandCounts;
    /// Also given when the raster does not open.
    QString bandMessage;
    /// Bands 1..byteBands must hold 8-bit unsigned samples, else byteMessage (checked after the band count).
    std::int32_t byteBands = 0;
    QString byteMessage;
    qint64 pixelBudget = 16777216;  // 2^24
    /// Width and height must each lie in minimumSide..maximumSide.
    std::int32_t minimumSide = 1;
    std::int32_t maximumSide = std::numeric_limits<std::int32_t>::max();
    /// Replaces "Raster exceeds the task pixel budget." for the sides and the budget when not empty.
    QString sizeMessage;
    /// When not empty, the raster must have a geotransform with a non-zero determinant.
    QString transformMessage;
    /// When not empty, the raster must have a projection.
    QString crsMessage;
};

struct SourceRaster {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bands = 0;
    QList<double> geoTransform;  ///< empty when the raster has none
    QString projectionWkt;
};

/// Opens the raster read-only and checks it in this order: it opens and its band count is in range, the byte
/// bands, its sides and its pixel count in 1..pixelBudget ("Raster exceeds the task pixel budget."), then
/// the CRS and the transform.
SourceRaster checkSourceRaster(const QString& path, const SourceRasterRules& rules);

/// Six coefficients with a non-zero determinant: the pixel grid maps one to one onto the CRS.
bool hasAffineTransform(const SourceRaster& raster);
/// The projection parses into a spatial reference that OSR validates.
bool hasValidCrs(const SourceRaster& raster);

}  // namespace Tarnivale::AI::Tasks
