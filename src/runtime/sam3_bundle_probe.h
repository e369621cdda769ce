#pragma once

#include <QString>

namespace Tarnivale::AI {

/// True when the model file is a graph named by the SAM3 bundle manifest beside it. Such graphs run
/// without graph optimisation. Any problem reading the manifest simply answers false.
bool isSam3BundleGraph(const QString& modelPath) noexcept;

}  // namespace Tarnivale::AI
