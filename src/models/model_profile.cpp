// A model profile's rules: the profile's own fields, then its manifest's.

#include <tarnivale/ai/models.h>

#include "models/lower_hex.h"

namespace Tarnivale::AI {

QString aiModelProfileSourceName(AiModelProfileSource source) {
    switch (source) {
        case AiModelProfileSource::TarnivaleVerified:
            return QStringLiteral("TarnivaleVerified");
        case AiModelProfileSource::OfficialAdapter:
            return QStringLiteral("OfficialAdapter");
        case AiModelProfileSource::Custom:
            break;
    }
    return QStringLiteral("Custom");
}

QList<QString> AiModelProfile::validationErrors() const {
    QList<QString> errors;
    if (id.trimmed().isEmpty()) {
        errors.append(QStringLiteral("Model profile id is required."));
    }
    if (displayName.trimmed().isEmpty()) {
        errors.append(QStringLiteral("Model profile display name is required."));
    }
    if (!isLowerHexSha256(sha256.trimmed().toLower())) {
        errors.append(
            QStringLiteral("Model profile SHA-256 must contain exactly 64 hexadecimal characters."));
    }
    for (const QString& message : manifest.validationErrors()) {
        errors.append(QStringLiteral("Manifest: %1").arg(message));
    }
    if (!manifest.id.isEmpty() && manifest.id.compare(id, Qt::CaseInsensitive) != 0) {
        errors.append(QStringLiteral("Model profile id must match the manifest id."));
    }
    return errors;
}

bool AiModelProfile::isValid() const {
    return validationErrors().isEmpty();
}

}  // namespace Tarnivale::AI
