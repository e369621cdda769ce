// "hotosm-buildings": a packaged semantic model with three heads (building probability, boundary, distance
// to the edge) over an RGB raster; instances are separated by seeded growth and written as polygons.

#include <tarnivale/ai/raster.h>

#include "runtime/errors.h"
#include "tasks/building_polygons.h"
#include "tasks/building_threshold.h"
#include "tasks/class_outputs.h"
#include "tasks/source_raster.h"
#include "tasks/task_json.h"
#include "tasks/task_kinds.h"
#include "tasks/task_package.h"
#include "tasks/task_results.h"

#include <algorithm>
#include <cmath>

namespace Tarnivale::AI::Tasks {

namespace {

constexpr std::int32_t InferenceSpan = 78;

bool supportedContract(const AiModelManifest& manifest) {
    const QList<AiOutputDecoderSpec>& heads = manifest.outputDecoders;
    return manifest.id == QLatin1String("hotosm-dinov3s-buildings") && !manifest.inputs.isEmpty() &&
           !manifest.outputs.isEmpty() && heads.size() == 3 &&
           heads[0].id == QLatin1String("building-probability") &&
           heads[1].id == QLatin1String("building-boundary") &&
           heads[2].id == QLatin1String("building-distance");
}

AiInstanceSeparationOptions separationOptions(double threshold) {
    AiInstanceSeparationOptions options;
    options.foregroundThreshold = threshold;
    options.boundaryThreshold = 0.5;
    options.seedThreshold = 0.1;
    options.minimumRegionPixels = 28;
    options.connectivity = 4;
    return options;
}

AiTensor headTensor(const AiDecodedRasterOutput& head) {
    AiTensor tensor;
    tensor.name = head.id;
    tensor.shape = {1, 1, head.result.height, head.result.width};
    tensor.data = head.result.data;
    return tensor;
}

void checkHeads(const QList<AiDecodedRasterOutput>& heads) {
    if (heads.size() != 3) {
        throwRuntimeError(QStringLiteral("HOTOSM did not produce three decoded heads."));
    }
    const AiRasterInferenceResult& first = heads.first().result;
    for (const AiDecodedRasterOutput& head : heads) {
        const AiRasterInferenceResult& r = head.result;
        if (r.width != first.width || r.height != first.height || r.bandCount != 1 ||
            r.dataType != AiTensorDataType::Float32 || r.data.size() != qsizetype{r.width} * r.height * 4) {
            throwRuntimeError(QStringLiteral("Unexpected HOTOSM decoded head layout."));
        }
        // A model that breaks down returns NaN: an empty building layer would look like a real answer.
        const auto* values = reinterpret_cast<const float*>(r.data.constData());
        if (!std::all_of(values, values + qsizetype{r.width} * r.height,
                         [](float v) { return std::isfinite(v); })) {
            throwRuntimeError(QStringLiteral("HOTOSM model produced non-finite values."));
        }
    }
}

QJsonObject run(TaskContext& task) {
    const QJsonObject& json = task.request();
    const QString rasterPath = requiredTaskPath(json, "rasterPath");
    SourceRasterRules rules;
    rules.minimumBands = 3;
    rules.bandMessage = QStringLiteral("HOTOSM requires georeferenced RGB input.");
    rules.transformMessage = rules.crsMessage =
        QStringLiteral("HOTOSM input requires a valid CRS and affine transform.");
    checkSourceRaster(rasterPath, rules);
    const double threshold = buildingThreshold(json);

    task.reportStage(1, QStringLiteral("Validating HOTOSM model package"));
    const AiModelPackage package =
        openTaskPackage(requiredTaskPath(json, "modelPackagePath"), &supportedContract,
                        QStringLiteral("Unsupported HOTOSM mask/boundary/distance model contract."));
    task.checkpoint();

    const QList<AiDecodedRasterOutput> heads = AiRasterInferenceExecutor::runDecodedOutputs(
        taskInferenceRequest(package, rasterPath, task, 2), package.manifest().outputDecoders,
        task.inferenceProgress(InferenceSpan));
    task.checkpoint();
    if (!heads.isEmpty() && heads.first().result.cancelled) {
        throwRuntimeError(QStringLiteral("AI task interrupted."));
    }
    checkHeads(heads);

    task.reportStage(82, QStringLiteral("Separating building instances"));
    const AiInstanceSeparationOptions options = separationOptions(threshold);
    const AiTensor probability = headTensor(heads[0]);
    const AiTensor boundary = headTensor(heads[1]);
    const AiTensor distance = headTensor(heads[2]);
    const AiInstanceSeparationResult separated =
        AiInstanceSeparator::separate(probability, &boundary, &distance, options);
    task.checkpoint();

    AiRasterInferenceResult grid = heads[0].result;
    if (grid.geoTransform.size() != 6 ||
        separated.instances.data.size() != qsizetype{grid.width} * grid.height * 4) {
        throwRuntimeError(QStringLiteral("Invalid HOTOSM instance grid."));
    }
    grid.dataType = AiTensorDataType::Int32;
    grid.data = separated.instances.data;
    const BuildingPolygons polygons = writeBuildingPolygons(labelRasterOf(grid), task);

    QJsonObject document =
        resultEnvelope(QStringLiteral("hotosm-buildings"), rasterPath, heads[0].result, task);
    document.insert(QStringLiteral("vectorPath"), polygons.path);
    document.insert(QStringLiteral("polygons"), polygons.polygons);
    document.insert(QStringLiteral("instances"), separated.instanceCount);
    document.insert(QStringLiteral("threshold"), threshold);
    document.insert(QStringLiteral("postprocessing"),
                    QJsonObject{{QStringLiteral("foregroundThreshold"), options.foregroundThreshold},
                                {QStringLiteral("boundaryThreshold"), options.boundaryThreshold},
                                {QStringLiteral("seedThreshold"), options.seedThreshold},
                                {QStringLiteral("minimumRegionPixels"), options.minimumRegionPixels},
                                {QStringLiteral("connectivity"), options.connectivity}});
    return document;
}

}  // namespace

extern const TaskKind HotosmBuildingsTask{"hotosm-buildings", &checkBuildingThreshold, &run};

}  // namespace Tarnivale::AI::Tasks
