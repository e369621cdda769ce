#include <tarnivale/ai/models.h>

namespace Tarnivale::AI {

namespace {

bool hasTensorNamed(const QList<AiTensorSpec>& tensors, const QString& name) {
    for (const AiTensorSpec& tensor : tensors) {
        if (tensor.name == name) {
            return true;
        }
    }
    return false;
}

void checkTensors(const QList<AiTensorSpec>& tensors, const QString& role, QList<QString>& errors) {
    for (qsizetype i = 0; i < tensors.size(); ++i) {
        const AiTensorSpec& tensor = tensors[i];
        if (tensor.name.trimmed().isEmpty()) {
            errors.append(QStringLiteral("%1 tensor %2 has no name.").arg(role).arg(i));
        }
        if (tensor.shape.isEmpty()) {
            errors.append(QStringLiteral("%1 tensor '%2' has no shape.").arg(role, tensor.name));
        }
        for (const std::int64_t dimension : tensor.shape) {
            // -1 marks a dynamic dimension; every positive value is a fixed one.
            if (dimension == 0 || dimension < -1) {
                errors.append(
                    QStringLiteral("%1 tensor '%2' contains an invalid dimension.").arg(role, tensor.name));
            }
        }
    }
}

}  // namespace

QList<QString> AiModelManifest::validationErrors() const {
    QList<QString> errors;

    bool majorOk = false;
    const int major = schemaVersion.split(QLatin1Char('.')).value(0).toInt(&majorOk, 10);
    if (!majorOk || major != 1) {
        errors.append(
            QStringLiteral("Unsupported AI model manifest schemaVersion '%1'; supported major version is 1.")
                .arg(schemaVersion));
    }
    if (id.trimmed().isEmpty()) {
        errors.append(QStringLiteral("Model id is required."));
    }
    if (version.trimmed().isEmpty()) {
        errors.append(QStringLiteral("Model version is required."));
    }
    if (modelPath.trimmed().isEmpty()) {
        errors.append(QStringLiteral("Model path is required."));
    }
    if (inputs.isEmpty()) {
        errors.append(QStringLiteral("At least one input tensor is required."));
    }
    if (outputs.isEmpty()) {
        errors.append(QStringLiteral("At least one output tensor is required."));
    }
    if (!(tiling.width >= 1 && tiling.height >= 1)) {
        errors.append(QStringLiteral("Tile width and height must be positive."));
    }
    if (!(tiling.overlapX >= 0 && tiling.overlapX < tiling.width && tiling.overlapY >= 0 &&
          tiling.overlapY < tiling.height)) {
        errors.append(QStringLiteral("Tile overlap must be non-negative and smaller than the tile size."));
    }
    checkTensors(inputs, QStringLiteral("Input"), errors);
    checkTensors(outputs, QStringLiteral("Output"), errors);

    if (schemaVersion != QLatin1String("1.0")) {
        if (task == AiTaskKind::Unspecified) {
            errors.append(QStringLiteral("Task is required for manifest schema 1.1 and later."));
        }
        if (inputAdapters.isEmpty()) {
            errors.append(
                QStringLiteral("At least one input adapter is required for manifest schema 1.1 and later."));
        }
        if (outputDecoders.isEmpty()) {
            errors.append(
                QStringLiteral("At least one output decoder is required for manifest schema 1.1 and later."));
        }
    }

    for (const AiInputAdapterSpec& adapter : inputAdapters) {
        if (!hasTensorNamed(inputs, adapter.tensor)) {
            errors.append(
                QStringLiteral("Input adapter references unknown tensor '%1'.").arg(adapter.tensor));
        }
        if (adapter.source.trimmed().isEmpty()) {
            errors.append(QStringLiteral("Input adapter for '%1' requires a source.").arg(adapter.tensor));
        }
        for (const std::int32_t band : adapter.bands) {
            if (band <= 0) {
                errors.append(QStringLiteral("Input adapter bands are one-based and must be positive."));
            }
        }
    }

    QList<QString> decoderIds;
    for (const AiOutputDecoderSpec& decoder : outputDecoders) {
        if (decoder.id.trimmed().isEmpty()) {
            errors.append(QStringLiteral("Output decoder id is required."));
        } else if (decoderIds.contains(decoder.id)) {
            errors.append(QStringLiteral("Output decoder id '%1' is duplicated.").arg(decoder.id));
        } else {
            decoderIds.append(decoder.id);
        }
        if (!hasTensorNamed(outputs, decoder.tensor)) {
            errors.append(QStringLiteral("Output decoder '%1' references unknown tensor '%2'.")
                              .arg(decoder.id, decoder.tensor));
        }
        if (decoder.activation.trimmed().isEmpty()) {
            errors.append(
                QStringLiteral("Output decoder '%1' requires an explicit activation.").arg(decoder.id));
        }
        if (decoder.threshold < 0.0 || decoder.threshold > 1.0) {
            errors.append(
                QStringLiteral("Output decoder '%1' threshold must be between 0 and 1.").arg(decoder.id));
        }
    }

    if (task == AiTaskKind::ObjectDetection) {
        for (const char* role : {"boxes", "scores", "classes"}) {
            int count = 0;
            for (const AiOutputDecoderSpec& decoder : outputDecoders) {
                if (decoder.options.value(QStringLiteral("role")).toString().trimmed().toLower() ==
                    QLatin1String(role)) {
                    ++count;
                }
            }
            if (count == 0) {
                errors.append(QStringLiteral("Object-detection output role '%1' is required.")
                                  .arg(QLatin1String(role)));
            } else if (count >= 2) {
                errors.append(QStringLiteral("Object-detection output role '%1' must be unique.")
                                  .arg(QLatin1String(role)));
            }
        }
    }

    for (const AiMaterializationSpec& materialization : materializations) {
        if (!decoderIds.contains(materialization.decoder)) {
            errors.append(QStringLiteral("Materialization references unknown decoder '%1'.")
                              .arg(materialization.decoder));
        }
    }

    if (!normalization.mean.isEmpty() && !normalization.standardDeviation.isEmpty() &&
        normalization.mean.size() != normalization.standardDeviation.size()) {
        errors.append(QStringLiteral("Normalization mean and standard deviation sizes must match."));
    }
    for (const double deviation : normalization.standardDeviation) {
        if (deviation == 0.0) {
            errors.append(QStringLiteral("Normalization standard deviation cannot be zero."));
        }
    }
    return errors;
}

bool AiModelManifest::isValid() const {
    return validationErrors().isEmpty();
}

}  // namespace Tarnivale::AI
