#pragma once

#include <tarnivale/ai/models.h>

namespace Tarnivale::AI::Testing {

/// A valid schema 1.1 segmentation manifest with every field set (model path "model.onnx").
AiModelManifest fullManifest();

/// The smallest valid schema 1.0 manifest for the given model path.
AiModelManifest minimalManifest(const QString& modelPath = QStringLiteral("model.onnx"));

}  // namespace Tarnivale::AI::Testing
