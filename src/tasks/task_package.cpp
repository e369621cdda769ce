#include "tasks/task_package.h"

#include "raster/package_request.h"
#include "raster/run_estimate_json.h"
#include "runtime/errors.h"
#include "tasks/task_json.h"
#include "tasks/task_provider.h"

#include <exception>

namespace Tarnivale::AI::Tasks {

AiModelPackage openTaskPackage(const QString& directory, const ModelContract& contract,
                               const QString& contractMessage) {
    AiModelPackage package;
    try {
        package = AiModelPackage::open(directory);
    } catch (const std::exception&) {
        throwRuntimeError(QStringLiteral("Model package failed integrity validation."));
    }
    if (!package.validationErrors().isEmpty()) {
        throwRuntimeError(QStringLiteral("Model package failed integrity validation."));
    }
    if (!contract(package.manifest())) {
        throwRuntimeError(contractMessage);
    }
    return package;
}

AiRasterInferenceRequest taskInferenceRequest(const AiModelPackage& package, const QString& rasterPath,
                                              const TaskContext& task, std::int32_t defaultThreads) {
    AiRasterInferenceRequest request = packageInferenceRequest(package, rasterPath);
    request.sessionOptions.provider = taskProvider(task.request());
    request.sessionOptions.intraOpThreads = task.intraOpThreads(defaultThreads);
    request.sessionOptions.interOpThreads = 1;
    request.cancellationRequested = task.interruptionTest();
    return request;
}

QJsonObject executorEstimate(const QJsonObject& request, const SourceRasterRules& rules,
                             const ModelContract& contract, const QString& contractMessage) {
    const QString rasterPath = requiredTaskPath(request, "rasterPath");
    checkSourceRaster(rasterPath, rules);
    const AiModelPackage package =
        openTaskPackage(requiredTaskPath(request, "modelPackagePath"), contract, contractMessage);
    return runEstimateJson(AiRasterInferenceExecutor::estimate(packageInferenceRequest(package, rasterPath)));
}

}  // namespace Tarnivale::AI::Tasks
