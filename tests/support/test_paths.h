#pragma once

// Where the generated test models live (the build tree; see tests/fixtures/make_models.py).

#include <QString>

namespace Tarnivale::AI::Testing {

/// Absolute path of a generated model, e.g. testModelPath("add_one.onnx").
QString testModelPath(const QString& fileName);

}  // namespace Tarnivale::AI::Testing
