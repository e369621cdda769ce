#include <tarnivale/ai/models.h>

#include "runtime/errors.h"
#include "runtime/sha256.h"

namespace Tarnivale::AI {

AiModelInspection AiModelInspector::inspect(const QString& modelPath) {
    AiModelInspection inspection;
    try {
        inspection.modelPath = modelPath;
        inspection.availableProviders = AiSession::availableProviders();
        const Sha256FileResult digest = sha256File(modelPath);
        if (digest.error == Sha256FileError::Open) {
            throwRuntimeError(QStringLiteral("Could not read AI model file: %1").arg(modelPath));
        }
        if (digest.error == Sha256FileError::Read) {
            throwRuntimeError(QStringLiteral("Could not hash AI model file: %1").arg(modelPath));
        }
        inspection.modelSha256 = digest.hex;

        AiSessionOptions options;
        options.provider = AiExecutionProvider::Cpu;
        const AiSession session(modelPath, options);
        inspection.inputs = session.inputs();
        inspection.outputs = session.outputs();

        if (inspection.inputs.isEmpty()) {
            inspection.warnings.append(QStringLiteral("The model declares no inputs."));
        }
        if (inspection.outputs.isEmpty()) {
            inspection.warnings.append(QStringLiteral("The model declares no outputs."));
        }
        for (const AiTensorSpec& input : inspection.inputs) {
            if (input.layout == AiTensorLayout::Unknown && input.shape.size() == 4) {
                inspection.warnings.append(
                    QStringLiteral(
                        "Input '%1' has a rank-4 shape but its tensor layout cannot be inferred safely.")
                        .arg(input.name));
            }
        }
    } catch (const std::exception& error) {
        inspection.error = QString::fromUtf8(error.what());
    }
    return inspection;
}

}  // namespace Tarnivale::AI
