// "dynamic-world": nine Sentinel-2 bands to nine land-cover classes with a packaged Dynamic World model,
// masked by the caller's validity raster, written as classes, an RGBA preview and class polygons.

#include <tarnivale/ai/models.h>
#include <tarnivale/ai/raster.h>

#include "raster/class_raster_products.h"
#include "raster/label_polygons.h"
#include "runtime/errors.h"
#include "tasks/class_outputs.h"
#include "tasks/source_raster.h"
#include "tasks/task_json.h"
#include "tasks/task_kinds.h"
#include "tasks/task_package.h"
#include "tasks/task_results.h"

namespace Tarnivale::AI::Tasks {

namespace {

constexpr std::int32_t InferenceSpan = 78;

const QList<ClassColor> Colors = {
    {65, 155, 223}, {57, 125, 73}, {136, 176, 83},  {122, 135, 198}, {228, 150, 53},
    {223, 195, 90}, {196, 40, 27}, {165, 155, 143}, {179, 159, 225},
};

void checkRequest(QJsonObject& request) {
    request.insert(QStringLiteral("validityMaskPath"), requiredTaskPath(request, "validityMaskPath"));
}

bool supportedContract(const AiModelManifest& manifest) {
    return manifest.id == QLatin1String("google-dynamicworld") && !manifest.inputs.isEmpty() &&
           !manifest.outputs.isEmpty() && !manifest.inputAdapters.isEmpty() &&
           !manifest.outputDecoders.isEmpty();
}

LabelPolygonTarget polygonTarget(const QString& path) {
    LabelPolygonTarget target;
    target.path = path;
    target.layerName = QStringLiteral("classes");
    target.fieldName = QStringLiteral("class_id");
    target.selection = LabelSelection::EveryClass;
    LabelPolygonMessages& messages = target.messages;
    messages.buffers = messages.transform = messages.row = messages.output =
        QStringLiteral("Cannot open polygonization datasets.");
    messages.crs = QStringLiteral("Classification raster has no CRS.");
    messages.layer = QStringLiteral("Cannot create class polygon layer.");
    messages.field = QStringLiteral("Cannot create class attribute.");
    messages.polygonize = QStringLiteral("Classification polygonization failed.");
    messages.budget = QStringLiteral("Class polygon count exceeds the task budget.");
    return target;
}

SourceRasterRules sourceRules() {
    SourceRasterRules rules;
    rules.minimumBands = rules.maximumBands = 9;
    rules.bandMessage = QStringLiteral("Dynamic World requires nine-band input.");
    return rules;
}

QString contractMessage() {
    return QStringLiteral("Unsupported Dynamic World model contract.");
}

QJsonObject estimate(const QJsonObject& json) {
    return executorEstimate(json, sourceRules(), &supportedContract, contractMessage());
}

QJsonObject run(TaskContext& task) {
    const QJsonObject& json = task.request();
    const QString rasterPath = requiredTaskPath(json, "rasterPath");
    checkSourceRaster(rasterPath, sourceRules());

    task.reportStage(1, QStringLiteral("Validating model package"));
    const AiModelPackage package =
        openTaskPackage(requiredTaskPath(json, "modelPackagePath"), &supportedContract, contractMessage());
    task.checkpoint();

    AiRasterInferenceResult result = AiRasterInferenceExecutor::run(
        taskInferenceRequest(package, rasterPath, task, 4), task.inferenceProgress(InferenceSpan));
    task.checkpoint();
    if (result.cancelled) {
        throwRuntimeError(QStringLiteral("AI task interrupted."));
    }
    if (result.bandCount != 1 || result.dataType != AiTensorDataType::Int32 ||
        result.geoTransform.size() != 6) {
        throwRuntimeError(QStringLiteral("Unexpected classification layout."));
    }

    task.reportStage(82, QStringLiteral("Applying validity mask"));
    applyValidityMask(result, requiredTaskPath(json, "validityMaskPath"),
                      static_cast<std::int32_t>(Colors.size()),
                      QStringLiteral("Unexpected Dynamic World class code."), task.checkpointFunction());
    const QString classesPath = task.workspaceFile(QStringLiteral("classes.tif"));
    const QString previewPath = task.workspaceFile(QStringLiteral("preview.tif"));
    const QList<qint64> classPixels =
        writeClassRasterAndPreview(result, classesPath, previewPath, Colors, task);

    task.reportStage(90, QStringLiteral("Creating class polygons"));
    const QString vectorPath = task.workspaceFile(QStringLiteral("classes.gpkg"));
    const qint64 polygons =
        writeLabelPolygons(labelRasterOf(result), polygonTarget(vectorPath), task.checkpointFunction());
    task.checkpoint();

    QJsonObject document = resultEnvelope(QStringLiteral("dynamic-world"), rasterPath, result, task);
    document.insert(QStringLiteral("rasterPath"), classesPath);
    document.insert(QStringLiteral("previewPath"), previewPath);
    document.insert(QStringLiteral("vectorPath"), vectorPath);
    document.insert(QStringLiteral("classPixels"), jsonNumbers(classPixels));
    document.insert(QStringLiteral("classNames"), QJsonArray::fromStringList(package.manifest().labels));
    document.insert(QStringLiteral("polygons"), polygons);
    return document;
}

}  // namespace

extern const TaskKind DynamicWorldTask{"dynamic-world", &checkRequest, &run, &estimate};

}  // namespace Tarnivale::AI::Tasks
