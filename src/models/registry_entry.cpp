// One registry entry: its file name, its rules and its JSON form.

#include "models/registry_entry.h"

#include "models/lower_hex.h"
#include "runtime/errors.h"

namespace Tarnivale::AI {

namespace {

// ^[A-Za-z0-9._-]+$ over the whole text: the id becomes part of a file name.
bool isRegistryId(const QString& id) {
    if (id.isEmpty()) {
        return false;
    }
    for (const QChar c : id) {
        const char16_t u = c.unicode();
        const bool allowed = (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z') ||
                             (u >= u'0' && u <= u'9') || u == u'.' || u == u'_' || u == u'-';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

}  // namespace

QString AiModelRegistryEntry::artifactFileName() const {
    return id + QLatin1Char('-') + version + QStringLiteral(".tvmodel");
}

QVersionNumber registryVersion(const QString& text) {
    const QVersionNumber number = QVersionNumber::fromString(text);
    if (number.isNull()) {
        throwInvalidArgument(QStringLiteral("Invalid semantic version: %1").arg(text));
    }
    // Without trailing zeros: QVersionNumber orders 1.0 before 1.0.0, and an SDK 3 above a maximum 3.0.
    return number.normalized();
}

void validateRegistryEntry(const AiModelRegistryEntry& entry) {
    if (!isRegistryId(entry.id)) {
        throwInvalidArgument(QStringLiteral("Registry model id is invalid"));
    }
    registryVersion(entry.version);
    if (!isLowerHexSha256(entry.artifactSha256)) {
        throwInvalidArgument(QStringLiteral("Registry artifact SHA-256 is invalid"));
    }
    if (entry.license.trimmed().isEmpty() || entry.licenseUrl.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("Registry license metadata is required"));
    }
    if (entry.artifactUrl.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("Registry artifact URL is required"));
    }
    if (!entry.minimumSdkVersion.isEmpty()) {
        registryVersion(entry.minimumSdkVersion);
    }
    if (!entry.maximumSdkVersion.isEmpty()) {
        registryVersion(entry.maximumSdkVersion);
    }
}

AiModelRegistryEntry registryEntryFromJson(const QJsonObject& object) {
    AiModelRegistryEntry entry;
    entry.id = object.value(QLatin1StringView("id")).toString();
    entry.version = object.value(QLatin1StringView("version")).toString();
    entry.artifactUrl = object.value(QLatin1StringView("artifactUrl")).toString();
    entry.artifactSha256 = object.value(QLatin1StringView("artifactSha256")).toString().toLower();
    entry.license = object.value(QLatin1StringView("license")).toString();
    entry.licenseUrl = object.value(QLatin1StringView("licenseUrl")).toString();
    entry.minimumSdkVersion = object.value(QLatin1StringView("minimumSdkVersion")).toString();
    entry.maximumSdkVersion = object.value(QLatin1StringView("maximumSdkVersion")).toString();
    return entry;
}

QJsonObject registryEntryToJson(const AiModelRegistryEntry& entry) {
    return QJsonObject{
        {QStringLiteral("id"), entry.id},
        {QStringLiteral("version"), entry.version},
        {QStringLiteral("artifactUrl"), entry.artifactUrl},
        {QStringLiteral("artifactSha256"), entry.artifactSha256},
        {QStringLiteral("license"), entry.license},
        {QStringLiteral("licenseUrl"), entry.licenseUrl},
        {QStringLiteral("minimumSdkVersion"), entry.minimumSdkVersion},
        {QStringLiteral("maximumSdkVersion"), entry.maximumSdkVersion},
    };
}

}  // namespace Tarnivale::AI
