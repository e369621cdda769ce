// "geoai-usa-buildings": a packaged Mask R-CNN over 512 x 512 windows of a byte RGB raster; the windows'
// instance masks are gathered in raster space, suppressed by mask IoU and painted into one label raster,
// written as polygons.

#include <tarnivale/ai/raster.h>

#include "detection/window_seams.h"
#include "raster/package_request.h"
#include "raster/raster_input.h"
#include "runtime/errors.h"
#include "tasks/building_polygons.h"
#include "tasks/building_threshold.h"
#include "tasks/class_outputs.h"
#include "tasks/instance_masks.h"
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

constexpr double MaskThreshold = 0.5;
constexpr double NmsIouThreshold = 0.5;
constexpr std::int32_t MinimumMaskPixels = 16;
constexpr std::int32_t TileSize = 512;
constexpr std::int32_t TileStride = 384;
constexpr std::int32_t Connectivity = 4;
constexpr std::int64_t CandidateLimit = 100000;
constexpr std::int64_t CandidateMaskBytes = 536870912;

const char* const OutputNames[] = {"boxes", "scores", "classes", "masks"};

bool supportedContract(const AiModelManifest& manifest) {
    const auto declares = [](const QList<AiTensorSpec>& specs, const char* name) {
        return std::any_of(specs.begin(), specs.end(),
                           [name](const AiTensorSpec& spec) { return spec.name == QLatin1String(name); });
    };
    return manifest.id == QLatin1String("mirtal-geoai-usa-maskrcnn-resnet50-fpn") &&
           declares(manifest.inputs, "image") &&
           std::all_of(std::begin(OutputNames), std::end(OutputNames),
                       [&](const char* name) { return declares(manifest.outputs, name); });
}

const AiTensor& output(const AiInferenceResult& result, const char* name) {
    for (const AiTensor& tensor : result.outputs) {
        if (tensor.name == QLatin1String(name)) {
            return tensor;
        }
    }
    throwRuntimeError(QStringLiteral("Missing Mask R-CNN output: %1").arg(QLatin1String(name)));
}

/// The window's outputs, checked: N boxes (xyxy, window pixels), N scores, N classes, N masks of h x w.
struct MaskRcnnOutputs {
    const float* boxes = nullptr;
    const float* scores = nullptr;
    const float* masks = nullptr;
    std::int64_t count = 0;
    std::int64_t maskHeight = 0;
    std::int64_t maskWidth = 0;
};

MaskRcnnOutputs checkedOutputs(const AiInferenceResult& result) {
    const AiTensor& boxes = output(result, "boxes");
    const AiTensor& scores = output(result, "scores");
    const AiTensor& classes = output(result, "classes");
    const AiTensor& masks = output(result, "masks");
    for (const AiTensor* tensor : {&boxes, &scores, &masks}) {
        if (tensor->dataType != AiTensorDataType::Float32) {
            throwRuntimeError(QStringLiteral("Invalid Mask R-CNN output tensor."));
        }
    }
    if (classes.dataType == AiTensorDataType::Float64) {
        throwRuntimeError(QStringLiteral("Invalid Mask R-CNN output tensor."));
    }
    // Boxes [N, 4] or [1, N, 4]; masks [N, 1, h, w] or [N, h, w]; N scores and N classes.
    const QList<std::int64_t>& b = boxes.shape;
    const QList<std::int64_t>& m = masks.shape;
    const bool boxShape = (b.size() == 2 && b[1] == 4) || (b.size() == 3 && b[0] == 1 && b[2] == 4);
    const std::int64_t n = boxShape ? b[b.size() - 2] : -1;
    const bool maskShape = (m.size() == 4 && m[1] == 1) || m.size() == 3;
    const auto elements = [](const AiTensor& tensor) {
        std::int64_t count = 1;
        for (const std::int64_t d : tensor.shape) {
            count *= d;
        }
        return count;
    };
    if (!boxShape || !maskShape || m[0] != n || elements(scores) != n || elements(classes) != n ||
        m.last() < 1 || m[m.size() - 2] < 1 || boxes.data.size() != n * 16 || scores.data.size() != n * 4 ||
        masks.data.size() != n * m.last() * m[m.size() - 2] * 4) {
        throwRuntimeError(QStringLiteral("Unexpected Mask R-CNN output shapes."));
    }
    return {reinterpret_cast<const float*>(boxes.data.constData()),
            reinterpret_cast<const float*>(scores.data.constData()),
            reinterpret_cast<const float*>(masks.data.constData()),
            n,
            m[m.size() - 2],
            m.last()};
}

struct Scene {
    std::int32_t width = 0;
    std::int32_t height = 0;
    QList<std::int32_t> columns;  ///< window starts
    QList<std::int32_t> rows;
};

/// Candidate i of a window at (wx, wy) in raster space: its box clipped to the window's part of the raster,
/// its mask binarised there (full-window masks are read in place; smaller masks span the box and are
/// sampled at pixel centres). Returns false for candidates that do not qualify.
bool makeCandidate(const MaskRcnnOutputs& out, std::int64_t i, std::int32_t wx, std::int32_t wy,
                   const Scene& scene, double threshold, MaskCandidates& gathered) {
    const double score = out.scores[i];
    const float* box = out.boxes + i * 4;
    if (!(score >= threshold) || !std::isfinite(box[0]) || !std::isfinite(box[1]) || !std::isfinite(box[2]) ||
        !std::isfinite(box[3])) {
        return false;
    }
    const double bx0 = wx + static_cast<double>(box[0]);
    const double by0 = wy + static_cast<double>(box[1]);
    const double bx1 = wx + static_cast<double>(box[2]);
    const double by1 = wy + static_cast<double>(box[3]);
    // A box reaching an inner window seam is a part of its object when another window holds it whole.
    if ((cutBySeam(bx0, bx1, wx, TileSize, scene.width, 1.0) ||
         cutBySeam(by0, by1, wy, TileSize, scene.height, 1.0)) &&
        someWindowHolds(bx0, bx1, scene.columns, TileSize, scene.width, 1.0) &&
        someWindowHolds(by0, by1, scene.rows, TileSize, scene.height, 1.0)) {
        return false;
    }
    MaskCandidate candidate;
    candidate.score = score;
    candidate.x0 = std::max(static_cast<std::int32_t>(std::floor(std::clamp(bx0, -1.0, 1e9))), wx);
    candidate.y0 = std::max(static_cast<std::int32_t>(std::floor(std::clamp(by0, -1.0, 1e9))), wy);
    candidate.x1 = std::min(static_cast<std::int32_t>(std::ceil(std::clamp(bx1, -1.0, 1e9))),
                            std::min(wx + TileSize, scene.width));
    candidate.y1 = std::min(static_cast<std::int32_t>(std::ceil(std::clamp(by1, -1.0, 1e9))),
                            std::min(wy + TileSize, scene.height));
    if (candidate.x0 >= candidate.x1 || candidate.y0 >= candidate.y1 || bx0 >= bx1 || by0 >= by1) {
        return false;
    }
    const std::int64_t columns = candidate.x1 - candidate.x0;
    const std::int64_t rows = candidate.y1 - candidate.y0;
    gathered.reserve(columns * rows);
    candidate.mask.assign(static_cast<std::size_t>(columns * rows), 0);
    const float* mask = out.masks + i * out.maskHeight * out.maskWidth;
    const bool fullWindow = out.maskHeight == TileSize && out.maskWidth == TileSize;
    for (std::int64_t r = 0; r < rows; ++r) {
        const std::int64_t y = candidate.y0 + r;
        const std::int64_t my =
            fullWindow
                ? y - wy
                : std::clamp<std::int64_t>(
                      static_cast<std::int64_t>(std::floor((y + 0.5 - by0) / (by1 - by0) * out.maskHeight)),
                      0, out.maskHeight - 1);
        for (std::int64_t c = 0; c < columns; ++c) {
            const std::int64_t x = candidate.x0 + c;
            const std::int64_t mx =
                fullWindow ? x - wx
                           : std::clamp<std::int64_t>(static_cast<std::int64_t>(std::floor(
                                                          (x + 0.5 - bx0) / (bx1 - bx0) * out.maskWidth)),
                                                      0, out.maskWidth - 1);
            const bool set = mask[my * out.maskWidth + mx] >= MaskThreshold;
            candidate.mask[static_cast<std::size_t>(r * columns + c)] = set ? 1 : 0;
            candidate.pixels += set ? 1 : 0;
        }
    }
    if (candidate.pixels < MinimumMaskPixels) {
        return false;
    }
    gathered.add(std::move(candidate));
    return true;
}

/// Bands 1-3 of the window into the [.., 3, 512, 512] tensor as values / 255, zero beyond the raster.
void readWindow(GDALDatasetH dataset, std::int32_t x, std::int32_t y, const Scene& scene, AiTensor& tensor) {
    auto* values = reinterpret_cast<float*>(tensor.data.data());
    std::fill_n(values, 3 * TileSize * TileSize, 0.0f);
    const std::int32_t width = std::min(TileSize, scene.width - x);
    const std::int32_t height = std::min(TileSize, scene.height - y);
    int bands[] = {1, 2, 3};
    if (GDALDatasetRasterIO(dataset, GF_Read, x, y, width, height, values, width, height, GDT_Float32, 3,
                            bands, 4, 4 * TileSize, 4 * TileSize * TileSize) != CE_None) {
        throwRuntimeError(QStringLiteral("Cannot read GeoAI USA raster tile."));
    }
    for (std::int32_t band = 0; band < 3; ++band) {
        for (std::int32_t row = 0; row < height; ++row) {
            float* line = values + (band * TileSize + row) * TileSize;
            for (std::int32_t column = 0; column < width; ++column) {
                line[column] /= 255.0f;
            }
        }
    }
}

QJsonObject run(TaskContext& task) {
    const QJsonObject& json = task.request();
    const QString rasterPath = requiredTaskPath(json, "rasterPath");
    SourceRasterRules rules;
    rules.minimumBands = 3;
    rules.bandMessage = QStringLiteral("GeoAI USA requires RGB input.");
    rules.byteBands = 3;
    rules.byteMessage = QStringLiteral("GeoAI USA requires byte RGB bands in positions 1, 2 and 3.");
    rules.crsMessage = QStringLiteral("GeoAI USA requires a valid raster CRS.");
    rules.transformMessage = QStringLiteral("GeoAI USA requires a valid affine transform.");
    const SourceRaster source = checkSourceRaster(rasterPath, rules);
    const double threshold = buildingThreshold(json);

    task.reportStage(1, QStringLiteral("Validating GeoAI USA model package"));
    const AiModelPackage package =
        openTaskPackage(requiredTaskPath(json, "modelPackagePath"), &supportedContract,
                        QStringLiteral("Unsupported GeoAI USA Mask R-CNN model contract."));
    task.checkpoint();

    AiRasterInferenceRequest request = packageInferenceRequest(package, rasterPath);
    request.bands = {1, 2, 3};
    request.tiling = {TileSize, TileSize, TileSize - TileStride, TileSize - TileStride};
    request.sessionOptions.provider = taskProvider(json);
    request.sessionOptions.intraOpThreads = task.intraOpThreads(2);
    request.sessionOptions.interOpThreads = 1;
    RasterInput input = openRasterInput(rasterPath, request.bands);
    AiRasterInferenceResult grid;
    grid.provenance = startProvenance(request, input);
    const AiSession session(request.modelPath, request.sessionOptions);

    Scene scene{source.width, source.height, windowStarts(source.width, TileSize, TileSize - TileStride),
                windowStarts(source.height, TileSize, TileSize - TileStride)};
    const AiTensorSpec& image =
        *std::find_if(package.manifest().inputs.begin(), package.manifest().inputs.end(),
                      [](const AiTensorSpec& spec) { return spec.name == QLatin1String("image"); });
    AiTensor tensor;
    tensor.name = QStringLiteral("image");
    tensor.shape = image.shape.size() == 3 ? QList<std::int64_t>{3, TileSize, TileSize}
                                           : QList<std::int64_t>{1, 3, TileSize, TileSize};
    tensor.data = QByteArray(3 * TileSize * TileSize * 4, Qt::Uninitialized);
    QList<AiTensor> inputs;
    inputs.append(std::move(tensor));
    AiInferenceResult outputs;
    MaskCandidates gathered(CandidateLimit, CandidateMaskBytes,
                            QStringLiteral("Building candidate memory budget exceeded."));
    const qsizetype windows = scene.columns.size() * scene.rows.size();
    qsizetype done = 0;
    task.reportStage(2, QStringLiteral("Running Mask R-CNN tiles"));
    for (const std::int32_t y : scene.rows) {
        for (const std::int32_t x : scene.columns) {
            task.checkpoint();
            readWindow(input.dataset.get(), x, y, scene, inputs[0]);
            session.runInto(inputs, outputs);
            grid.provider = outputs.provider;
            const MaskRcnnOutputs out = checkedOutputs(outputs);
            for (std::int64_t i = 0; i < out.count; ++i) {
                makeCandidate(out, i, x, y, scene, threshold, gathered);
            }
            ++done;
            task.reportStage(stagePercent(2, static_cast<std::int32_t>(100 * done / windows), 82),
                             QStringLiteral("Running Mask R-CNN tiles"));
        }
    }

    task.reportStage(86, QStringLiteral("Merging building instance masks"));
    const std::vector<const MaskCandidate*> accepted =
        suppressMasks(gathered.candidates(), NmsIouThreshold, TileSize);
    task.checkpoint();
    grid.width = source.width;
    grid.height = source.height;
    grid.bandCount = 1;
    grid.dataType = AiTensorDataType::Int32;
    grid.data = QByteArray(qsizetype{source.width} * source.height * 4, '\0');
    grid.geoTransform = source.geoTransform;
    grid.projectionWkt = source.projectionWkt;
    grid.processedTiles = static_cast<std::int32_t>(windows);
    const std::int32_t instances = paintInstances(accepted, reinterpret_cast<std::int32_t*>(grid.data.data()),
                                                  source.width, source.height);
    const BuildingPolygons polygons = writeBuildingPolygons(labelRasterOf(grid), task);
    grid.elapsedMilliseconds = task.elapsedMilliseconds();
    completeProvenance(grid);

    QJsonObject document = resultEnvelope(QStringLiteral("geoai-usa-buildings"), rasterPath, grid, task);
    const AiModelManifest& manifest = package.manifest();
    document.insert(QStringLiteral("vectorPath"), polygons.path);
    document.insert(QStringLiteral("polygons"), polygons.polygons);
    document.insert(QStringLiteral("instances"), instances);
    document.insert(QStringLiteral("modelId"), manifest.id);
    document.insert(QStringLiteral("modelVersion"), manifest.version);
    document.insert(QStringLiteral("modelRevision"), manifest.provenance.revision);
    document.insert(QStringLiteral("modelSha256"), request.modelSha256);
    document.insert(QStringLiteral("postprocessing"),
                    QJsonObject{{QStringLiteral("confidenceThreshold"), threshold},
                                {QStringLiteral("maskThreshold"), MaskThreshold},
                                {QStringLiteral("nmsIouThreshold"), NmsIouThreshold},
                                {QStringLiteral("minimumMaskPixels"), MinimumMaskPixels},
                                {QStringLiteral("tileSize"), TileSize},
                                {QStringLiteral("tileStride"), TileStride},
                                {QStringLiteral("connectivity"), Connectivity}});
    return document;
}

}  // namespace

extern const TaskKind GeoaiUsaBuildingsTask{"geoai-usa-buildings", &checkBuildingThreshold, &run};

}  // namespace Tarnivale::AI::Tasks
