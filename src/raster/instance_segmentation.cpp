#include <tarnivale/ai/raster.h>

#include "raster/package_request.h"
#include "runtime/errors.h"

#include <QElapsedTimer>

#include <algorithm>

namespace Tarnivale::AI {

namespace {

const AiOutputDecoderSpec& decoderWithId(const AiModelManifest& manifest, const QString& id) {
    const auto found = std::find_if(manifest.outputDecoders.begin(), manifest.outputDecoders.end(),
                                    [&](const AiOutputDecoderSpec& decoder) { return decoder.id == id; });
    if (found == manifest.outputDecoders.end()) {
        throwInvalidArgument(QStringLiteral("Manifest output decoder was not found: %1").arg(id));
    }
    return *found;
}

/// A decoded raster viewed as a [1, 1, height, width] Float32 tensor.
AiTensor decodedBand(const QList<AiDecodedRasterOutput>& outputs, const QString& id) {
    const auto found = std::find_if(outputs.begin(), outputs.end(),
                                    [&](const AiDecodedRasterOutput& output) { return output.id == id; });
    if (found == outputs.end()) {
        throwInvalidArgument(QStringLiteral("Decoded raster output was not produced: %1").arg(id));
    }
    const AiRasterInferenceResult& raster = found->result;
    if (raster.bandCount != 1 || raster.dataType != AiTensorDataType::Float32 ||
        raster.data.size() != qsizetype{raster.width} * raster.height * 4) {
        throwInvalidArgument(
            QStringLiteral("Instance-separation decoder outputs must be single-band Float32 rasters."));
    }
    AiTensor tensor;
    tensor.name = id;
    tensor.shape = {1, 1, raster.height, raster.width};
    tensor.data = raster.data;
    return tensor;
}

}  // namespace

AiInstanceSegmentationResult AiInstanceSegmentationExecutor::run(const AiInstanceSegmentationRequest& request,
                                                                 const AiRasterProgressCallback& progress) {
    if (request.packagePath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI model package path is required."));
    }
    if (request.rasterPath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI raster path is required."));
    }
    const AiModelPackage package = AiModelPackage::open(request.packagePath);
    const QList<QString> errors = package.validationErrors();
    if (!errors.isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI model package is invalid: %1")
                                 .arg(joinMessages(errors, QStringLiteral("; "))));
    }
    const AiModelManifest& manifest = package.manifest();
    const auto materialization = std::find_if(
        manifest.materializations.begin(), manifest.materializations.end(), [](const auto& spec) {
            return !spec.options.value(QStringLiteral("instanceSeparation")).toString().trimmed().isEmpty();
        });
    if (materialization == manifest.materializations.end()) {
        throwInvalidArgument(
            QStringLiteral("Manifest does not define an instance-separation materialization."));
    }
    const AiVariantMap& parameters = materialization->options;
    const QString foregroundId = parameters.value(QStringLiteral("instanceSeparation")).toString().trimmed();
    const QString boundaryId = parameters.value(QStringLiteral("boundaryDecoderId")).toString();
    const QString distanceId = parameters.value(QStringLiteral("distanceDecoderId")).toString();
    QList<AiOutputDecoderSpec> decoders{decoderWithId(manifest, foregroundId)};
    if (!boundaryId.isEmpty()) {
        decoders.append(decoderWithId(manifest, boundaryId));
    }
    if (!distanceId.isEmpty()) {
        decoders.append(decoderWithId(manifest, distanceId));
    }

    AiRasterInferenceRequest inference;
    inference.modelPath = package.modelPath();
    inference.modelSha256 = validatedModelSha256(package);
    inference.modelId = manifest.id;
    inference.modelVersion = manifest.version;
    inference.modelRevision = manifest.provenance.revision;
    inference.rasterPath = request.rasterPath;
    inference.tiling = manifest.tiling;
    inference.normalization = manifest.normalization;
    if (!manifest.inputAdapters.isEmpty()) {
        inference.inputName = manifest.inputAdapters.front().tensor;
        inference.bands = manifest.inputAdapters.front().bands;
    }
    inference.sessionOptions = request.sessionOptions;
    inference.operationContext = request.operationContext;
    // The run control's deadline and cancellation end the run as a cancellation, like the host's.
    QElapsedTimer clock;
    clock.start();
    const AiRunControl control = request.runControl;
    inference.cancellationRequested = [control, clock] {
        return (control.deadlineMilliseconds > 0 && clock.elapsed() >= control.deadlineMilliseconds) ||
               (control.cancellationRequested && control.cancellationRequested());
    };

    AiInstanceSegmentationResult result;
    result.decodedOutputs = AiRasterInferenceExecutor::runDecodedOutputs(inference, decoders, progress);
    if (result.decodedOutputs.isEmpty() || result.decodedOutputs.first().result.cancelled) {
        if (!result.decodedOutputs.isEmpty()) {
            result.raster = result.decodedOutputs.first().result;
        }
        return result;
    }
    const AiTensor foreground = decodedBand(result.decodedOutputs, foregroundId);
    const AiTensor boundary =
        boundaryId.isEmpty() ? AiTensor{} : decodedBand(result.decodedOutputs, boundaryId);
    const AiTensor distance =
        distanceId.isEmpty() ? AiTensor{} : decodedBand(result.decodedOutputs, distanceId);

    AiInstanceSeparationOptions options;
    options.foregroundThreshold =
        parameters.value(QStringLiteral("foregroundThreshold"), decoders.first().threshold).toDouble();
    if (!boundaryId.isEmpty()) {
        options.boundaryThreshold =
            parameters.value(QStringLiteral("boundaryThreshold"), decoders.at(1).threshold).toDouble();
    }
    options.seedThreshold = parameters.value(QStringLiteral("seedThreshold"), 0.0).toDouble();
    options.minimumRegionPixels = parameters.value(QStringLiteral("minimumRegionPixels"), 1).toInt();
    options.connectivity = parameters.value(QStringLiteral("connectivity"), 8).toInt();
    const AiInstanceSeparationResult separated =
        AiInstanceSeparator::separate(foreground, boundaryId.isEmpty() ? nullptr : &boundary,
                                      distanceId.isEmpty() ? nullptr : &distance, options);

    result.raster = result.decodedOutputs.first().result;
    result.raster.bandCount = 1;
    result.raster.dataType = AiTensorDataType::Int32;
    result.raster.data = separated.instances.data;
    result.instanceCount = separated.instanceCount;
    return result;
}

}  // namespace Tarnivale::AI
