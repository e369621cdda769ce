#include <tarnivale/ai/detection.h>
#include <tarnivale/ai/raster.h>

#include "runtime/errors.h"

namespace Tarnivale::AI {

namespace {

/// The one output decoder whose "role" option is `role`.
const AiOutputDecoderSpec& decoderWithRole(const AiModelManifest& manifest, const QString& role) {
    const AiOutputDecoderSpec* found = nullptr;
    for (const AiOutputDecoderSpec& decoder : manifest.outputDecoders) {
        if (decoder.options.value(QStringLiteral("role")).toString().trimmed().toLower() != role) {
            continue;
        }
        if (found) {
            throwInvalidArgument(
                QStringLiteral("Object-detection output role '%1' is duplicated.").arg(role));
        }
        found = &decoder;
    }
    if (!found) {
        throwInvalidArgument(QStringLiteral("Object-detection output role '%1' is missing.").arg(role));
    }
    return *found;
}

const AiTensor& outputNamed(const AiInferenceResult& result, const QString& name) {
    for (const AiTensor& output : result.outputs) {
        if (output.name == name) {
            return output;
        }
    }
    throwRuntimeError(QStringLiteral("Inference output tensor was not produced: %1").arg(name));
}

/// Overrides the options with the keys a decoder's options map holds.
void applyOverrides(const AiVariantMap& map, AiObjectDetectionOptions& options) {
    const auto has = [&map](const char* key) { return map.contains(QLatin1String(key)); };
    const auto value = [&map](const char* key) { return map.value(QLatin1String(key)); };
    if (has("boxFormat")) {
        options.boxFormat = value("boxFormat").toString();
    }
    if (has("scoreThreshold")) {
        options.scoreThreshold = value("scoreThreshold").toDouble();
    }
    if (has("nmsThreshold")) {
        options.nmsThreshold = value("nmsThreshold").toDouble();
    }
    if (has("maximumDetections")) {
        options.maximumDetections = value("maximumDetections").toInt();
    }
    if (has("imageWidth")) {
        options.imageWidth = value("imageWidth").toInt();
    }
    if (has("imageHeight")) {
        options.imageHeight = value("imageHeight").toInt();
    }
    if (has("normalizedCoordinates")) {
        options.normalizedCoordinates = value("normalizedCoordinates").toBool();
    }
    if (has("classAgnosticNms")) {
        options.classAgnosticNms = value("classAgnosticNms").toBool();
    }
}

}  // namespace

AiObjectDetectionResult AiObjectDetectionExecutor::decode(const AiModelManifest& manifest,
                                                          const AiInferenceResult& result) {
    if (manifest.task != AiTaskKind::ObjectDetection) {
        throwInvalidArgument(QStringLiteral("AI manifest task must be object_detection."));
    }
    const AiOutputDecoderSpec& boxes = decoderWithRole(manifest, QStringLiteral("boxes"));
    const AiOutputDecoderSpec& scores = decoderWithRole(manifest, QStringLiteral("scores"));
    const AiOutputDecoderSpec& classes = decoderWithRole(manifest, QStringLiteral("classes"));
    const AiTensor& boxTensor = outputNamed(result, boxes.tensor);
    const AiTensor& classTensor = outputNamed(result, classes.tensor);
    const AiTensor& scoreTensor = outputNamed(result, scores.tensor);
    const QString activation = scores.activation.trimmed().toLower();
    const bool raw = (activation == QLatin1String("none") || activation == QLatin1String("identity")) &&
                     !scores.options.contains(QStringLiteral("channel")) &&
                     !scores.options.contains(QStringLiteral("classIndex"));
    const AiTensor prepared = raw ? scoreTensor : AiOutputDecoder::decode(scoreTensor, scores);

    AiObjectDetectionOptions options;
    options.scoreThreshold = scores.threshold;
    applyOverrides(boxes.options, options);
    applyOverrides(scores.options, options);
    applyOverrides(classes.options, options);

    AiObjectDetectionResult detected;
    detected.detections =
        AiObjectDetectionDecoder::decode(boxTensor, prepared, classTensor, options, manifest.labels);
    detected.provider = result.provider;
    detected.elapsedMilliseconds = result.elapsedMilliseconds;
    return detected;
}

AiObjectDetectionResult AiObjectDetectionExecutor::run(const QString& packagePath,
                                                       const QList<AiTensor>& inputs,
                                                       const AiSessionOptions& sessionOptions) {
    if (packagePath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI model package path is required."));
    }
    const AiModelPackage package = AiModelPackage::open(packagePath);
    const QList<QString> errors = package.validationErrors();
    if (!errors.isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI model package is invalid: %1")
                                 .arg(joinMessages(errors, QStringLiteral("; "))));
    }
    const AiSession session(package.modelPath(), sessionOptions);
    return decode(package.manifest(), session.run(inputs));
}

}  // namespace Tarnivale::AI
