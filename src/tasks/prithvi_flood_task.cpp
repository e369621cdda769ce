// "prithvi-flood": surface water and flood from six Sentinel-2 bands (selected from thirteen when the raster
// has them) with a packaged Prithvi model that also takes each tile's latitude and longitude. Overlapping
// tiles' logits are summed; written as classes, an RGBA preview, a source preview and the water polygons.

#include <tarnivale/ai/models.h>
#include <tarnivale/ai/raster.h>

#include "raster/label_polygons.h"
#include "raster/package_request.h"
#include "raster/raster_input.h"
#include "runtime/errors.h"
#include "runtime/gdal_handles.h"
#include "runtime/huge_pages.h"
#include "tasks/class_outputs.h"
#include "tasks/source_preview.h"
#include "tasks/source_raster.h"
#include "tasks/task_json.h"
#include "tasks/task_kinds.h"
#include "tasks/task_package.h"
#include "tasks/task_provider.h"
#include "tasks/task_results.h"

#include <algorithm>
#include <cmath>

namespace Tarnivale::AI::Tasks {

namespace {

constexpr std::int32_t InferenceSpan = 78;
constexpr std::int32_t TileSize = 224;
constexpr std::int32_t TileOverlap = 32;
constexpr std::int32_t Water = 1;

// Blue, green, red, narrow near infrared, the two short-wave infrared bands, in the 13-band L1C order.
const QList<std::int32_t> ThirteenBandSelection = {2, 3, 4, 9, 12, 13};
const QList<std::int32_t> SixBands = {1, 2, 3, 4, 5, 6};
const QList<ClassColor> Colors = {{0, 0, 0}, {30, 110, 235}};

bool supportedContract(const AiModelManifest& manifest) {
    const auto declares = [&manifest](const char* name) {
        return std::any_of(manifest.inputs.begin(), manifest.inputs.end(),
                           [name](const AiTensorSpec& spec) { return spec.name == QLatin1String(name); });
    };
    return manifest.id == QLatin1String("ibm-nasa-prithvi-eo2-300m-tl-sen1floods11") && declares("image") &&
           declares("location_coords") && !manifest.outputs.isEmpty();
}

const AiTensorSpec& imageSpec(const AiModelManifest& manifest) {
    return *std::find_if(manifest.inputs.begin(), manifest.inputs.end(),
                         [](const AiTensorSpec& spec) { return spec.name == QLatin1String("image"); });
}

/// Pixel centres to WGS 84 latitude and longitude, in that order.
class LocationFinder {
public:
    LocationFinder(const QList<double>& geoTransform, const QString& projectionWkt)
        : m_transform(geoTransform) {
        const Gdal::SpatialReference source = Gdal::spatialReferenceFromWkt(projectionWkt);
        const Gdal::SpatialReference wgs84(OSRNewSpatialReference(nullptr));
        if (!source || !wgs84 || OSRImportFromEPSG(wgs84.get(), 4326) != OGRERR_NONE) {
            throwRuntimeError(QStringLiteral("Cannot derive Prithvi tile locations from the source CRS."));
        }
        OSRSetAxisMappingStrategy(wgs84.get(), OAMS_TRADITIONAL_GIS_ORDER);
        OSRSetAxisMappingStrategy(source.get(), OAMS_TRADITIONAL_GIS_ORDER);
        m_toWgs84.reset(OCTNewCoordinateTransformation(source.get(), wgs84.get()));
        if (!m_toWgs84) {
            throwRuntimeError(QStringLiteral("Cannot derive Prithvi tile locations from the source CRS."));
        }
    }

    std::pair<double, double> latitudeLongitude(double column, double row) const {
        const QList<double>& g = m_transform;
        double x = g[0] + column * g[1] + row * g[2];
        double y = g[3] + column * g[4] + row * g[5];
        if (!OCTTransform(m_toWgs84.get(), 1, &x, &y, nullptr)) {
            throwRuntimeError(QStringLiteral("Cannot derive Prithvi tile locations from the source CRS."));
        }
        return {y, x};
    }

private:
    QList<double> m_transform;
    Gdal::CoordinateTransformation m_toWgs84;
};

/// Adds the window's two logits planes ([.., 2, tile, tile], non-water then water) into the scene's sums.
void accumulate(const AiTensor& logits, const AiTileWindow& window, std::int32_t width, float* sums,
                std::size_t plane) {
    const QList<std::int64_t>& s = logits.shape;
    if (logits.dataType != AiTensorDataType::Float32 || s.size() < 3 || s[s.size() - 3] != 2 ||
        s[s.size() - 2] != TileSize || s.last() != TileSize ||
        logits.data.size() != qsizetype{2} * TileSize * TileSize * 4) {
        throwRuntimeError(QStringLiteral("Unexpected Prithvi output shape."));
    }
    const auto* values = reinterpret_cast<const float*>(logits.data.constData());
    for (std::int32_t c = 0; c < 2; ++c) {
        for (std::int32_t r = 0; r < window.height; ++r) {
            const float* from = values + (static_cast<std::size_t>(c) * TileSize + r) * TileSize;
            float* to = sums + c * plane + static_cast<std::size_t>(window.y + r) * width + window.x;
            for (std::int32_t i = 0; i < window.width; ++i) {
                if (!std::isfinite(from[i])) {
                    throwRuntimeError(QStringLiteral("Prithvi model produced non-finite values."));
                }
                to[i] += from[i];
            }
        }
    }
}

QJsonObject run(TaskContext& task) {
    const QJsonObject& json = task.request();
    const QString rasterPath = requiredTaskPath(json, "rasterPath");
    const QString sourceMessage = QStringLiteral(
        "Prithvi requires 6 selected or 13 Sentinel-2 bands, dimensions >=224, within the pixel "
        "budget.");
    SourceRasterRules rules;
    rules.bandCounts = {6, 13};
    rules.bandMessage = rules.sizeMessage = sourceMessage;
    rules.minimumSide = TileSize;
    rules.transformMessage = rules.crsMessage =
        QStringLiteral("Prithvi input requires a valid CRS and affine transform.");
    const SourceRaster source = checkSourceRaster(rasterPath, rules);
    const QList<std::int32_t> bands = source.bands == 13 ? ThirteenBandSelection : SixBands;

    task.reportStage(1, QStringLiteral("Validating Prithvi flood model"));
    const AiModelPackage package =
        openTaskPackage(requiredTaskPath(json, "modelPackagePath"), &supportedContract,
                        QStringLiteral("Unsupported Prithvi image/location model contract."));
    task.checkpoint();

    AiRasterInferenceRequest request = packageInferenceRequest(package, rasterPath);
    request.bands = bands;
    request.inputName = QStringLiteral("image");
    request.tiling = {TileSize, TileSize, TileOverlap, TileOverlap};
    request.normalization = {};  // the model normalises raw digital numbers itself
    request.sessionOptions.provider = taskProvider(json);
    request.sessionOptions.intraOpThreads = task.intraOpThreads(4);
    request.sessionOptions.interOpThreads = 1;
    RasterInput input = openRasterInput(rasterPath, bands);
    AiRasterInferenceResult grid;
    grid.provenance = startProvenance(request, input);
    const AiSession session(request.modelPath, request.sessionOptions);
    TileReader reader(input, request.normalization, request.tiling, request.inputName);
    const LocationFinder locations(source.geoTransform, source.projectionWkt);
    // A five-dimensional image input takes the bands as one time step: [1, C, 1, H, W].
    const bool temporal = imageSpec(package.manifest()).shape.size() == 5;

    const QList<AiTileWindow> windows = AiTilePlanner::plan(source.width, source.height, request.tiling);
    const std::size_t plane = static_cast<std::size_t>(source.width) * source.height;
    PlaneBuffer sums(2 * plane);
    QJsonArray tileLocations;
    AiTensor coordinates;
    coordinates.name = QStringLiteral("location_coords");
    coordinates.shape = {1, 2};
    coordinates.data = QByteArray(8, '\0');
    AiInferenceResult outputs;
    const AiRasterProgressCallback progress = task.inferenceProgress(InferenceSpan);
    const QString message = QStringLiteral("Mapping water / flood");
    progress({0, static_cast<std::int32_t>(windows.size()), 0, message});
    for (qsizetype i = 0; i < windows.size(); ++i) {
        task.checkpoint();
        const AiTileWindow& window = windows[i];
        QList<AiTensor> inputs = reader.read(window);
        if (temporal) {
            inputs[0].shape = {1, static_cast<std::int64_t>(bands.size()), 1, TileSize, TileSize};
        }
        const auto [latitude, longitude] =
            locations.latitudeLongitude(window.x + window.width / 2.0, window.y + window.height / 2.0);
        auto* coordinateValues = reinterpret_cast<float*>(coordinates.data.data());
        coordinateValues[0] = static_cast<float>(latitude);
        coordinateValues[1] = static_cast<float>(longitude);
        inputs.append(coordinates);
        tileLocations.append(QJsonObject{{QStringLiteral("x"), window.x},
                                         {QStringLiteral("y"), window.y},
                                         {QStringLiteral("latitude"), latitude},
                                         {QStringLiteral("longitude"), longitude}});
        session.runInto(inputs, outputs);
        grid.provider = outputs.provider;
        accumulate(findOutput(outputs, request.outputName), window, source.width, sums.data(), plane);
        reader.releaseBlocksAbove(window.y);
        const auto done = static_cast<std::int32_t>(i + 1);
        progress({done, static_cast<std::int32_t>(windows.size()),
                  static_cast<std::int32_t>(100 * done / windows.size()), message});
    }
    task.checkpoint();

    // The class is the larger sum; a tie is not water.
    grid.width = source.width;
    grid.height = source.height;
    grid.bandCount = 1;
    grid.dataType = AiTensorDataType::Int32;
    grid.data = hugePageByteArray(static_cast<qsizetype>(plane) * 4);
    grid.geoTransform = source.geoTransform;
    grid.projectionWkt = source.projectionWkt;
    grid.processedTiles = static_cast<std::int32_t>(windows.size());
    auto* classes = reinterpret_cast<std::int32_t*>(grid.data.data());
    const float* land = sums.data();
    const float* water = sums.data() + plane;
    for (std::size_t p = 0; p < plane; ++p) {
        classes[p] = water[p] > land[p] ? Water : 0;
    }
    sums.reset();
    grid.elapsedMilliseconds = task.elapsedMilliseconds();
    completeProvenance(grid);

    task.reportStage(82, QStringLiteral("Writing water products"));
    const QString classesPath = task.workspaceFile(QStringLiteral("classes.tif"));
    const QString previewPath = task.workspaceFile(QStringLiteral("flood-rgba.tif"));
    const QList<qint64> classPixels =
        writeClassRasterAndPreview(grid, classesPath, previewPath, Colors, task);
    const QString sourcePreviewPath = task.workspaceFile(QStringLiteral("source-rgb.tif"));
    writeSourcePreview(rasterPath, {bands[2], bands[1], bands[0]}, sourcePreviewPath,
                       task.checkpointFunction());
    const QString vectorPath = task.workspaceFile(QStringLiteral("water.gpkg"));
    const qint64 polygons = writeLabelPolygons(
        labelRasterOf(grid),
        oneClassPolygonTarget(vectorPath, QStringLiteral("water_predictions"), Water,
                              QStringLiteral("Water / flood"), QStringLiteral("Water"), task),
        task.checkpointFunction());
    task.checkpoint();

    QJsonObject document = resultEnvelope(QStringLiteral("prithvi-flood"), rasterPath, grid, task);
    QList<qint64> bandIndices(bands.begin(), bands.end());
    document.insert(QStringLiteral("rasterPath"), classesPath);
    document.insert(QStringLiteral("previewPath"), previewPath);
    document.insert(QStringLiteral("sourcePreviewPath"), sourcePreviewPath);
    document.insert(QStringLiteral("vectorPath"), vectorPath);
    document.insert(QStringLiteral("polygons"), polygons);
    document.insert(QStringLiteral("classPixels"), jsonNumbers(classPixels));
    document.insert(QStringLiteral("classNames"),
                    QJsonArray{QStringLiteral("Not water"), QStringLiteral("Water / flood")});
    document.insert(QStringLiteral("sourceBandIndices"), jsonNumbers(bandIndices));
    document.insert(QStringLiteral("normalization"), QStringLiteral("inside model graph; raw L1C DN input"));
    document.insert(QStringLiteral("locationOrder"), QStringLiteral("latitude,longitude"));
    document.insert(QStringLiteral("tileLocations"), tileLocations);
    document.insert(QStringLiteral("merge"),
                    QStringLiteral("sum overlapping logits; argmax; ties non-water"));
    document.insert(QStringLiteral("interpretation"),
                    QStringLiteral("Surface water / flood; permanent water is included."));
    return document;
}

}  // namespace

extern const TaskKind PrithviFloodTask{"prithvi-flood", &checkNothingMore, &run};

}  // namespace Tarnivale::AI::Tasks
