#pragma once

// Publishing a finished file or directory under its final name: a rename that never replaces what is there.

#include <QString>

namespace Tarnivale::AI {

enum class PublishOutcome { Published, DestinationExists, Failed };

/// True when something (even a dangling symbolic link) exists at `path`.
bool pathOccupied(const QString& path);

/// Renames `from` to `to` without replacing a destination that appeared meanwhile (RENAME_NOREPLACE; on file
/// systems without it, a plain rename right after checking that the destination is free).
PublishOutcome publishWithoutReplacing(const QString& from, const QString& to);

}  // namespace Tarnivale::AI
