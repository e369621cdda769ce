#include "tasks/source_raster.h"

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"

#include <cmath>

namespace Tarnivale::AI::Tasks {

SourceRaster checkSourceRaster(const QString& path, const SourceRasterRules& rules) {
    const Gdal::Dataset source = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    const std::int32_t bands = source ? GDALGetRasterCount(source.get()) : 0;
    if (!source || bands < rules.minimumBands || bands > rules.maximumBands ||
        (!rules.bandCounts.isEmpty() && !rules.bandCounts.contains(bands))) {
        throwRuntimeError(rules.bandMessage);
    }
    for (int band = 1; band <= rules.byteBands; ++band) {
        if (GDALGetRasterDataType(GDALGetRasterBand(source.get(), band)) != GDT_Byte) {
            throwRuntimeError(rules.byteMessage);
        }
    }
    SourceRaster raster;
    raster.width = GDALGetRasterXSize(source.get());
    raster.height = GDALGetRasterYSize(source.get());
    raster.bands = bands;
    const qint64 pixels = static_cast<qint64>(raster.width) * raster.height;
    if (pixels < 1 || pixels > rules.pixelBudget || raster.width < rules.minimumSide ||
        raster.height < rules.minimumSide || raster.width > rules.maximumSide ||
        raster.height > rules.maximumSide) {
        throwRuntimeError(rules.sizeMessage.isEmpty()
                              ? QStringLiteral("Raster exceeds the task pixel budget.")
                              : rules.sizeMessage);
    }
    double transform[6] = {};
    if (GDALGetGeoTransform(source.get(), transform) == CE_None) {
        raster.geoTransform = QList<double>(transform, transform + 6);
    }
    raster.projectionWkt = QString::fromUtf8(GDALGetProjectionRef(source.get()));
    if (!rules.crsMessage.isEmpty() && raster.projectionWkt.isEmpty()) {
        throwRuntimeError(rules.crsMessage);
    }
    if (!rules.transformMessage.isEmpty() && !hasAffineTransform(raster)) {
        throwRuntimeError(rules.transformMessage);
    }
    return raster;
}

bool hasAffineTransform(const SourceRaster& raster) {
    const QList<double>& t = raster.geoTransform;
    return t.size() == 6 && std::abs(t[1] * t[5] - t[2] * t[4]) > 0.0;
}

bool hasValidCrs(const SourceRaster& raster) {
    const Gdal::SpatialReference crs = Gdal::spatialReferenceFromWkt(raster.projectionWkt);
    return crs && OSRValidate(crs.get()) == OGRERR_NONE;
}

}  // namespace Tarnivale::AI::Tasks
