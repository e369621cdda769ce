#include <tarnivale/ai/detection.h>
#include <tarnivale/ai/raster.h>

#include "detection/detection_heads.h"
#include "runtime/errors.h"

namespace Tarnivale::AI {

namespace {

QString roleOf(const AiOutputDecoderSpec& decoder) {
    return decoder.options.value(QStringLiteral("role")).toString().trimmed().toLower();
}

/// The one output decoder whose "role" option is `role`.
const AiOutputDecoderSpec& decoderWithRole(const AiModelManifest& manifest, const QString& role) {
    const AiOutputDecoderSpec* found = nullptr;
    for (const AiOutputDecoderSpec& decoder : manifest.outputDecoders) {
        if (roleOf(decoder) != role) {
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

DetectionHeads detectionHeads(const AiModelManifest& manifest) {
    DetectionHeads heads;
    heads.boxes = &decoderWithRole(manifest, QStringLiteral("boxes"));
    heads.scores = &decoderWithRole(manifest, QStringLiteral("scores"));
    heads.classes = &decoderWithRole(manifest, QStringLiteral("classes"));
    heads.options.scoreThreshold = heads.scores->threshold;
    applyOverrides(heads.boxes->options, heads.options);
    applyOverrides(heads.scores->options, heads.options);
    applyOverrides(heads.classes->options, heads.options);
    return heads;
}

void overrideThresholds(AiModelManifest& manifest, const AiRasterObjectDetectionRequest& request) {
    for (AiOutputDecoderSpec& decoder : manifest.outputDecoders) {
        if (roleOf(decoder) != QLatin1String("classes")) {
            continue;
        }
        if (request.scoreThreshold) {
            decoder.options.insert(QStringLiteral("scoreThreshold"), *request.scoreThreshold);
        }
        if (request.nmsThreshold) {
            decoder.options.insert(QStringLiteral("nmsThreshold"), *request.nmsThreshold);
        }
    }
}

void setImageSize(AiModelManifest& manifest, std::int32_t width, std::int32_t height) {
    for (AiOutputDecoderSpec& decoder : manifest.outputDecoders) {
        const QString role = roleOf(decoder);
        if (role != QLatin1String("boxes") && role != QLatin1String("scores") &&
            role != QLatin1String("classes")) {
            continue;
        }
        if (!decoder.options.contains(QStringLiteral("imageWidth"))) {
            decoder.options.insert(QStringLiteral("imageWidth"), width);
        }
        if (!decoder.options.contains(QStringLiteral("imageHeight"))) {
            decoder.options.insert(QStringLiteral("imageHeight"), height);
        }
    }
}

AiObjectDetectionResult AiObjectDetectionExecutor::decode(const AiModelManifest& manifest,
                                                          const AiInferenceResult& result) {
    if (manifest.task != AiTaskKind::ObjectDetection) {
        throwInvalidArgument(QStringLiteral("AI manifest task must be object_detection."));
    }
    const DetectionHeads heads = detectionHeads(manifest);
    const AiTensor& boxTensor = outputNamed(result, heads.boxes->tensor);
    const AiTensor& classTensor = outputNamed(result, heads.classes->tensor);
    const AiTensor& scoreTensor = outputNamed(result, heads.scores->tensor);
    const AiOutputDecoderSpec& scores = *heads.scores;
    const QString activation = scores.activation.trimmed().toLower();
    const bool raw = (activation == QLatin1String("none") || activation == QLatin1String("identity")) &&
                     !scores.options.contains(QStringLiteral("channel")) &&
                     !scores.options.contains(QStringLiteral("classIndex"));
    const AiTensor prepared = raw ? scoreTensor : AiOutputDecoder::decode(scoreTensor, scores);

    AiObjectDetectionResult detected;
    detected.detections =
        AiObjectDetectionDecoder::decode(boxTensor, prepared, classTensor, heads.options, manifest.labels);
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
