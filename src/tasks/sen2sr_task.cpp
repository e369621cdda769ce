// "sen2sr-super-resolution": a four-band Sentinel-2 RGB+NIR raster of raw digital numbers enlarged four times
// by a packaged SEN2SRLite model, written as a GeoTIFF marked as AI-generated, with 8-bit previews of the
// source and the enhanced raster under one stretch so that they can be compared.

#include <tarnivale/ai/raster.h>

#include "raster/run_estimate_json.h"
#include "runtime/errors.h"
#include "runtime/gdal_handles.h"
#include "runtime/huge_pages.h"
#include "tasks/display_stretch.h"
#include "tasks/sen2sr_core.h"
#include "tasks/source_raster.h"
#include "tasks/task_json.h"
#include "tasks/task_kinds.h"
#include "tasks/task_package.h"
#include "tasks/task_provider.h"
#include "tasks/task_results.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace Tarnivale::AI::Tasks {

namespace {

constexpr std::int32_t InferenceSpan = 85;
constexpr qint64 MaximumSourcePixels = Sen2srMaximumOutputPixels / (Sen2srScale * Sen2srScale);
// The model's outputs are reflectance; the previews show digital numbers, like the source.
constexpr double ReflectanceToDn = 10000.0;
constexpr const char* Kind = "sen2sr-super-resolution";
const char* const BandNames[Sen2srBands] = {"B4 Red", "B3 Green", "B2 Blue", "B8 NIR"};

SourceRaster checkRaster(const QString& path) {
    SourceRasterRules rules;
    rules.bandCounts = {4, 8};
    rules.bandMessage =
        QStringLiteral("SEN2SR requires four RGBN bands, or the eight-band FTW sample (first four used).");
    rules.minimumSide = 2;
    rules.maximumSide = Sen2srMaximumSide;
    rules.pixelBudget = MaximumSourcePixels;
    rules.sizeMessage =
        QStringLiteral("SEN2SR dimensions must be 2..32768 and four-band 4x output must fit within 512 MiB.");
    const SourceRaster raster = checkSourceRaster(path, rules);
    if (!hasAffineTransform(raster)) {
        throwRuntimeError(QStringLiteral("Invalid SEN2SR geotransform."));
    }
    if (!hasValidCrs(raster)) {
        throwRuntimeError(QStringLiteral("Invalid SEN2SR source CRS."));
    }
    return raster;
}

// Bands 1-4 in full; every sample a usable digital number.
Sen2srSource readSource(const QString& path, const SourceRaster& raster, const TaskContext& task) {
    Sen2srSource source;
    source.width = raster.width;
    source.height = raster.height;
    source.geoTransform = raster.geoTransform;
    source.projectionWkt = raster.projectionWkt;
    source.path = path;
    const qsizetype plane = qsizetype{raster.width} * raster.height;
    source.samples = hugePageByteArray(plane * Sen2srBands * 4);
    const Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    if (!dataset) {
        throwRuntimeError(QStringLiteral("Cannot read SEN2SR RGBN input."));
    }
    for (int b = 0; b < Sen2srBands; ++b) {
        task.checkpoint();
        GDALRasterBandH band = GDALGetRasterBand(dataset.get(), b + 1);
        float* samples = reinterpret_cast<float*>(source.samples.data()) + b * plane;
        if (GDALRasterIO(band, GF_Read, 0, 0, raster.width, raster.height, samples, raster.width,
                         raster.height, GDT_Float32, 0, 0) != CE_None) {
            throwRuntimeError(QStringLiteral("Cannot read SEN2SR RGBN input."));
        }
        // The samples are held here; GDAL's copy of the blocks would only double them.
        std::vector<int> released;
        Gdal::releaseBlockRowsAbove(dataset.get(), raster.height, released, false);
        int hasNoData = 0;
        const double noData = GDALGetRasterNoDataValue(band, &hasNoData);
        const bool valid = std::all_of(samples, samples + plane, [&](float v) {
            return v >= 0.0f && v <= std::numeric_limits<float>::max() &&
                   (hasNoData == 0 || static_cast<double>(v) != noData);
        });
        if (!valid) {
            throwRuntimeError(QStringLiteral(
                "SEN2SR requires finite nonnegative valid DN; handle NoData/clouds before processing."));
        }
    }
    return source;
}

void setMetadata(GDALDatasetH dataset, const char* key, const QString& value) {
    if (GDALSetMetadataItem(dataset, key, value.toUtf8().constData(), nullptr) != CE_None) {
        throwRuntimeError(QStringLiteral("Cannot write SEN2SR provenance."));
    }
}

void writeEnhancedRaster(const QString& path, const Sen2srOutput& output, const TaskContext& task) {
    const AiRasterInferenceResult& grid = output.grid;
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    // Band-interleaved tiles, so that each band's block rows leave the cache once written (the output is
    // already held once in memory); blocks are compressed on every core.
    const char* const options[] = {"TILED=YES", "COMPRESS=DEFLATE", "INTERLEAVE=BAND", "NUM_THREADS=ALL_CPUS",
                                   nullptr};
    Gdal::Dataset dataset(driver == nullptr
                              ? nullptr
                              : GDALCreate(driver, path.toUtf8().constData(), grid.width, grid.height,
                                           Sen2srBands, GDT_Float32, const_cast<char**>(options)));
    double transform[6];
    std::copy(grid.geoTransform.begin(), grid.geoTransform.end(), transform);
    if (!dataset || GDALSetGeoTransform(dataset.get(), transform) != CE_None ||
        GDALSetProjection(dataset.get(), grid.projectionWkt.toUtf8().constData()) != CE_None) {
        throwRuntimeError(QStringLiteral("Cannot create georeferenced SEN2SR output."));
    }
    setMetadata(dataset.get(), "AI_GENERATED", QStringLiteral("YES"));
    setMetadata(dataset.get(), "AI_MODEL_ID", grid.provenance.modelId);
    setMetadata(dataset.get(), "AI_OUTPUT_SCOPE",
                QStringLiteral("Estimated detail on a 4x grid, not higher-resolution sensor measurements"));
    setMetadata(dataset.get(), "TARNIVALE_PROVENANCE", grid.provenance.canonicalJson());

    const GDALColorInterp interpretations[Sen2srBands] = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand,
                                                          GCI_Undefined};
    // Every band's interpretation before any samples: GeoTIFF fixes its photometric tags with the first
    // block written.
    for (int b = 0; b < Sen2srBands; ++b) {
        task.checkpoint();
        GDALRasterBandH band = GDALGetRasterBand(dataset.get(), b + 1);
        if (GDALSetRasterColorInterpretation(band, interpretations[b]) != CE_None) {
            throwRuntimeError(QStringLiteral("Cannot set RGBN band interpretation."));
        }
        GDALSetDescription(band, BandNames[b]);
    }
    const qsizetype plane = qsizetype{grid.width} * grid.height;
    for (int b = 0; b < Sen2srBands; ++b) {
        GDALRasterBandH band = GDALGetRasterBand(dataset.get(), b + 1);
        // Block rows are counted per pass: each band's pass starts again at the top.
        std::vector<int> released;
        int blockWidth = 0;
        int blockHeight = 0;
        GDALGetBlockSize(band, &blockWidth, &blockHeight);
        const int strip = std::max(blockHeight, 1);
        for (int y = 0; y < grid.height; y += strip) {
            task.checkpoint();
            const int rows = std::min(strip, grid.height - y);
            // RasterIO takes a non-const buffer even for writing; it only reads from it.
            auto* samples = const_cast<float*>(output.samples.data() + b * plane + qsizetype{y} * grid.width);
            if (GDALRasterIO(band, GF_Write, 0, y, grid.width, rows, samples, grid.width, rows, GDT_Float32,
                             0, 0) != CE_None) {
                throwRuntimeError(QStringLiteral("Cannot write SEN2SR output band."));
            }
            Gdal::releaseBlockRowsAbove(dataset.get(), y + rows, released, true);
        }
    }
    // GDALFlushCache reports failures only through the error state in this GDAL version.
    CPLErrorReset();
    GDALFlushCache(dataset.get());
    if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal) {
        throwRuntimeError(QStringLiteral("Cannot write SEN2SR output band."));
    }
}

PreviewPlanes previewPlanes(const float* samples, std::int32_t width, std::int32_t height, double scale,
                            const QList<double>& geoTransform, const QString& projectionWkt) {
    const std::size_t plane = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    return {width, height,       {samples, samples + plane, samples + 2 * plane},
            scale, geoTransform, projectionWkt};
}

QJsonObject resultDocument(const QString& rasterPath, const Sen2srSource& source, const Sen2srOutput& output,
                           const QJsonObject& paths, const TaskContext& task) {
    QJsonObject document = resultEnvelope(QLatin1String(Kind), rasterPath, output.grid, task);
    for (auto path = paths.begin(); path != paths.end(); ++path) {
        document.insert(path.key(), path.value());
    }
    QJsonObject provenance = output.grid.provenance.toJson();
    provenance.insert(QStringLiteral("task"), QLatin1String(Kind));
    provenance.insert(QStringLiteral("scaleFactor"), Sen2srScale);
    provenance.insert(QStringLiteral("stitching"),
                      QStringLiteral("128px reflected tiles, 16px halo, 96px cores, 64px output halo crop"));
    document.insert(QStringLiteral("provenance"), provenance);
    document.insert(QStringLiteral("sourceWidth"), source.width);
    document.insert(QStringLiteral("sourceHeight"), source.height);
    document.insert(QStringLiteral("bandCount"), Sen2srBands);
    document.insert(QStringLiteral("scaleFactor"), Sen2srScale);
    QJsonArray names;
    for (const char* name : BandNames) {
        names.append(QLatin1String(name));
    }
    document.insert(QStringLiteral("bandNames"), names);
    document.insert(QStringLiteral("units"), QStringLiteral("surface_reflectance"));
    document.insert(QStringLiteral("aiGenerated"), true);
    document.insert(QStringLiteral("interpretation"),
                    QStringLiteral("Estimated detail on a finer grid, not new sensor measurements."));
    return document;
}

QJsonObject estimate(const QJsonObject& json) {
    const SourceRaster raster = checkRaster(requiredTaskPath(json, "rasterPath"));
    openTaskPackage(requiredTaskPath(json, "modelPackagePath"), &sen2srContract,
                    QStringLiteral("Unsupported SEN2SRLite 4x RGBN model contract."));
    AiRasterRunEstimate figures;
    figures.width = raster.width * Sen2srScale;
    figures.height = raster.height * Sen2srScale;
    figures.totalTiles = static_cast<std::int32_t>(sen2srTileCount(raster.width, raster.height));
    figures.outputBandCount = Sen2srBands;
    figures.outputDataType = AiTensorDataType::Float32;
    figures.peakMemoryBytes = sen2srPeakMemory(raster.width, raster.height);
    figures.outputBytes = std::int64_t{figures.width} * figures.height * Sen2srBands * 4;
    return runEstimateJson(figures);
}

QJsonObject run(TaskContext& task) {
    const QJsonObject& json = task.request();
    const QString rasterPath = requiredTaskPath(json, "rasterPath");
    const SourceRaster raster = checkRaster(rasterPath);
    const Sen2srSource source = readSource(rasterPath, raster, task);
    const auto* sourceSamples = reinterpret_cast<const float*>(source.samples.constData());
    const std::size_t plane =
        static_cast<std::size_t>(source.width) * static_cast<std::size_t>(source.height);
    // Both previews use the source's stretch, so that they compare.
    std::array<DisplayStretch, 3> stretches;
    for (std::size_t b = 0; b < 3; ++b) {
        stretches[b] = percentileStretch(sourceSamples + b * plane, plane);
    }

    task.reportStage(1, QStringLiteral("Validating SEN2SRLite RGBN model"));
    const QString packagePath = requiredTaskPath(json, "modelPackagePath");
    openTaskPackage(packagePath, &sen2srContract,
                    QStringLiteral("Unsupported SEN2SRLite 4x RGBN model contract."));
    AiSessionOptions options;
    options.provider = taskProvider(json);
    options.intraOpThreads = task.intraOpThreads(4);
    options.interOpThreads = 1;
    const Sen2srOutput output = superResolve(source, packagePath, options, task.interruptionTest(),
                                             task.inferenceProgress(InferenceSpan));
    if (output.grid.cancelled) {
        throwRuntimeError(QStringLiteral("Super-resolution was interrupted."));
    }

    const QString enhancedPath = task.workspaceFile(QStringLiteral("enhanced-rgbn.tif"));
    writeEnhancedRaster(enhancedPath, output, task);
    task.reportStage(90, QStringLiteral("Preparing original / enhanced comparison"));
    const PreviewMessages messages{QStringLiteral("Cannot create SEN2SR comparison display."),
                                   QStringLiteral("Cannot set display band interpretation."),
                                   QStringLiteral("Cannot write comparison row.")};
    const QString sourcePreviewPath = task.workspaceFile(QStringLiteral("source-rgb.tif"));
    writeStretchedPreview(sourcePreviewPath,
                          previewPlanes(sourceSamples, source.width, source.height, 1.0, source.geoTransform,
                                        source.projectionWkt),
                          stretches, messages, task.checkpointFunction());
    const QString previewPath = task.workspaceFile(QStringLiteral("enhanced-rgb.tif"));
    const AiRasterInferenceResult& grid = output.grid;
    writeStretchedPreview(previewPath,
                          previewPlanes(output.samples.data(), grid.width, grid.height, ReflectanceToDn,
                                        grid.geoTransform, grid.projectionWkt),
                          stretches, messages, task.checkpointFunction());
    task.checkpoint();

    return resultDocument(rasterPath, source, output,
                          {{QStringLiteral("rasterPath"), enhancedPath},
                           {QStringLiteral("previewPath"), previewPath},
                           {QStringLiteral("sourcePreviewPath"), sourcePreviewPath}},
                          task);
}

}  // namespace

extern const TaskKind Sen2srSuperResolutionTask{Kind, &checkNothingMore, &run, &estimate};

}  // namespace Tarnivale::AI::Tasks
