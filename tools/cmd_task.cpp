// task: starts a built-in task, follows its progress, exports what was asked and releases it. Ctrl-C
// cancels the task, waits for it to stop and releases it, so that no workspace is left behind.

#include "cli_arguments.h"
#include "cli_errors.h"
#include "cli_estimate.h"
#include "cli_interrupt.h"
#include "cli_library.h"
#include "cli_output.h"
#include "commands.h"
#include "task_kinds.h"

#include <tarnivale/ai/interop.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <algorithm>
#include <iterator>

namespace Tarnivale::Cli {

const char* const TaskHelp =
    "Usage: tarnivale-ai task KIND --package DIR --raster IN.tif [options] [--json]\n"
    "\n"
    "Runs a built-in task (the kinds are listed below), shows its progress, exports its results and\n"
    "releases it.\n"
    "\n"
    "Options:\n"
    "  --request FILE.json        start from this task request (the options below override it)\n"
    "  --validity-mask MASK.tif   dynamic-world: single-band mask on the raster's grid, 0 = invalid\n"
    "  --threshold T              building kinds: probability threshold in (0, 1)\n"
    "  --text PROMPT              sam3-text: what to find (\"building\", \"swimming pool\")\n"
    "  --score-threshold T        sam3-text: keep objects scoring above T in [0, 1] (default 0.5)\n"
    "  --point X,Y[,neg]          sam3-tracker: a click (repeat the option); neg marks a background click\n"
    "  --box X0,Y0,X1,Y1          sam3-tracker: a box around the object\n"
    "  --coordinate-space S       sam3-tracker: pixel or source-crs (default source-crs)\n"
    "  --window X,Y,W,H           sam3 kinds: segment this pixel window only\n"
    "  --bands R,G,B              sam3 kinds: the raster's red, green and blue bands\n"
    "  --provider P               cpu, auto or cuda\n"
    "  --threads N                intra-operator threads (default: the kind's own, 4 for dynamic-world,\n"
    "                             8 for the sam3 kinds)\n"
    "  --deadline MS              give up after MS milliseconds (default 600000)\n"
    "  --export-geotiff OUT.tif   copy the task's raster result out (never overwrites)\n"
    "  --export-shapefile OUT.shp copy the task's polygons out as a Shapefile (never overwrites)\n"
    "  --export-preview OUT.tif   copy the task's colour preview out (never overwrites)\n"
    "  --export-polygons OUT.gpkg copy the task's polygon GeoPackage out (never overwrites)\n"
    "  --export-cog OUT.tif       write the task's raster result out as a Cloud-Optimised GeoTIFF\n"
    "                             (DEFLATE, overviews, provenance kept; never overwrites)\n"
    "  --estimate                 start nothing: print the tile count, the peak memory and the output size\n"
    "                             (dynamic-world, prue-fields, sen2sr-super-resolution)\n"
    "  --max-memory BYTES         refuse to start when the estimated peak memory is above BYTES\n"
    "                             (the kinds above; others fail to start with this option)\n"
    "\n"
    "With --json the result document is printed. Ctrl-C cancels the task cleanly (status 130).\n"
    "\n"
    "Kinds:\n";

namespace {

/// Exactly `count` comma-separated numbers of an option.
void addSam3Options(const Arguments& options, QJsonObject& request) {
    if (options.has(QStringLiteral("text"))) {
        request.insert(QStringLiteral("text"), options.value(QStringLiteral("text")));
    }
    if (options.has(QStringLiteral("score-threshold"))) {
        request.insert(QStringLiteral("scoreThreshold"),
                       parseNumbers(QStringLiteral("score-threshold"),
                                    options.value(QStringLiteral("score-threshold")), 1)[0]);
    }
    if (options.has(QStringLiteral("point"))) {
        QJsonArray points;
        for (QString point : options.values(QStringLiteral("point"))) {
            const bool negative = point.endsWith(QStringLiteral(",neg"));
            if (negative) {
                point.chop(4);
            }
            const QList<double> xy = parseNumbers(QStringLiteral("point"), point, 2);
            points.append(QJsonObject{{QStringLiteral("x"), xy[0]},
                                      {QStringLiteral("y"), xy[1]},
                                      {QStringLiteral("positive"), !negative}});
        }
        request.insert(QStringLiteral("points"), points);
    }
    if (options.has(QStringLiteral("box"))) {
        const QList<double> box =
            parseNumbers(QStringLiteral("box"), options.value(QStringLiteral("box")), 4);
        request.insert(QStringLiteral("box"), QJsonArray{box[0], box[1], box[2], box[3]});
    }
    if (options.has(QStringLiteral("coordinate-space"))) {
        request.insert(QStringLiteral("coordinateSpace"), options.value(QStringLiteral("coordinate-space")));
    }
    if (options.has(QStringLiteral("window"))) {
        const QList<double> w =
            parseNumbers(QStringLiteral("window"), options.value(QStringLiteral("window")), 4);
        request.insert(QStringLiteral("window"), QJsonObject{{QStringLiteral("x"), w[0]},
                                                             {QStringLiteral("y"), w[1]},
                                                             {QStringLiteral("width"), w[2]},
                                                             {QStringLiteral("height"), w[3]}});
    }
    if (options.has(QStringLiteral("bands"))) {
        QJsonArray bands;
        for (const int band : options.integers(QStringLiteral("bands"))) {
            bands.append(band);
        }
        request.insert(QStringLiteral("bands"), bands);
    }
}

QJsonObject requestFrom(const Arguments& options) {
    QJsonObject request;
    if (options.has(QStringLiteral("request"))) {
        QFile file(options.value(QStringLiteral("request")));
        if (!file.open(QIODevice::ReadOnly)) {
            throw Failure("Cannot read task request file: " + file.fileName().toStdString());
        }
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
        if (!document.isObject()) {
            throw Failure("Task request file is not a JSON object: " + file.fileName().toStdString());
        }
        request = document.object();
    }
    const QString kind = options.operands().front();
    request.insert(QStringLiteral("task"), kind);
    const auto path = [&](const char* option, const char* key) {
        if (options.has(QLatin1String(option))) {
            request.insert(QLatin1String(key),
                           QFileInfo(options.value(QLatin1String(option))).absoluteFilePath());
        }
    };
    path("package", "modelPackagePath");
    path("raster", "rasterPath");
    path("validity-mask", "validityMaskPath");
    if (!request.contains(QStringLiteral("modelPackagePath"))) {
        options.required(QStringLiteral("package"));
    }
    if (!request.contains(QStringLiteral("rasterPath"))) {
        options.required(QStringLiteral("raster"));
    }
    if (options.has(QStringLiteral("threshold"))) {
        bool ok = false;
        const double threshold = options.value(QStringLiteral("threshold")).toDouble(&ok);
        if (!ok) {
            throw UsageError("--threshold must be a number");
        }
        request.insert(QStringLiteral("threshold"), threshold);
    }
    if (options.has(QStringLiteral("provider"))) {
        request.insert(QStringLiteral("provider"), options.value(QStringLiteral("provider")));
    }
    addSam3Options(options, request);
    if (options.has(QStringLiteral("threads"))) {
        request.insert(QStringLiteral("intraOpThreads"), options.integer(QStringLiteral("threads"), 1, 64));
    }
    if (options.has(QStringLiteral("deadline"))) {
        request.insert(QStringLiteral("maximumMilliseconds"),
                       options.integer(QStringLiteral("deadline"), 1, 3600000));
    }
    return request;
}

// Releases the task whatever happens; the release waits for its worker and deletes its workspace.
class StartedTask {
public:
    explicit StartedTask(const QJsonObject& request) {
        m_id = TarnivaleAI_StartTaskUtf8(compact(request).constData());
        checkTaskCall(m_id != 0);
    }
    ~StartedTask() { TarnivaleAI_ReleaseTask(m_id); }
    StartedTask(const StartedTask&) = delete;
    StartedTask& operator=(const StartedTask&) = delete;
    std::uint64_t id() const { return m_id; }

private:
    std::uint64_t m_id = 0;
};

bool terminal(const QString& state) {
    return state == QLatin1String("completed") || state == QLatin1String("failed") ||
           state == QLatin1String("cancelled");
}

// Follows the task until it ends; a Ctrl-C cancels it once and keeps following it to its end.
QJsonObject follow(const StartedTask& task, bool& cancelledByUser) {
    ProgressLine progress;
    for (;;) {
        const QJsonObject status = takeTaskJson(TarnivaleAI_GetTaskStatusUtf8(task.id()));
        const QString state = status.value(QStringLiteral("state")).toString();
        progress.update(status.value(QStringLiteral("percent")).toInt(),
                        status.value(QStringLiteral("message")).toString(),
                        status.value(QStringLiteral("completedTiles")).toInt(),
                        status.value(QStringLiteral("totalTiles")).toInt());
        if (terminal(state)) {
            progress.finish();
            return status;
        }
        if (interrupted() && !cancelledByUser) {
            cancelledByUser = true;
            TarnivaleAI_CancelTask(task.id());
        }
        QThread::msleep(50);
    }
}

// Copies a workspace file out under a temporary name and renames it into place: never overwrites, never
// leaves half a file.
void copyOut(const QString& source, const QString& destination) {
    const QFileInfo target(destination);
    if (target.exists() || target.isSymLink()) {
        throw Failure("Export destination exists.");
    }
    const QString staging =
        target.absoluteDir().absoluteFilePath(QStringLiteral(".%1.part").arg(target.fileName()));
    QFile::remove(staging);
    if (!QFile::copy(source, staging) || !QFile::rename(staging, target.absoluteFilePath())) {
        QFile::remove(staging);
        throw Failure("Cannot copy " + source.toStdString() + " to " + destination.toStdString());
    }
}

QString exportResult(const StartedTask& task, const char* format, const QString& destination) {
    const QJsonObject request{{QStringLiteral("format"), QLatin1String(format)},
                              {QStringLiteral("path"), QFileInfo(destination).absoluteFilePath()}};
    const QJsonObject response =
        takeTaskJson(TarnivaleAI_ExportTaskResultUtf8(task.id(), compact(request).constData()));
    return response.value(QStringLiteral("path")).toString();
}

void printSummary(const QJsonObject& result) {
    const QString kind = result.value(QStringLiteral("task")).toString();
    printLine(QStringLiteral("Task %1 completed in %2 ms on %3: %4 x %5 pixels, %6 tiles.")
                  .arg(kind)
                  .arg(result.value(QStringLiteral("elapsedMilliseconds")).toInteger())
                  .arg(result.value(QStringLiteral("provider")).toString())
                  .arg(result.value(QStringLiteral("width")).toInt())
                  .arg(result.value(QStringLiteral("height")).toInt())
                  .arg(result.value(QStringLiteral("tiles")).toInt()));
    // The class names are the package's labels, as the result document gives them.
    const QJsonArray counts = result.value(QStringLiteral("classPixels")).toArray();
    const QJsonArray names = result.value(QStringLiteral("classNames")).toArray();
    for (qsizetype c = 0; c < counts.size(); ++c) {
        QString name = names.at(c).toString();
        if (name.isEmpty()) {
            name = QStringLiteral("class %1").arg(c);
        }
        printLine(QStringLiteral("  %1 %2 pixels").arg(name, -20).arg(counts.at(c).toInteger()));
    }
    if (result.value(QStringLiteral("reviewRequired")).toBool()) {
        printLine(QStringLiteral("Draft result: %1 instances, %2 foreground pixels; review before use.")
                      .arg(result.value(QStringLiteral("instances")).toInteger())
                      .arg(result.value(QStringLiteral("foregroundPixels")).toInteger()));
    }
    if (result.contains(QStringLiteral("polygons"))) {
        printLine(QStringLiteral("Polygons: %1").arg(result.value(QStringLiteral("polygons")).toInteger()));
    }
}

}  // namespace

int taskCommand(const QStringList& arguments) {
    if (helpRequested(arguments, TaskHelp)) {
        for (const TaskKindEntry& kind : TaskKinds) {
            printLine(QStringLiteral("  %1 %2")
                          .arg(QLatin1String(kind.name), -25)
                          .arg(QLatin1String(kind.summary)));
        }
        return 0;
    }
    const Arguments options(arguments,
                            {QStringLiteral("package"),
                             QStringLiteral("raster"),
                             QStringLiteral("request"),
                             QStringLiteral("validity-mask"),
                             QStringLiteral("threshold"),
                             QStringLiteral("provider"),
                             QStringLiteral("threads"),
                             QStringLiteral("deadline"),
                             QStringLiteral("export-geotiff"),
                             QStringLiteral("export-shapefile"),
                             QStringLiteral("export-preview"),
                             QStringLiteral("export-polygons"),
                             QStringLiteral("export-cog"),
                             QStringLiteral("text"),
                             QStringLiteral("score-threshold"),
                             QStringLiteral("point"),
                             QStringLiteral("box"),
                             QStringLiteral("coordinate-space"),
                             QStringLiteral("window"),
                             QStringLiteral("bands"),
                             QStringLiteral("max-memory")},
                            {QStringLiteral("estimate")});
    options.expectOperands(1);
    const QString kind = options.operands().front();
    if (std::none_of(std::begin(TaskKinds), std::end(TaskKinds),
                     [&](const TaskKindEntry& entry) { return kind == QLatin1String(entry.name); })) {
        throw UsageError("unknown task kind '" + kind.toStdString() + "' (see 'tarnivale-ai task --help')");
    }
    const QJsonObject request = requestFrom(options);
    const qint64 budget =
        options.has(QStringLiteral("max-memory")) ? options.byteCount(QStringLiteral("max-memory")) : 0;
    const bool estimateOnly = options.flag(QStringLiteral("estimate"));
    if (estimateOnly || budget > 0) {
        reportEstimate(takeTaskJson(TarnivaleAI_EstimateTaskUtf8(compact(request).constData())), budget,
                       options.flag(QStringLiteral("json")), estimateOnly);
        if (estimateOnly) {
            return 0;
        }
    }

    setInterruptMode(InterruptMode::Flag);
    const StartedTask task(request);
    bool cancelledByUser = false;
    const QJsonObject status = follow(task, cancelledByUser);
    if (cancelledByUser) {
        throw Interrupted();
    }
    if (status.value(QStringLiteral("state")).toString() != QLatin1String("completed")) {
        throw Failure(status.value(QStringLiteral("error")).toString().toStdString());
    }
    const QJsonObject result = takeTaskJson(TarnivaleAI_GetTaskResultUtf8(task.id()));
    QStringList exported;
    if (options.has(QStringLiteral("export-geotiff"))) {
        exported.append(exportResult(task, "geotiff", options.value(QStringLiteral("export-geotiff"))));
    }
    if (options.has(QStringLiteral("export-shapefile"))) {
        exported.append(exportResult(task, "shapefile", options.value(QStringLiteral("export-shapefile"))));
    }
    const auto copyResultFile = [&](const char* option, const char* key) {
        if (options.has(QLatin1String(option))) {
            const QString source = result.value(QLatin1String(key)).toString();
            if (source.isEmpty()) {
                throw Failure("This task does not expose the requested export format.");
            }
            const QString destination = QFileInfo(options.value(QLatin1String(option))).absoluteFilePath();
            copyOut(source, destination);
            exported.append(destination);
        }
    };
    if (options.has(QStringLiteral("export-cog"))) {
        const QString source = result.value(QStringLiteral("rasterPath")).toString();
        if (source.isEmpty()) {
            throw Failure("This task does not expose the requested export format.");
        }
        const std::u16string from = wide(source);
        const std::u16string to = wide(options.value(QStringLiteral("export-cog")));
        exported.append(takeJson(TarnivaleAI_CopyAsCloudOptimizedGeoTiff(from.c_str(), to.c_str()))
                            .value(QStringLiteral("outputPath"))
                            .toString());
    }
    copyResultFile("export-preview", "previewPath");
    copyResultFile("export-polygons", "vectorPath");
    if (options.flag(QStringLiteral("json"))) {
        printJson(result);
    } else {
        printSummary(result);
        for (const QString& path : exported) {
            printLine(QStringLiteral("Exported %1").arg(path));
        }
    }
    return 0;
}

}  // namespace Tarnivale::Cli
