#include "sam3/sam3_gis_writer_impl.h"

#include "runtime/errors.h"
#include "runtime/publish_file.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <gdal.h>
#include <gdal_alg.h>
#include <ogr_api.h>

#include <algorithm>
#include <map>

namespace Tarnivale::AI {

void (*SamGis::finishStepHook)(int step) = nullptr;

namespace {

void step(int number) {
    if (SamGis::finishStepHook) {
        SamGis::finishStepHook(number);
    }
}

constexpr int StripRows = 64;
const char* const OutputOptions[] = {
    "TILED=YES",     "BLOCKXSIZE=256",   "BLOCKYSIZE=256", "COMPRESS=DEFLATE",
    "SPARSE_OK=YES", "BIGTIFF=IF_SAFER", nullptr};

void require(bool succeeded, const char* message) {
    if (!succeeded) {
        throwRuntimeError(QString::fromUtf8(message));
    }
}

/// Adds every polygon of `geometry` (descending into multi-geometries and collections) to `target`.
void keepPolygons(OGRGeometryH geometry, OGRGeometryH target) {
    const OGRwkbGeometryType type = wkbFlatten(OGR_G_GetGeometryType(geometry));
    if (type == wkbPolygon) {
        require(OGR_G_AddGeometry(target, geometry) == OGRERR_NONE, "Cannot retain repaired SAM3 polygon.");
    } else if (type == wkbMultiPolygon || type == wkbGeometryCollection) {
        for (int i = 0; i < OGR_G_GetGeometryCount(geometry); ++i) {
            keepPolygons(OGR_G_GetGeometryRef(geometry, i), target);
        }
    }
}

void executeSql(GDALDatasetH dataset, const char* sql) {
    CPLErrorReset();
    OGRLayerH result = GDALDatasetExecuteSQL(dataset, sql, nullptr, nullptr);
    if (result) {
        GDALDatasetReleaseResultSet(dataset, result);
    }
    require(CPLGetLastErrorType() < CE_Failure, "SAM3 GeoPackage SQL failed.");
}

struct Instance {
    std::int64_t root = 0;
    std::int64_t observations = 0;
    std::int64_t pixels = 0;
    double score = 0.0;
};

}  // namespace

AiSamGisResult AiSamGisWriter::finish(const AiSamTiledSummary& summary) {
    if (!d || !d->writable || d->finished) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS writer cannot finish."));
    }
    d->writable = false;
    Impl& w = *d;
    const bool consistent = summary.completed && !summary.cancelled && !summary.deadlineExceeded &&
                            !summary.instanceLimitReached && summary.totalTiles == summary.completedTiles &&
                            summary.completedTiles == w.tiles && summary.skippedTiles == w.skippedTiles &&
                            summary.instances == w.sets.count() && summary.rasterWidth > 0;
    {
        const Gdal::Dataset source = Gdal::open(w.sourcePath, GDAL_OF_RASTER | GDAL_OF_READONLY);
        if (!consistent || !source || summary.rasterWidth != GDALGetRasterXSize(source.get()) ||
            summary.rasterHeight != GDALGetRasterYSize(source.get())) {
            throwInvalidArgument(
                QStringLiteral("Incomplete or inconsistent SAM3 inference cannot publish GIS outputs."));
        }
    }
    const QByteArray provenance = QJsonDocument(w.options.provenance).toJson(QJsonDocument::Compact);
    const std::int64_t width = w.area.width;
    const std::int64_t height = w.area.height;
    if (provenance.size() + w.options.prompt.toUtf8().size() + width * StripRows * 9 >
        w.options.maximumBufferBytes) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS finalization exceeds its metadata/buffer budget."));
    }
    const QDir staging(w.staging->path());

    // Instance ids: one per set of at least minimumRegionPixels pixels, in the order of their roots.
    std::map<std::int64_t, Instance> byRoot;
    for (std::int64_t observation = 1; observation <= w.sets.count(); ++observation) {
        Instance& instance = byRoot[w.sets.find(observation)];
        instance.root = w.sets.find(observation);
        ++instance.observations;
    }
    std::vector<Instance> instances;
    std::vector<std::int32_t> idOfObservation(static_cast<size_t>(w.sets.count() + 1), 0);
    std::map<std::int64_t, std::int32_t> idOfRoot;
    for (auto& [root, instance] : byRoot) {
        if (w.sets.setPixels(root) >= w.options.minimumRegionPixels) {
            instance.score = w.sets.setScore(root);
            instances.push_back(instance);
            idOfRoot[root] = static_cast<std::int32_t>(instances.size());
        }
    }
    for (std::int64_t observation = 1; observation <= w.sets.count(); ++observation) {
        const auto found = idOfRoot.find(w.sets.find(observation));
        idOfObservation[static_cast<size_t>(observation)] = found == idOfRoot.end() ? 0 : found->second;
    }

    // instances.tif, strip by strip.
    step(1);
    const QString rasterPath = staging.filePath(QStringLiteral("instances.tif"));
    std::int64_t foreground = 0;
    {
        GDALDriverH driver = GDALGetDriverByName("GTiff");
        require(driver != nullptr, "GeoTIFF driver is unavailable.");
        Gdal::Dataset output(GDALCreate(driver, rasterPath.toUtf8().constData(), static_cast<int>(width),
                                        static_cast<int>(height), 1, GDT_Int32,
                                        const_cast<char**>(OutputOptions)));
        require(output != nullptr, "Cannot create SAM3 staging raster.");
        require(GDALSetGeoTransform(output.get(), w.outputTransform.data()) == CE_None &&
                    GDALSetProjection(output.get(), w.sourceWkt.toUtf8().constData()) == CE_None,
                "Cannot set SAM3 raster georeferencing.");
        GDALRasterBandH band = GDALGetRasterBand(output.get(), 1);
        require(GDALSetRasterNoDataValue(band, -1.0) == CE_None, "Cannot set SAM3 output NoData.");
        require(GDALSetMetadataItem(output.get(), "TARNIVALE_PROVENANCE", provenance.constData(), nullptr) ==
                        CE_None &&
                    GDALSetMetadataItem(output.get(), "SAM3_PROMPT", w.options.prompt.toUtf8().constData(),
                                        nullptr) == CE_None &&
                    GDALSetMetadataItem(output.get(), "SAM3_LABEL_LAYOUT",
                                        "-1 invalid/unprocessed; 0 background; positive instance_id",
                                        nullptr) == CE_None,
                "Cannot write SAM3 raster metadata.");
        std::vector<std::int32_t> labels(static_cast<size_t>(width * StripRows));
        std::vector<int> releasedOutput;
        std::vector<std::uint8_t> coverage(labels.size());
        for (std::int64_t row = 0; row < height; row += StripRows) {
            w.budget.check();
            const AiSamPixelWindow strip{
                0,
                0,
                0,
                static_cast<std::int32_t>(row),
                static_cast<std::int32_t>(width),
                static_cast<std::int32_t>(std::min<std::int64_t>(StripRows, height - row))};
            const size_t count = static_cast<size_t>(width * strip.height);
            const auto io = [&](GDALRasterBandH target, GDALRWFlag direction, void* data, GDALDataType type) {
                require(GDALRasterIO(target, direction, 0, strip.y, strip.width, strip.height, data,
                                     strip.width, strip.height, type, 0, 0) == CE_None,
                        "SAM3 GIS raster I/O failed.");
            };
            io(GDALGetRasterBand(w.labels.get(), 1), GF_Read, labels.data(), GDT_Int32);
            io(GDALGetRasterBand(w.coverage.get(), 1), GF_Read, coverage.data(), GDT_Byte);
            for (size_t i = 0; i < count; ++i) {
                if (coverage[i] == SamGis::Unprocessed) {
                    throwRuntimeError(QStringLiteral("Completed SAM3 job left an uncovered output pixel."));
                }
                const std::int32_t id = coverage[i] == SamGis::ProcessedInvalid ? -1
                                        : labels[i] > 0 ? idOfObservation[static_cast<size_t>(labels[i])]
                                                        : 0;
                if (id > 0) {
                    ++instances[static_cast<size_t>(id - 1)].pixels;
                    ++foreground;
                }
                labels[i] = id;
            }
            io(band, GF_Write, labels.data(), GDT_Int32);
            Gdal::releaseBlockRowsAbove(w.labels.get(), strip.y, w.releasedRows[0], true);
            Gdal::releaseBlockRowsAbove(w.coverage.get(), strip.y, w.releasedRows[2], true);
            Gdal::releaseBlockRowsAbove(output.get(), strip.y, releasedOutput, true);
        }
        for (const Instance& instance : instances) {
            if (instance.pixels != w.sets.setPixels(instance.root)) {
                throwRuntimeError(QStringLiteral("SAM3 output pixel accounting differs."));
            }
        }
        CPLErrorReset();
        GDALFlushCache(output.get());
        require(CPLGetLastErrorType() < CE_Failure, "Cannot flush SAM3 label output.");
    }
    w.labels.reset();
    w.scores.reset();
    QFile::remove(staging.filePath(QStringLiteral("labels-work.tif")));
    QFile::remove(staging.filePath(QStringLiteral("scores-work.tif")));

    // instances.gpkg: polygon parts of every label, then one multipolygon feature per instance.
    step(2);
    const QString vectorPath = staging.filePath(QStringLiteral("instances.gpkg"));
    std::int64_t repairs = 0;
    {
        GDALDriverH driver = GDALGetDriverByName("GPKG");
        require(driver != nullptr, "GeoPackage driver is unavailable.");
        Gdal::Dataset package(
            GDALCreate(driver, vectorPath.toUtf8().constData(), 0, 0, 0, GDT_Unknown, nullptr));
        require(package != nullptr, "Cannot create SAM3 GeoPackage.");
        const char* partsOptions[] = {"SPATIAL_INDEX=NO", nullptr};
        OGRLayerH parts = GDALDatasetCreateLayer(package.get(), "parts", w.sourceCrs.get(), wkbPolygon,
                                                 const_cast<char**>(partsOptions));
        require(parts != nullptr, "Cannot create polygonization layer.");
        {
            Gdal::FieldDefinition field(OGR_Fld_Create("instance_id", OFTInteger));
            require(OGR_L_CreateField(parts, field.get(), TRUE) == OGRERR_NONE,
                    "Cannot create SAM3 GIS attribute.");
        }
        {
            const Gdal::Dataset labels = Gdal::open(rasterPath, GDAL_OF_RASTER | GDAL_OF_READONLY);
            require(labels != nullptr, "SAM3 GIS raster I/O failed.");
            GDALRasterBandH band = GDALGetRasterBand(labels.get(), 1);
            require(GDALDatasetStartTransaction(package.get(), FALSE) == OGRERR_NONE,
                    "Cannot start SAM3 polygon transaction.");
            Gdal::ProgressAdapter progress([&](double) {
                w.budget.check();
                return true;
            });
            // The band is its own mask: background (0) makes no parts.
            const CPLErr polygonized =
                GDALPolygonize(band, band, parts, 0, nullptr, progress.function(), progress.data());
            progress.rethrowIfFailed();
            require(polygonized == CE_None, "SAM3 mask polygonization failed.");
            require(GDALDatasetCommitTransaction(package.get()) == OGRERR_NONE,
                    "Cannot commit SAM3 polygon transaction.");
        }
        executeSql(package.get(), "CREATE INDEX parts_instance_id ON parts(instance_id)");

        OGRLayerH layer =
            GDALDatasetCreateLayer(package.get(), "instances", w.sourceCrs.get(), wkbMultiPolygon, nullptr);
        require(layer != nullptr, "Cannot create SAM3 instances layer.");
        const std::pair<const char*, OGRFieldType> fields[] = {
            {"instance_id", OFTInteger},   {"score_max", OFTReal}, {"observations", OFTInteger64},
            {"pixel_count", OFTInteger64}, {"area_crs2", OFTReal}, {"prompt", OFTString},
            {"model_id", OFTString},       {"revision", OFTString}};
        for (const auto& [name, type] : fields) {
            Gdal::FieldDefinition field(OGR_Fld_Create(name, type));
            require(OGR_L_CreateField(layer, field.get(), TRUE) == OGRERR_NONE,
                    "Cannot create SAM3 instances layer.");
        }
        const QByteArray prompt = w.options.prompt.toUtf8();
        const QByteArray model = w.options.provenance.value(QStringLiteral("model")).toString().toUtf8();
        const QByteArray revision =
            w.options.provenance.value(QStringLiteral("revision")).toString().toUtf8();
        require(GDALDatasetStartTransaction(package.get(), FALSE) == OGRERR_NONE,
                "Cannot start SAM3 instance transaction.");
        for (size_t k = 0; k < instances.size(); ++k) {
            w.budget.check();
            const Instance& instance = instances[k];
            const int id = static_cast<int>(k + 1);
            require(
                OGR_L_SetAttributeFilter(
                    parts, QByteArray("instance_id = " + QByteArray::number(id)).constData()) == OGRERR_NONE,
                "Cannot filter SAM3 polygon parts.");
            OGR_L_ResetReading(parts);
            Gdal::Geometry collected(OGR_G_CreateGeometry(wkbMultiPolygon));
            require(collected != nullptr, "Cannot create SAM3 multipolygon.");
            while (const Gdal::Feature part{OGR_L_GetNextFeature(parts)}) {
                OGRGeometryH geometry = OGR_F_GetGeometryRef(part.get());
                require(geometry != nullptr, "Missing SAM3 polygon geometry.");
                require(OGR_G_AddGeometry(collected.get(), geometry) == OGRERR_NONE,
                        "Cannot collect SAM3 polygon parts.");
                if (OGR_G_WkbSize(collected.get()) > w.options.maximumBufferBytes) {
                    throwInvalidArgument(QStringLiteral("SAM3 instance geometry budget exceeded."));
                }
            }
            require(OGR_G_GetGeometryCount(collected.get()) > 0, "SAM3 instance has no polygons.");
            if (!OGR_G_IsValid(collected.get())) {
                const Gdal::Geometry repaired(OGR_G_MakeValid(collected.get()));
                require(repaired != nullptr, "Cannot repair SAM3 polygon topology (GEOS support required).");
                Gdal::Geometry rebuilt(OGR_G_CreateGeometry(wkbMultiPolygon));
                require(rebuilt != nullptr, "Cannot allocate repaired SAM3 multipolygon.");
                keepPolygons(repaired.get(), rebuilt.get());
                if (OGR_G_WkbSize(rebuilt.get()) > w.options.maximumBufferBytes) {
                    throwInvalidArgument(QStringLiteral("Repaired SAM3 geometry exceeds its budget."));
                }
                require(OGR_G_IsValid(rebuilt.get()), "Repaired SAM3 polygon topology is invalid.");
                collected = std::move(rebuilt);
                ++repairs;
            }
            const Gdal::Feature feature(OGR_F_Create(OGR_L_GetLayerDefn(layer)));
            require(feature != nullptr, "Cannot create SAM3 feature.");
            OGR_F_SetFieldInteger(feature.get(), 0, id);
            OGR_F_SetFieldDouble(feature.get(), 1, instance.score);
            OGR_F_SetFieldInteger64(feature.get(), 2, instance.observations);
            OGR_F_SetFieldInteger64(feature.get(), 3, instance.pixels);
            OGR_F_SetFieldDouble(feature.get(), 4, OGR_G_Area(collected.get()));
            OGR_F_SetFieldString(feature.get(), 5, prompt.constData());
            OGR_F_SetFieldString(feature.get(), 6, model.constData());
            OGR_F_SetFieldString(feature.get(), 7, revision.constData());
            require(OGR_F_SetGeometry(feature.get(), collected.get()) == OGRERR_NONE &&
                        OGR_L_CreateFeature(layer, feature.get()) == OGRERR_NONE,
                    "Cannot write SAM3 feature.");
            if (k % 256 == 255) {
                w.checkStagingBudget();
            }
        }
        require(GDALDatasetCommitTransaction(package.get()) == OGRERR_NONE, "Cannot commit SAM3 features.");
        int partsIndex = -1;
        for (int i = 0; i < GDALDatasetGetLayerCount(package.get()); ++i) {
            if (qstrcmp(OGR_L_GetName(GDALDatasetGetLayer(package.get(), i)), "parts") == 0) {
                partsIndex = i;
            }
        }
        require(partsIndex >= 0 && GDALDatasetDeleteLayer(package.get(), partsIndex) == OGRERR_NONE,
                "Cannot remove SAM3 polygonization layer.");
        executeSql(package.get(), "VACUUM");
        CPLErrorReset();
        package.reset();
        require(CPLGetLastErrorType() < CE_Failure, "Cannot close SAM3 GIS dataset.");
    }
    w.coverage.reset();
    require(QFile::remove(staging.filePath(QStringLiteral("coverage-work.tif"))),
            "Cannot remove SAM3 staging coverage.");
    w.checkStagingBudget();

    step(3);
    const QJsonObject manifest{
        {QStringLiteral("schema"), QStringLiteral("tarnivale.sam3-gis/1")},
        {QStringLiteral("completed"), true},
        {QStringLiteral("created_utc"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("source"), w.sourcePath},
        {QStringLiteral("prompt"), w.options.prompt},
        {QStringLiteral("source_window"), QJsonObject{{QStringLiteral("x"), w.area.x},
                                                      {QStringLiteral("y"), w.area.y},
                                                      {QStringLiteral("width"), w.area.width},
                                                      {QStringLiteral("height"), w.area.height}}},
        {QStringLiteral("geo_transform"),
         QJsonArray{w.outputTransform[0], w.outputTransform[1], w.outputTransform[2], w.outputTransform[3],
                    w.outputTransform[4], w.outputTransform[5]}},
        {QStringLiteral("projection_wkt"), w.sourceWkt},
        {QStringLiteral("raster"), QStringLiteral("instances.tif")},
        {QStringLiteral("vector"), QStringLiteral("instances.gpkg")},
        {QStringLiteral("layer"), QStringLiteral("instances")},
        {QStringLiteral("instances"), static_cast<qint64>(instances.size())},
        {QStringLiteral("observations"), static_cast<qint64>(w.sets.count())},
        {QStringLiteral("merged_observations"), static_cast<qint64>(w.merges)},
        {QStringLiteral("geometry_repairs"), static_cast<qint64>(repairs)},
        {QStringLiteral("foreground_pixels"), static_cast<qint64>(foreground)},
        {QStringLiteral("tiles"), static_cast<qint64>(w.tiles)},
        {QStringLiteral("skipped_tiles"), static_cast<qint64>(w.skippedTiles)},
        {QStringLiteral("merge_iou"), w.options.mergeIou},
        {QStringLiteral("minimum_merge_pixels"), static_cast<qint64>(w.options.minimumMergePixels)},
        {QStringLiteral("minimum_region_pixels"), static_cast<qint64>(w.options.minimumRegionPixels)},
        {QStringLiteral("mask_resampling"), QStringLiteral("nearest-center-binary")},
        {QStringLiteral("overlap_winner"), QStringLiteral("higher-score-first-observation-on-tie")},
        {QStringLiteral("provenance"), w.options.provenance},
    };
    QSaveFile manifestFile(staging.filePath(QStringLiteral("manifest.json")));
    require(manifestFile.open(QIODevice::WriteOnly), "Cannot create SAM3 GIS manifest.");
    manifestFile.write(QJsonDocument(manifest).toJson(QJsonDocument::Indented));
    require(manifestFile.commit(), "Cannot save SAM3 GIS manifest.");

    step(4);
    if (QFileInfo::exists(w.destination) || QFileInfo(w.destination).isSymLink()) {
        throwRuntimeError(QStringLiteral("SAM3 GIS destination appeared during processing."));
    }
    const PublishOutcome published = publishWithoutReplacing(w.staging->path(), w.destination);
    require(published != PublishOutcome::DestinationExists,
            "SAM3 GIS destination appeared during processing.");
    require(published == PublishOutcome::Published, "Cannot publish SAM3 GIS output directory.");
    w.staging->setAutoRemove(false);
    w.finished = true;
    step(5);

    AiSamGisResult result;
    result.outputDirectory = w.destination;
    result.rasterPath = w.destination + QStringLiteral("/instances.tif");
    result.vectorPath = w.destination + QStringLiteral("/instances.gpkg");
    result.manifestPath = w.destination + QStringLiteral("/manifest.json");
    result.instances = static_cast<std::int64_t>(instances.size());
    result.observations = w.sets.count();
    result.mergedObservations = w.merges;
    result.geometryRepairs = repairs;
    result.foregroundPixels = foreground;
    result.tiles = w.tiles;
    result.skippedTiles = w.skippedTiles;
    result.completed = true;
    result.elapsedMilliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - w.started)
            .count();
    return result;
}

}  // namespace Tarnivale::AI
