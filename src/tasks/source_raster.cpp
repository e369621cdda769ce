#include "tasks/source_raster.h"

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"

#include <cmath>

namespace Tarnivale::AI::Tasks {

SourceRaster checkSourceRaster(const QString& path, const SourceRasterRules& rules) {
    const Gdal::Dataset source = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    const std::int32_t bands = source ? GDALGetRasterCount(source.get()) : 0;
    if (!source || bands < rules.minimumBands || bands > rules.maximumBands) {
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
    if (pixels < 1 || pixels > rules.pixelBudget) {
        throwRuntimeError(QStringLiteral("Raster exceeds the task pixel budget."));
    }
    double transform[6] = {};
    if (GDALGetGeoTransform(source.get(), transform) == CE_None) {
        raster.geoTransform = QList<double>(transform, transform + 6);
    }
    raster.projectionWkt = QString::fromUtf8(GDALGetProjectionRef(source.get()));
    const bool affine = !raster.geoTransform.isEmpty() &&
                        std::abs(transform[1] * transform[5] - transform[2] * transform[4]) > 0.0;
    if (!rules.crsMessage.isEmpty() && raster.projectionWkt.isEmpty()) {
        throwRuntimeError(rules.crsMessage);
    }
    if (!rules.transformMessage.isEmpty() && !affine) {
        throwRuntimeError(rules.transformMessage);
    }
    return raster;
}

}  // namespace Tarnivale::AI::Tasks
