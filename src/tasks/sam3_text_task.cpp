// "sam3-text": every object matching a text prompt over the raster or a window, tile by tile, published as
// a draft GIS product (instances.tif, instances.gpkg, manifest.json) for review.

#include "runtime/errors.h"
#include "sam3/sam3_text_session_impl.h"
#include "sam3/sam3_tokenizer.h"
#include "tasks/sam3_task_support.h"
#include "tasks/task_kinds.h"

#include <cmath>

namespace Tarnivale::AI::Tasks {

namespace {

const QString Kind = QStringLiteral("sam3-text");

void checkRequest(QJsonObject& request) {
    const QJsonValue text = request.value(QStringLiteral("text"));
    if (!text.isString() || text.toString().trimmed().isEmpty() || text.toString().size() > 4096) {
        throwInvalidArgument(
            QStringLiteral("SAM3 text requires a nonempty text prompt (up to 4096 characters)."));
    }
    if (request.contains(QStringLiteral("points")) || request.contains(QStringLiteral("box"))) {
        throwInvalidArgument(QStringLiteral(
            "Text mode uses window for a raster ROI; point/box prompts require sam3-tracker."));
    }
    if (request.contains(QStringLiteral("scoreThreshold"))) {
        const QJsonValue threshold = request.value(QStringLiteral("scoreThreshold"));
        if (!threshold.isDouble() || !std::isfinite(threshold.toDouble()) || threshold.toDouble() < 0.0 ||
            threshold.toDouble() > 1.0) {
            throwInvalidArgument(QStringLiteral("Invalid SAM3 score threshold."));
        }
    }
}

QJsonObject run(TaskContext& task) {
    const Sam3::PolledMutex::Hold lock = takeSam3TaskLock(task);
    QJsonObject request = task.request();
    checkRequest(request);
    const Sam3TaskInputs inputs = sam3TaskInputs(task, Kind);
    return runSam3Pipeline(task, [&] {
        task.reportStage(2, QStringLiteral("Validating and loading SAM3 model"));
        const Sam3::TokenizerPins& pins = Sam3::taskTokenizerPins();
        const AiSamTextSession session =
            SamTextSessionFactory::open(inputs.manifestPath, inputs.sessionOptions, 0, 16777216,
                                        pins.tokenizerSha256, pins.processorSha256);
        task.checkpoint();
        AiSamTiledRequest tiled;
        tiled.rasterPath = inputs.rasterPath;
        tiled.prompt = request.value(QStringLiteral("text")).toString();
        tiled.scoreThreshold = request.value(QStringLiteral("scoreThreshold")).toDouble(tiled.scoreThreshold);
        tiled.maximumTiles = 4096;
        tiled.maximumTotalInstances = 100000;
        tiled.rasterOptions = inputs.rasterOptions;
        tiled.execution.maximumMilliseconds = std::max<qint64>(1, task.remainingMilliseconds());
        tiled.cancellationRequested = task.interruptionTest();
        const AiSamGisResult result = session.segmentToGis(tiled, sam3TaskGisOptions(task, Kind, inputs),
                                                           task.inferenceProgress(88, 5));
        return sam3TaskResult(task, Kind, inputs, result, inputs.sessionOptions.provider);
    });
}

}  // namespace

extern const TaskKind Sam3TextTask{"sam3-text", &checkRequest, &run};

}  // namespace Tarnivale::AI::Tasks
