#include <tarnivale/ai/detection.h>

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"
#include "runtime/publish_file.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

namespace Tarnivale::AI {

namespace {

const QList<double> PixelGrid{0.0, 1.0, 0.0, 0.0, 0.0, 1.0};

void createFields(OGRLayerH layer) {
    for (const auto& [name, type] :
         {std::pair{"score", OFTReal}, std::pair{"class_id", OFTInteger}, std::pair{"label", OFTString}}) {
        const Gdal::FieldDefinition field(OGR_Fld_Create(name, type));
        if (!field || OGR_L_CreateField(layer, field.get(), TRUE) != OGRERR_NONE) {
            throwRuntimeError(QStringLiteral("Cannot create detection fields."));
        }
    }
}

void writeFeature(OGRLayerH layer, const AiGeoreferencedDetection& detection) {
    const Gdal::Feature feature(OGR_F_Create(OGR_L_GetLayerDefn(layer)));
    const Gdal::Geometry polygon(OGR_G_CreateGeometry(wkbPolygon));
    OGRGeometryH ring = OGR_G_CreateGeometry(wkbLinearRing);
    if (!feature || !polygon || ring == nullptr) {
        OGR_G_DestroyGeometry(ring);
        throwRuntimeError(QStringLiteral("Cannot write detection feature."));
    }
    for (qsizetype corner = 0; corner <= detection.footprint.size(); ++corner) {
        const AiGeoPoint& point = detection.footprint.at(corner % detection.footprint.size());
        OGR_G_AddPoint_2D(ring, point.x, point.y);
    }
    OGR_G_AddGeometryDirectly(polygon.get(), ring);
    OGR_F_SetFieldDouble(feature.get(), 0, detection.score);
    OGR_F_SetFieldInteger(feature.get(), 1, detection.classId);
    OGR_F_SetFieldString(feature.get(), 2, detection.label.toUtf8().constData());
    if (OGR_F_SetGeometry(feature.get(), polygon.get()) != OGRERR_NONE ||
        OGR_L_CreateFeature(layer, feature.get()) != OGRERR_NONE) {
        throwRuntimeError(QStringLiteral("Cannot write detection feature."));
    }
}

}  // namespace

std::int64_t AiDetectionVectorWriter::write(const AiRasterObjectDetectionResult& result, const QString& path,
                                            const QString& layerName) {
    if (path.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("Detection output path is required."));
    }
    if (pathOccupied(path)) {
        throwRuntimeError(QStringLiteral("Detection output already exists: %1").arg(path));
    }
    const QList<AiGeoreferencedDetection> footprints = AiDetectionGeoreferencer::transform(
        result.pixelDetections, result.geoTransform.size() == 6 ? result.geoTransform : PixelGrid);

    // Staged beside the destination, so the final rename stays on one file system.
    QTemporaryDir staging(
        QFileInfo(path).absoluteDir().absoluteFilePath(QStringLiteral(".tvai-detections-XXXXXX")));
    if (!staging.isValid()) {
        throwRuntimeError(QStringLiteral("Cannot create detection output."));
    }
    const QString stagedPath = staging.filePath(QStringLiteral("detections.gpkg"));
    {
        Gdal::registerDrivers();
        GDALDriverH driver = GDALGetDriverByName("GPKG");
        const Gdal::Dataset vectors(driver == nullptr ? nullptr
                                                      : GDALCreate(driver, stagedPath.toUtf8().constData(), 0,
                                                                   0, 0, GDT_Unknown, nullptr));
        if (!vectors) {
            throwRuntimeError(QStringLiteral("Cannot create detection output."));
        }
        const Gdal::SpatialReference crs = Gdal::spatialReferenceFromWkt(result.projection);
        OGRLayerH layer = GDALDatasetCreateLayer(vectors.get(), layerName.toUtf8().constData(), crs.get(),
                                                 wkbPolygon, nullptr);
        if (layer == nullptr) {
            throwRuntimeError(QStringLiteral("Cannot create detection layer."));
        }
        createFields(layer);
        // One transaction: committing each feature on its own is many times slower.
        if (GDALDatasetStartTransaction(vectors.get(), FALSE) != OGRERR_NONE) {
            throwRuntimeError(QStringLiteral("Cannot write detection feature."));
        }
        for (const AiGeoreferencedDetection& detection : footprints) {
            writeFeature(layer, detection);
        }
        if (GDALDatasetCommitTransaction(vectors.get()) != OGRERR_NONE) {
            throwRuntimeError(QStringLiteral("Cannot write detection feature."));
        }
    }
    switch (publishWithoutReplacing(stagedPath, path)) {
        case PublishOutcome::Published:
            return footprints.size();
        case PublishOutcome::DestinationExists:
            throwRuntimeError(QStringLiteral("Detection output already exists: %1").arg(path));
        case PublishOutcome::Failed:
            break;
    }
    throwRuntimeError(QStringLiteral("Cannot publish detection output."));
}

}  // namespace Tarnivale::AI
