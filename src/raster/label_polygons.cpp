#include "raster/label_polygons.h"

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"

#include <gdal_alg.h>

#include <algorithm>
#include <vector>

namespace Tarnivale::AI {

namespace {

bool selected(std::int32_t label, const LabelPolygonTarget& target) {
    switch (target.selection) {
        case LabelSelection::EveryPositive:
            return label > 0;
        case LabelSelection::EveryClass:
            return label >= 0;
        case LabelSelection::One:
            return label == target.selectedLabel;
    }
    return false;
}

Gdal::Dataset memoryRaster(std::int32_t width, std::int32_t height, GDALDataType type) {
    GDALDriverH driver = GDALGetDriverByName("MEM");
    return Gdal::Dataset(driver == nullptr ? nullptr
                                           : GDALCreate(driver, "", width, height, 1, type, nullptr));
}

// The labels and their mask as two in-memory rasters on the labels' grid, copied row by row.
void copyLabels(const LabelRaster& raster, const LabelPolygonTarget& target, GDALDatasetH labels,
                GDALDatasetH mask, const Checkpoint& checkpoint) {
    double transform[6];
    std::copy_n(raster.geoTransform.constBegin(), std::min<qsizetype>(6, raster.geoTransform.size()),
                transform);
    if (raster.geoTransform.size() != 6 || GDALSetGeoTransform(labels, transform) != CE_None ||
        GDALSetGeoTransform(mask, transform) != CE_None) {
        throwRuntimeError(target.messages.transform);
    }
    GDALRasterBandH labelBand = GDALGetRasterBand(labels, 1);
    GDALRasterBandH maskBand = GDALGetRasterBand(mask, 1);
    std::vector<std::uint8_t> maskRow(static_cast<std::size_t>(raster.width));
    for (std::int32_t y = 0; y < raster.height; ++y) {
        checkpoint();
        const std::int32_t* row = raster.labels + static_cast<std::ptrdiff_t>(y) * raster.width;
        for (std::int32_t x = 0; x < raster.width; ++x) {
            maskRow[static_cast<std::size_t>(x)] = selected(row[x], target) ? 255 : 0;
        }
        if (GDALRasterIO(labelBand, GF_Write, 0, y, raster.width, 1, const_cast<std::int32_t*>(row),
                         raster.width, 1, GDT_Int32, 0, 0) != CE_None ||
            GDALRasterIO(maskBand, GF_Write, 0, y, raster.width, 1, maskRow.data(), raster.width, 1, GDT_Byte,
                         0, 0) != CE_None) {
            throwRuntimeError(target.messages.row);
        }
    }
}

void polygonize(GDALDatasetH labels, GDALDatasetH mask, GDALDatasetH vectors, OGRLayerH layer,
                const LabelPolygonTarget& target, const Checkpoint& checkpoint) {
    // One transaction for all features: committing each polygon on its own is many times slower.
    const bool transaction = GDALDatasetStartTransaction(vectors, FALSE) == OGRERR_NONE;
    Gdal::ProgressAdapter progress([&checkpoint](double) {
        checkpoint();
        return true;
    });
    // A stop asked for by the checkpoint is reported as the caller's own failure, not on GDAL's console.
    CPLPushErrorHandler(CPLQuietErrorHandler);
    const CPLErr status = GDALPolygonize(GDALGetRasterBand(labels, 1), GDALGetRasterBand(mask, 1), layer, 0,
                                         nullptr, progress.function(), progress.data());
    CPLPopErrorHandler();
    if (status != CE_None) {
        progress.rethrowIfFailed();
        throwRuntimeError(target.messages.polygonize);
    }
    if (transaction && GDALDatasetCommitTransaction(vectors) != OGRERR_NONE) {
        throwRuntimeError(target.messages.polygonize);
    }
}

void setClassName(GDALDatasetH vectors, OGRLayerH layer, const LabelPolygonTarget& target,
                  const Checkpoint& checkpoint) {
    const Gdal::FieldDefinition field(OGR_Fld_Create("class_name", OFTString));
    if (!field || OGR_L_CreateField(layer, field.get(), TRUE) != OGRERR_NONE) {
        throwRuntimeError(target.messages.classNameField);
    }
    const int index = OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(layer), "class_name");
    const QByteArray name = target.className.toUtf8();
    const bool transaction = GDALDatasetStartTransaction(vectors, FALSE) == OGRERR_NONE;
    OGR_L_ResetReading(layer);
    for (;;) {
        const Gdal::Feature feature(OGR_L_GetNextFeature(layer));
        if (!feature) {
            break;
        }
        checkpoint();
        OGR_F_SetFieldString(feature.get(), index, name.constData());
        if (OGR_L_SetFeature(layer, feature.get()) != OGRERR_NONE) {
            throwRuntimeError(target.messages.classNameValue);
        }
    }
    if (transaction && GDALDatasetCommitTransaction(vectors) != OGRERR_NONE) {
        throwRuntimeError(target.messages.classNameValue);
    }
}

}  // namespace

qint64 writeLabelPolygons(const LabelRaster& raster, const LabelPolygonTarget& target,
                          const Checkpoint& checkpoint) {
    Gdal::registerDrivers();
    const Gdal::Dataset labels = memoryRaster(raster.width, raster.height, GDT_Int32);
    const Gdal::Dataset mask = memoryRaster(raster.width, raster.height, GDT_Byte);
    if (!labels || !mask || raster.labels == nullptr) {
        throwRuntimeError(target.messages.buffers);
    }
    copyLabels(raster, target, labels.get(), mask.get(), checkpoint);

    const Gdal::SpatialReference crs = Gdal::spatialReferenceFromWkt(raster.projectionWkt);
    if (!crs || OSRValidate(crs.get()) != OGRERR_NONE) {
        throwRuntimeError(target.messages.crs);
    }
    GDALDriverH driver = GDALGetDriverByName("GPKG");
    const Gdal::Dataset vectors(driver == nullptr ? nullptr
                                                  : GDALCreate(driver, target.path.toUtf8().constData(), 0, 0,
                                                               0, GDT_Unknown, nullptr));
    if (!vectors) {
        throwRuntimeError(target.messages.output);
    }
    OGRLayerH layer = GDALDatasetCreateLayer(vectors.get(), target.layerName.toUtf8().constData(), crs.get(),
                                             wkbPolygon, nullptr);
    if (layer == nullptr) {
        throwRuntimeError(target.messages.layer);
    }
    const Gdal::FieldDefinition field(
        OGR_Fld_Create(target.fieldName.toUtf8().constData(), target.wideField ? OFTInteger64 : OFTInteger));
    if (!field || OGR_L_CreateField(layer, field.get(), TRUE) != OGRERR_NONE) {
        throwRuntimeError(target.messages.field);
    }
    if (target.beforePolygonizing) {
        target.beforePolygonizing();
    }
    polygonize(labels.get(), mask.get(), vectors.get(), layer, target, checkpoint);

    const qint64 features = OGR_L_GetFeatureCount(layer, TRUE);
    if (features > target.maximumFeatures) {
        throwRuntimeError(target.messages.budget);
    }
    if (!target.className.isEmpty()) {
        setClassName(vectors.get(), layer, target, checkpoint);
    }
    return features;
}

}  // namespace Tarnivale::AI
