#pragma once

// What the index reader, the signer, the installer and the flat functions share about registry entries:
// version texts, the entry rules and the entry's JSON object.

#include <tarnivale/ai/models.h>

#include <QJsonObject>
#include <QVersionNumber>

namespace Tarnivale::AI {

/// The version's leading numeric segments without trailing zeros (1.0 and 1.0.0 compare equal); a text
/// without a leading number throws "Invalid semantic version: %1".
QVersionNumber registryVersion(const QString& text);

/// The first broken rule of the entry as an invalid-argument exception.
void validateRegistryEntry(const AiModelRegistryEntry& entry);

/// The eight string keys (a missing or non-string key reads as empty); the SHA-256 is lower-cased.
AiModelRegistryEntry registryEntryFromJson(const QJsonObject& object);
/// All eight keys.
QJsonObject registryEntryToJson(const AiModelRegistryEntry& entry);

}  // namespace Tarnivale::AI
