// "prue-fields": field interiors from two aligned acquisitions of red, green, blue and near infrared with a
// packaged PRUE model; the input is staged with invalid samples set to zero, classified tile by tile, and
// written as classes, an RGBA preview, a source preview and the field polygons.

#include <tarnivale/ai/models.h>
#include <tarnivale/ai/raster.h>

#include "raster/class_raster_products.h"
#include "raster/label_polygons.h"
#include "runtime/errors.h"
#include "tasks/class_outputs.h"
#include "tasks/source_preview.h"
#include "tasks/source_raster.h"
#include "tasks/task_json.h"
#include "tasks/task_kinds.h"
#include "tasks/task_package.h"
#include "tasks/task_results.h"
#include "tasks/zero_filled_copy.h"

#include <QFile>
#include <QFileInfo>

namespace Tarnivale::AI::Tasks {

namespace {

constexpr std::int32_t InferenceSpan = 78;
constexpr std::int32_t FieldInterior = 1;

// Background, field interior, field boundary; further classes grey.
const QList<ClassColor> Colors = {{40, 40, 40}, {46, 160, 67}, {240, 200, 40}};

const QStringList BandNames = {"window_A red", "window_A green", "window_A blue", "window_A nir",
                               "window_B red", "window_B green", "window_B blue", "window_B nir"};

bool supportedContract(const AiModelManifest& manifest) {
    return manifest.id == QLatin1String("fieldsoftheworld-prue-efficientnet-b5-ccby") &&
           !manifest.inputs.isEmpty() && !manifest.outputs.isEmpty() && !manifest.outputDecoders.isEmpty();
}

QList<ClassColor> colorsFor(qsizetype classes) {
    QList<ClassColor> colors = Colors.mid(0, std::min<qsizetype>(classes, Colors.size()));
    while (colors.size() < classes) {
        colors.append({128, 128, 128});
    }
    return colors;
}

SourceRasterRules sourceRules() {
    SourceRasterRules rules;
    rules.minimumBands = rules.maximumBands = 8;
    rules.bandMessage = QStringLiteral("PRUE requires eight aligned bi-temporal RGBN bands.");
    rules.transformMessage = rules.crsMessage =
        QStringLiteral("PRUE input requires a valid CRS and affine transform.");
    return rules;
}

QString contractMessage() {
    return QStringLiteral("Unsupported PRUE CC-BY model contract.");
}

// The staging copy has the source's size, so the source stands for it.
QJsonObject estimate(const QJsonObject& json) {
    return executorEstimate(json, sourceRules(), &supportedContract, contractMessage());
}

QJsonObject run(TaskContext& task) {
    const QJsonObject& json = task.request();
    const QString rasterPath = requiredTaskPath(json, "rasterPath");
    const SourceRaster raster = checkSourceRaster(rasterPath, sourceRules());

    task.reportStage(1, QStringLiteral("Validating PRUE CC-BY package"));
    const AiModelPackage package =
        openTaskPackage(requiredTaskPath(json, "modelPackagePath"), &supportedContract, contractMessage());
    task.checkpoint();

    // The staging copy, when there is anything to fill, lives in the workspace only while the model reads it.
    const QString stagingPath = task.workspaceFile(QStringLiteral("finite-input.tif"));
    // The one pass over the source also keeps the second window's red, green and blue for its preview,
    // written at once so that its planes are gone before the model runs.
    PlaneBuffer previewSamples;
    const std::int64_t zeroFilled = writeZeroFilledCopy(
        rasterPath, {1, 2, 3, 4, 5, 6, 7, 8}, stagingPath, QStringLiteral("Cannot read PRUE input."),
        QStringLiteral("Cannot write PRUE staging input."), task.checkpointFunction(), {5, 6, 7},
        &previewSamples);
    const QString sourcePreviewPath = task.workspaceFile(QStringLiteral("source-rgb.tif"));
    writeSourcePreview(previewSamples, raster, sourcePreviewPath, task.checkpointFunction());
    previewSamples.reset();
    AiRasterInferenceRequest request =
        taskInferenceRequest(package, zeroFilled > 0 ? stagingPath : rasterPath, task, 4);
    AiRasterInferenceResult result =
        AiRasterInferenceExecutor::run(request, task.inferenceProgress(InferenceSpan));
    QFile::remove(stagingPath);
    task.checkpoint();
    if (result.cancelled) {
        throwRuntimeError(QStringLiteral("AI task interrupted."));
    }
    if (result.bandCount != 1 || result.dataType != AiTensorDataType::Int32 ||
        result.geoTransform.size() != 6) {
        throwRuntimeError(QStringLiteral("Unexpected classification layout."));
    }
    // The provenance names the source, not the staging copy that has gone.
    result.provenance.sourcePath = QFileInfo(rasterPath).absoluteFilePath();

    task.reportStage(82, QStringLiteral("Writing field products"));
    const qsizetype classes = std::max<qsizetype>(package.manifest().labels.size(), 2);
    const QString classesPath = task.workspaceFile(QStringLiteral("classes.tif"));
    const QString previewPath = task.workspaceFile(QStringLiteral("field-rgba.tif"));
    const QList<qint64> classPixels =
        writeClassRasterAndPreview(result, classesPath, previewPath, colorsFor(classes), task);

    const QString vectorPath = task.workspaceFile(QStringLiteral("fields.gpkg"));
    const qint64 polygons = writeLabelPolygons(
        labelRasterOf(result),
        oneClassPolygonTarget(vectorPath, QStringLiteral("field_predictions"), FieldInterior,
                              QStringLiteral("Field interior"), QStringLiteral("Field"), task),
        task.checkpointFunction());
    task.checkpoint();

    QJsonObject document = resultEnvelope(QStringLiteral("prue-fields"), rasterPath, result, task);
    document.insert(QStringLiteral("rasterPath"), classesPath);
    document.insert(QStringLiteral("previewPath"), previewPath);
    document.insert(QStringLiteral("sourcePreviewPath"), sourcePreviewPath);
    document.insert(QStringLiteral("vectorPath"), vectorPath);
    document.insert(QStringLiteral("polygons"), polygons);
    document.insert(QStringLiteral("polygonClass"), QStringLiteral("Field interior"));
    document.insert(QStringLiteral("classPixels"), jsonNumbers(classPixels));
    document.insert(QStringLiteral("classNames"), QJsonArray::fromStringList(package.manifest().labels));
    document.insert(QStringLiteral("bandNames"), QJsonArray::fromStringList(BandNames));
    document.insert(
        QStringLiteral("temporalOrder"),
        QJsonObject{{QStringLiteral("window_A"), QStringLiteral("bands 1-4, the first acquisition")},
                    {QStringLiteral("window_B"), QStringLiteral("bands 5-8, the second acquisition")}});
    document.insert(QStringLiteral("invalidInputSamplesZeroFilled"), static_cast<qint64>(zeroFilled));
    document.insert(
        QStringLiteral("interpretation"),
        QStringLiteral("Agricultural field interior predictions; not legal cadastral boundaries."));
    return document;
}

}  // namespace

extern const TaskKind PrueFieldsTask{"prue-fields", &checkNothingMore, &run, &estimate};

}  // namespace Tarnivale::AI::Tasks
