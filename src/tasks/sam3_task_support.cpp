#include "tasks/sam3_task_support.h"

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"
#include "tasks/task_json.h"
#include "tasks/task_provider.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <gdal.h>
#include <ogr_api.h>

#include <cmath>

namespace Tarnivale::AI::Tasks {

void (*sam3TaskLockedHook)() = nullptr;

namespace {

constexpr std::int64_t TaskPixelBudget = 16777216;
constexpr qint64 MaximumManifestBytes = 1048576;

Sam3::PolledMutex& processSam3Lock() {
    static Sam3::PolledMutex lock;
    return lock;
}

bool isInteger(const QJsonValue& value) {
    const double number = value.toDouble();
    return value.isDouble() && std::isfinite(number) && number == std::floor(number) &&
           std::fabs(number) <= 2147483647.0;
}

QList<double> rangeList(const QJsonValue& value) {
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.size() != 3) {
        throwInvalidArgument(QStringLiteral("SAM3 display ranges require three minimums and maximums."));
    }
    QList<double> numbers;
    for (const QJsonValue& entry : array) {
        if (!entry.isDouble() || !std::isfinite(entry.toDouble())) {
            throwInvalidArgument(QStringLiteral("Invalid SAM3 RGB display range."));
        }
        numbers.append(entry.toDouble());
    }
    return numbers;
}

void readRasterOptions(const QJsonObject& request, int bandCount, int width, int height,
                       AiSamRasterOptions& options) {
    if (request.contains(QStringLiteral("bands"))) {
        const QJsonArray bands = request.value(QStringLiteral("bands")).toArray();
        if (!request.value(QStringLiteral("bands")).isArray() || bands.size() != 3) {
            throwInvalidArgument(QStringLiteral("SAM3 requires three RGB band indices."));
        }
        for (const QJsonValue& band : bands) {
            if (!isInteger(band) || band.toInt() < 1 || band.toInt() > bandCount) {
                throwInvalidArgument(QStringLiteral("Invalid SAM3 RGB band index."));
            }
            options.bands.append(band.toInt());
        }
    }
    if (request.contains(QStringLiteral("minimums")) || request.contains(QStringLiteral("maximums"))) {
        options.minimums = rangeList(request.value(QStringLiteral("minimums")));
        options.maximums = rangeList(request.value(QStringLiteral("maximums")));
        for (qsizetype c = 0; c < 3; ++c) {
            if (!(options.maximums.at(c) > options.minimums.at(c))) {
                throwInvalidArgument(QStringLiteral("Invalid SAM3 RGB display range."));
            }
        }
    }
    if (request.contains(QStringLiteral("window"))) {
        const QJsonValue value = request.value(QStringLiteral("window"));
        if (!value.isObject()) {
            throwInvalidArgument(QStringLiteral("SAM3 window must be a pixel window object."));
        }
        const QJsonObject window = value.toObject();
        std::int64_t fields[4] = {};
        const char* const names[4] = {"x", "y", "width", "height"};
        for (int k = 0; k < 4; ++k) {
            const QJsonValue field = window.value(QLatin1String(names[k]));
            if (!isInteger(field)) {
                throwInvalidArgument(QStringLiteral("SAM3 window fields must be integers."));
            }
            fields[k] = field.toInt();
        }
        if (fields[0] < 0 || fields[1] < 0 || fields[2] < 1 || fields[3] < 1 ||
            fields[0] + fields[2] > width || fields[1] + fields[3] > height) {
            throwInvalidArgument(QStringLiteral("SAM3 window lies outside the raster."));
        }
        options.hasWindow = true;
        options.window = {0,
                          0,
                          static_cast<std::int32_t>(fields[0]),
                          static_cast<std::int32_t>(fields[1]),
                          static_cast<std::int32_t>(fields[2]),
                          static_cast<std::int32_t>(fields[3])};
    }
}

}  // namespace

Sam3::PolledMutex::Hold takeSam3TaskLock(TaskContext& task) {
    std::optional<Sam3::PolledMutex::Hold> hold = processSam3Lock().tryAcquire();
    if (!hold) {
        task.reportStage(0, QStringLiteral("Waiting for the active SAM3 task"));
        hold.emplace(processSam3Lock().acquire([&task] { task.checkpoint(); }));
    }
    if (sam3TaskLockedHook) {
        sam3TaskLockedHook();
    }
    return std::move(*hold);
}

Sam3TaskInputs sam3TaskInputs(const TaskContext& task, const QString& kind) {
    const QJsonObject& request = task.request();
    Sam3TaskInputs inputs;
    inputs.rasterPath = requiredTaskPath(request, "rasterPath");
    int width = 0;
    int height = 0;
    int bandCount = 0;
    {
        const Gdal::Dataset source = Gdal::open(inputs.rasterPath, GDAL_OF_RASTER | GDAL_OF_READONLY);
        if (!source) {
            throwInvalidArgument(QStringLiteral("Cannot open SAM3 source raster."));
        }
        width = GDALGetRasterXSize(source.get());
        height = GDALGetRasterYSize(source.get());
        bandCount = GDALGetRasterCount(source.get());
    }
    if (width < 1 || height < 1 || std::int64_t{width} * height > TaskPixelBudget) {
        throwInvalidArgument(QStringLiteral("SAM3 source exceeds the 16-million-pixel task budget."));
    }
    if (!QByteArray(GDALVersionInfo("BUILD_INFO")).contains("GEOS_ENABLED=YES")) {
        throwRuntimeError(QStringLiteral("SAM3 GIS requires GDAL with GEOS support."));
    }
    inputs.manifestPath = requiredTaskPath(request, "modelPackagePath");
    if (QFileInfo(inputs.manifestPath).isDir()) {
        inputs.manifestPath += QStringLiteral("/sam3-package.json");
    }
    QFile manifestFile(inputs.manifestPath);
    if (!manifestFile.open(QIODevice::ReadOnly) || manifestFile.size() > MaximumManifestBytes) {
        throwInvalidArgument(QStringLiteral("Cannot open SAM3 bundle manifest."));
    }
    const QJsonObject manifest =
        QJsonDocument::fromJson(manifestFile.read(MaximumManifestBytes + 1)).object();
    if (manifest.value(QStringLiteral("model")) != QJsonValue(QStringLiteral("facebook/sam3")) ||
        manifest.value(QStringLiteral("id")) != QJsonValue(kind + QStringLiteral("-fp32"))) {
        throwInvalidArgument(QStringLiteral("SAM3 bundle profile does not match the requested task."));
    }
    readRasterOptions(request, bandCount, width, height, inputs.rasterOptions);
    inputs.sessionOptions.provider = taskProvider(request) == AiExecutionProvider::Cuda
                                         ? AiExecutionProvider::Cuda
                                         : AiExecutionProvider::Cpu;
    inputs.sessionOptions.intraOpThreads = task.intraOpThreads(8);
    return inputs;
}

AiSamGisOptions sam3TaskGisOptions(const TaskContext& task, const QString& kind,
                                   const Sam3TaskInputs& inputs) {
    AiSamGisOptions options;
    options.outputDirectory = task.workspaceFile(QStringLiteral("result"));
    options.hasWindow = inputs.rasterOptions.hasWindow;
    options.window = inputs.rasterOptions.window;
    options.execution.maximumHostBytes = 536870912;
    options.maximumOutputPixels = TaskPixelBudget;
    options.cancellationRequested = task.interruptionTest();
    options.provenance =
        QJsonObject{{QStringLiteral("task"), kind}, {QStringLiteral("review_required"), true}};
    return options;
}

QJsonObject sam3TaskResult(TaskContext& task, const QString& kind, const Sam3TaskInputs& inputs,
                           const AiSamGisResult& result, AiExecutionProvider provider) {
    task.reportStage(95, QStringLiteral("Validating SAM3 draft output"));
    if (!result.completed) {
        throwRuntimeError(QStringLiteral("SAM3 segmentation cancelled, timed out or incomplete."));
    }
    QFile manifestFile(result.manifestPath);
    const QJsonDocument parsed = manifestFile.open(QIODevice::ReadOnly)
                                     ? QJsonDocument::fromJson(manifestFile.readAll())
                                     : QJsonDocument();
    if (!parsed.isObject()) {
        throwRuntimeError(QStringLiteral("Cannot read SAM3 result manifest."));
    }
    const QJsonObject manifest = parsed.object();
    qint64 polygons = -1;
    {
        const Gdal::Dataset vector = Gdal::open(result.vectorPath, GDAL_OF_VECTOR | GDAL_OF_READONLY);
        OGRLayerH layer = vector ? GDALDatasetGetLayerByName(vector.get(), "instances") : nullptr;
        if (!layer) {
            throwRuntimeError(QStringLiteral("SAM3 vector output is incomplete."));
        }
        polygons = OGR_L_GetFeatureCount(layer, TRUE);
    }
    if (polygons != result.instances) {
        throwRuntimeError(QStringLiteral("SAM3 polygon count differs from instance output."));
    }
    const QJsonObject window = manifest.value(QStringLiteral("source_window")).toObject();
    return QJsonObject{
        {QStringLiteral("schemaVersion"), QStringLiteral("1.0")},
        {QStringLiteral("task"), kind},
        {QStringLiteral("rasterPath"), result.rasterPath},
        {QStringLiteral("vectorPath"), result.vectorPath},
        {QStringLiteral("manifestPath"), result.manifestPath},
        {QStringLiteral("sourceRasterPath"), inputs.rasterPath},
        {QStringLiteral("projectionWkt"), manifest.value(QStringLiteral("projection_wkt"))},
        {QStringLiteral("geoTransform"), manifest.value(QStringLiteral("geo_transform"))},
        {QStringLiteral("width"), window.value(QStringLiteral("width"))},
        {QStringLiteral("height"), window.value(QStringLiteral("height"))},
        {QStringLiteral("polygons"), polygons},
        {QStringLiteral("instances"), static_cast<qint64>(result.instances)},
        {QStringLiteral("foregroundPixels"), static_cast<qint64>(result.foregroundPixels)},
        {QStringLiteral("observations"), static_cast<qint64>(result.observations)},
        {QStringLiteral("mergedObservations"), static_cast<qint64>(result.mergedObservations)},
        {QStringLiteral("tiles"), static_cast<qint64>(result.tiles)},
        {QStringLiteral("provider"), aiExecutionProviderName(provider)},
        {QStringLiteral("elapsedMilliseconds"), task.elapsedMilliseconds()},
        {QStringLiteral("reviewRequired"), true},
        {QStringLiteral("resultState"), QStringLiteral("draft")},
        {QStringLiteral("provenance"), manifest.value(QStringLiteral("provenance"))},
    };
}

}  // namespace Tarnivale::AI::Tasks
