// "sam3-tracker": the one object selected by points and an optional box, published as a draft GIS product
// (instances.tif, instances.gpkg, manifest.json) for review.

#include "runtime/errors.h"
#include "tasks/sam3_task_support.h"
#include "tasks/task_kinds.h"

#include <QJsonArray>

#include <cmath>

namespace Tarnivale::AI::Tasks {

namespace {

const QString Kind = QStringLiteral("sam3-tracker");

bool finiteNumber(const QJsonValue& value) {
    return value.isDouble() && std::isfinite(value.toDouble());
}

void checkRequest(QJsonObject& request) {
    const QJsonValue space = request.value(QStringLiteral("coordinateSpace"));
    if (!space.isUndefined() && space != QJsonValue(QStringLiteral("pixel")) &&
        space != QJsonValue(QStringLiteral("source-crs"))) {
        throwInvalidArgument(QStringLiteral("SAM3 coordinateSpace must be pixel or source-crs."));
    }
    if (request.contains(QStringLiteral("scoreThreshold"))) {
        throwInvalidArgument(
            QStringLiteral("Tracker mask selection uses model quality scores, not text scoreThreshold."));
    }
    qsizetype tokens = 0;
    bool positive = false;
    if (request.contains(QStringLiteral("points"))) {
        const QJsonValue points = request.value(QStringLiteral("points"));
        if (!points.isArray()) {
            throwInvalidArgument(QStringLiteral("SAM3 points must be an array."));
        }
        for (const QJsonValue& value : points.toArray()) {
            if (!value.isObject()) {
                throwInvalidArgument(QStringLiteral("SAM3 point must be an object."));
            }
            const QJsonObject point = value.toObject();
            const QJsonValue flag = point.value(QStringLiteral("positive"));
            if (!finiteNumber(point.value(QStringLiteral("x"))) ||
                !finiteNumber(point.value(QStringLiteral("y"))) || (!flag.isUndefined() && !flag.isBool())) {
                throwInvalidArgument(QStringLiteral("Invalid SAM3 point."));
            }
            positive = positive || flag.toBool(true);
            ++tokens;
        }
    }
    const bool hasBox = request.contains(QStringLiteral("box"));
    if (hasBox) {
        const QJsonValue box = request.value(QStringLiteral("box"));
        const QJsonArray corners = box.toArray();
        if (!box.isArray() || corners.size() != 4) {
            throwInvalidArgument(QStringLiteral("SAM3 box must be [minimumX,minimumY,maximumX,maximumY]."));
        }
        for (const QJsonValue& corner : corners) {
            if (!finiteNumber(corner)) {
                throwInvalidArgument(QStringLiteral("Invalid SAM3 box coordinate."));
            }
        }
        if (!(corners.at(2).toDouble() > corners.at(0).toDouble() &&
              corners.at(3).toDouble() > corners.at(1).toDouble())) {
            throwInvalidArgument(QStringLiteral("SAM3 box must have positive width and height."));
        }
        tokens += 2;
    }
    if (tokens > 64) {
        throwInvalidArgument(QStringLiteral("SAM3 accepts at most 64 prompt tokens."));
    }
    if (!positive && !hasBox) {
        throwInvalidArgument(QStringLiteral(
            "SAM3 tracker requires a positive point or a box; negative-only prompts are ambiguous."));
    }
}

QJsonObject run(TaskContext& task) {
    const Sam3::PolledMutex::Hold lock = takeSam3TaskLock(task);
    QJsonObject request = task.request();
    checkRequest(request);
    const Sam3TaskInputs inputs = sam3TaskInputs(task, Kind);
    return runSam3Pipeline(task, [&] {
        task.reportStage(2, QStringLiteral("Validating and loading SAM3 model"));
        const AiSamTrackerSession session(inputs.manifestPath, inputs.sessionOptions, 0, 16777216);
        task.checkpoint();
        task.reportStage(10, QStringLiteral("Segmenting the selected object"));
        AiSamTrackerRequest tracker;
        tracker.rasterPath = inputs.rasterPath;
        tracker.coordinateSpace =
            request.value(QStringLiteral("coordinateSpace")) == QJsonValue(QStringLiteral("pixel"))
                ? AiSamCoordinateSpace::WindowPixels
                : AiSamCoordinateSpace::SourceCrs;
        for (const QJsonValue& value : request.value(QStringLiteral("points")).toArray()) {
            const QJsonObject point = value.toObject();
            tracker.points.append({point.value(QStringLiteral("x")).toDouble(),
                                   point.value(QStringLiteral("y")).toDouble(),
                                   point.value(QStringLiteral("positive")).toBool(true)});
        }
        if (request.contains(QStringLiteral("box"))) {
            const QJsonArray box = request.value(QStringLiteral("box")).toArray();
            tracker.hasBox = true;
            tracker.box = {box.at(0).toDouble(), box.at(1).toDouble(), box.at(2).toDouble(),
                           box.at(3).toDouble()};
        }
        tracker.rasterOptions = inputs.rasterOptions;
        tracker.execution.maximumMilliseconds = std::max<qint64>(1, task.remainingMilliseconds());
        tracker.cancellationRequested = task.interruptionTest();
        const AiSamGisResult result = session.segmentToGis(tracker, sam3TaskGisOptions(task, Kind, inputs));
        return sam3TaskResult(task, Kind, inputs, result, inputs.sessionOptions.provider);
    });
}

}  // namespace

extern const TaskKind Sam3TrackerTask{"sam3-tracker", &checkRequest, &run};

}  // namespace Tarnivale::AI::Tasks
