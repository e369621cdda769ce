#include <tarnivale/ai/models.h>

namespace Tarnivale::AI {

namespace {

// Same rank, and equal wherever both sides are fixed: a zero or negative dimension matches anything.
bool shapesMatch(const QList<std::int64_t>& declared, const QList<std::int64_t>& actual) {
    if (declared.size() != actual.size()) {
        return false;
    }
    for (qsizetype i = 0; i < declared.size(); ++i) {
        if (declared[i] > 0 && actual[i] > 0 && declared[i] != actual[i]) {
            return false;
        }
    }
    return true;
}

void compareTensors(const QList<AiTensorSpec>& declared, const QList<AiTensorSpec>& actual,
                    const QString& role, AiCompatibilityReport& report) {
    for (const AiTensorSpec& tensor : declared) {
        const AiTensorSpec* match = nullptr;
        for (const AiTensorSpec& candidate : actual) {
            if (candidate.name == tensor.name) {
                match = &candidate;
                break;
            }
        }
        if (match == nullptr) {
            report.errors.append(QStringLiteral("Declared %1 tensor '%2' was not found in the ONNX model.")
                                     .arg(role, tensor.name));
            continue;
        }
        if (tensor.dataType != match->dataType) {
            report.errors.append(QStringLiteral("%1 tensor '%2' data type does not match the ONNX model.")
                                     .arg(role, tensor.name));
        }
        if (!shapesMatch(tensor.shape, match->shape)) {
            report.errors.append(
                QStringLiteral("%1 tensor '%2' shape does not match the ONNX model.").arg(role, tensor.name));
        }
        if (tensor.layout == AiTensorLayout::Unknown && tensor.shape.size() == 4) {
            report.requiredConfiguration.append(
                QStringLiteral("Tensor layout for %1 '%2'.").arg(role, tensor.name));
        }
    }
}

}  // namespace

QString aiCompatibilityStatusName(AiCompatibilityStatus status) {
    switch (status) {
        case AiCompatibilityStatus::Compatible:
            return QStringLiteral("Compatible");
        case AiCompatibilityStatus::CompatibleWithWarnings:
            return QStringLiteral("CompatibleWithWarnings");
        case AiCompatibilityStatus::ConfigurationRequired:
            return QStringLiteral("ConfigurationRequired");
        case AiCompatibilityStatus::Unsupported:
            break;
    }
    return QStringLiteral("Unsupported");
}

AiCompatibilityReport AiCompatibilityChecker::check(const AiModelManifest& manifest,
                                                    const AiModelInspection& inspection) {
    AiCompatibilityReport report;
    report.errors = manifest.validationErrors();
    if (!inspection.error.isEmpty()) {
        report.errors.append(inspection.error);
    }
    report.warnings = inspection.warnings;
    if (report.errors.isEmpty()) {
        compareTensors(manifest.inputs, inspection.inputs, QStringLiteral("input"), report);
        compareTensors(manifest.outputs, inspection.outputs, QStringLiteral("output"), report);
    }
    if (manifest.normalization.mean.isEmpty() || manifest.normalization.standardDeviation.isEmpty()) {
        report.requiredConfiguration.append(
            QStringLiteral("Input normalization mean and standard deviation."));
    }
    if (manifest.labels.isEmpty()) {
        report.warnings.append(
            QStringLiteral("No class labels are defined; this is acceptable for non-classification models."));
    }
    if (!report.errors.isEmpty()) {
        report.status = AiCompatibilityStatus::Unsupported;
    } else if (!report.requiredConfiguration.isEmpty()) {
        report.status = AiCompatibilityStatus::ConfigurationRequired;
    } else if (!report.warnings.isEmpty()) {
        report.status = AiCompatibilityStatus::CompatibleWithWarnings;
    } else {
        report.status = AiCompatibilityStatus::Compatible;
    }
    return report;
}

}  // namespace Tarnivale::AI
