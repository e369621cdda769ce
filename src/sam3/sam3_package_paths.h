#pragma once

// Turns a manifest-relative path of a SAM3 bundle into a canonical file inside the bundle, refusing anything
// that could leave it (parent segments, absolute or drive paths, symbolic links pointing outside).

#include <QString>

namespace Tarnivale::AI::Sam3 {

/// The canonical absolute path of `relativePath` under `rootDirectory` (itself canonical); throws
/// std::invalid_argument with "Unsafe SAM3 package path: %1" or "SAM3 file is missing or escapes the
/// package: %1", %1 being the path as given.
QString resolvePackagePath(const QString& rootDirectory, const QString& relativePath);

}  // namespace Tarnivale::AI::Sam3
