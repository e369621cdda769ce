// "dynamic-world": nine Sentinel-2 bands to nine land-cover classes with a packaged Dynamic World model,
// masked by the caller's validity raster, written as classes, an RGBA preview and class polygons.

#include <tarnivale/ai/models.h>
#include <tarnivale/ai/raster.h>

#include "interop/class_raster_products.h"
#include "interop/package_request.h"
#include "interop/task_json.h"
#include "interop/task_kinds.h"
#include "runtime/errors.h"
#include "runtime/gdal_handles.h"

#include <QJsonArray>

#include <exception>
#include <future>

namespace Tarnivale::AI::Interop {

namespace {

constexpr std::int32_t InferenceSpan = 78;
constexpr qint64 PixelBudget = 16777216;  // 2^24

const QList<ClassColor> DynamicWorldColors = {
    {65, 155, 223}, {57, 125, 73}, {136, 176, 83},  {122, 135, 198}, {228, 150, 53},
    {223, 195, 90}, {196, 40, 27}, {165, 155, 143}, {179, 159, 225},
};

AiExecutionProvider taskProvider(const QJsonObject& request) {
    const QString name = request.value(QStringLiteral("provider")).toString(QStringLiteral("cpu")).toLower();
    if (name == QLatin1String("cpu") || name == QLatin1String("auto")) {
        return AiExecutionProvider::Cpu;
    }
    if (name == QLatin1String("cuda")) {
        return AiExecutionProvider::Cuda;
    }
    throwInvalidArgument(QStringLiteral("Unsupported task provider."));
}

void checkSource(const QString& rasterPath) {
    const Gdal::Dataset source = Gdal::open(rasterPath, GDAL_OF_RASTER | GDAL_OF_READONLY);
    if (!source || GDALGetRasterCount(source.get()) != 9) {
        throwRuntimeError(QStringLiteral("Dynamic World requires nine-band input."));
    }
    const qint64 pixels =
        static_cast<qint64>(GDALGetRasterXSize(source.get())) * GDALGetRasterYSize(source.get());
    if (pixels < 1 || pixels > PixelBudget) {
        throwRuntimeError(QStringLiteral("Raster exceeds the task pixel budget."));
    }
}

AiModelPackage openPackage(const QString& directory) {
    AiModelPackage package;
    try {
        package = AiModelPackage::open(directory);
    } catch (const std::exception&) {
        throwRuntimeError(QStringLiteral("Model package failed integrity validation."));
    }
    if (!package.validationErrors().isEmpty()) {
        throwRuntimeError(QStringLiteral("Model package failed integrity validation."));
    }
    const AiModelManifest& manifest = package.manifest();
    if (manifest.id != QLatin1String("google-dynamicworld") || manifest.inputs.isEmpty() ||
        manifest.outputs.isEmpty() || manifest.inputAdapters.isEmpty() || manifest.outputDecoders.isEmpty()) {
        throwRuntimeError(QStringLiteral("Unsupported Dynamic World model contract."));
    }
    return package;
}

AiRasterInferenceRequest inferenceRequest(const AiModelPackage& package, const QString& rasterPath,
                                          const TaskContext& task) {
    AiRasterInferenceRequest request = packageInferenceRequest(package, rasterPath);
    request.sessionOptions.provider = taskProvider(task.request());
    request.sessionOptions.intraOpThreads = task.intraOpThreads(4);
    request.sessionOptions.interOpThreads = 1;
    request.cancellationRequested = task.interruptionTest();
    return request;
}

QJsonArray numbers(const QList<double>& values) {
    QJsonArray array;
    for (const double value : values) {
        array.append(value);
    }
    return array;
}

QJsonArray numbers(const QList<qint64>& values) {
    QJsonArray array;
    for (const qint64 value : values) {
        array.append(value);
    }
    return array;
}

}  // namespace

QJsonObject runDynamicWorldTask(TaskContext& task) {
    const QJsonObject& json = task.request();
    const QString rasterPath = requiredTaskPath(json, "rasterPath");
    checkSource(rasterPath);

    task.reportStage(1, QStringLiteral("Validating model package"));
    const AiModelPackage package = openPackage(requiredTaskPath(json, "modelPackagePath"));
    task.checkpoint();

    const AiRasterInferenceRequest request = inferenceRequest(package, rasterPath, task);
    AiRasterInferenceResult result =
        AiRasterInferenceExecutor::run(request, task.inferenceProgress(InferenceSpan));
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
                      static_cast<std::int32_t>(DynamicWorldColors.size()), task);
    // The preview does not depend on the class GeoTIFF, so both are written at once; a failure of the class
    // GeoTIFF is reported first, as if it had been written first.
    const QString classesPath = task.workspaceFile(QStringLiteral("classes.tif"));
    std::future<void> classesWritten = std::async(std::launch::async, [&result, &classesPath] {
        AiRasterInferenceExecutor::writeGeoTiff(result, classesPath);
    });
    const QString previewPath = task.workspaceFile(QStringLiteral("preview.tif"));
    QList<qint64> classPixels;
    std::exception_ptr previewFailure;
    try {
        classPixels = writeClassPreview(result, previewPath, DynamicWorldColors, task);
    } catch (...) {
        previewFailure = std::current_exception();
    }
    classesWritten.get();
    if (previewFailure) {
        std::rethrow_exception(previewFailure);
    }

    task.reportStage(90, QStringLiteral("Creating class polygons"));
    const QString vectorPath = task.workspaceFile(QStringLiteral("classes.gpkg"));
    const qint64 polygons = polygonizeClasses(
        classesPath, previewPath,
        PolygonTarget{vectorPath, QStringLiteral("classes"), QStringLiteral("class_id")}, task);
    task.checkpoint();

    return QJsonObject{
        {QStringLiteral("schemaVersion"), QStringLiteral("1.0")},
        {QStringLiteral("task"), QStringLiteral("dynamic-world")},
        {QStringLiteral("rasterPath"), classesPath},
        {QStringLiteral("previewPath"), previewPath},
        {QStringLiteral("vectorPath"), vectorPath},
        {QStringLiteral("sourceRasterPath"), rasterPath},
        {QStringLiteral("projectionWkt"), result.projectionWkt},
        {QStringLiteral("geoTransform"), numbers(result.geoTransform)},
        {QStringLiteral("width"), result.width},
        {QStringLiteral("height"), result.height},
        {QStringLiteral("classPixels"), numbers(classPixels)},
        {QStringLiteral("polygons"), polygons},
        {QStringLiteral("tiles"), result.processedTiles},
        {QStringLiteral("provider"), aiExecutionProviderName(result.provider)},
        {QStringLiteral("elapsedMilliseconds"), task.elapsedMilliseconds()},
        {QStringLiteral("provenance"), result.provenance.toJson()},
    };
}

}  // namespace Tarnivale::AI::Interop
