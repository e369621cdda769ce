// The signed model registry index: verification and reading, signing, and resolution of the best entry.

#include <tarnivale/ai/models.h>

#include "models/registry_entry.h"
#include "runtime/errors.h"
#include "runtime/sha256.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSet>

namespace Tarnivale::AI {

namespace {

// The signed bytes: the index object without its "signature", in Qt's compact form (keys sorted).
QByteArray signatureOf(const QJsonObject& unsignedIndex, const QByteArray& key) {
    return hmacSha256Hex(key, QJsonDocument(unsignedIndex).toJson(QJsonDocument::Compact));
}

// Exact comparison whose time does not depend on where the texts differ, so that a forger learns nothing
// from how long a refusal takes.
bool sameSignature(const QByteArray& given, const QByteArray& expected) {
    if (given.size() != expected.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (qsizetype i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
    }
    return difference == 0;
}

}  // namespace

AiModelRegistryIndex AiModelRegistryIndex::fromSignedJson(const QByteArray& json,
                                                          const QByteArray& trustedKey) {
    if (trustedKey.isEmpty()) {
        throwInvalidArgument(QStringLiteral("Trusted registry signing key is required"));
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        throwInvalidArgument(QStringLiteral("Registry index must be JSON"));
    }
    QJsonObject object = document.object();
    const QByteArray signature = object.take(QStringLiteral("signature")).toString().toLatin1();
    if (signature.isEmpty() || !sameSignature(signature, signatureOf(object, trustedKey))) {
        throwInvalidArgument(QStringLiteral("Registry index signature verification failed"));
    }
    if (object.value(QStringLiteral("schemaVersion")).toInt(0) != 1) {
        throwInvalidArgument(QStringLiteral("Unsupported registry schemaVersion"));
    }

    const QJsonArray entries = object.value(QStringLiteral("entries")).toArray();
    AiModelRegistryIndex index;
    index.m_entries.reserve(entries.size());
    QSet<QString> seen;
    seen.reserve(entries.size());
    for (const QJsonValue& value : entries) {
        AiModelRegistryEntry entry = registryEntryFromJson(value.toObject());
        validateRegistryEntry(entry);
        const QString key = entry.id + QLatin1Char('@') + entry.version;
        if (seen.contains(key)) {
            throwInvalidArgument(QStringLiteral("Duplicate model registry version"));
        }
        seen.insert(key);
        index.m_entries.append(std::move(entry));
    }
    return index;
}

QByteArray AiModelRegistryIndex::signedJson(const QList<AiModelRegistryEntry>& entries,
                                            const QByteArray& signingKey) {
    if (signingKey.isEmpty()) {
        throwInvalidArgument(QStringLiteral("Registry signing key is required"));
    }
    QJsonArray array;
    for (const AiModelRegistryEntry& entry : entries) {
        validateRegistryEntry(entry);
        array.append(registryEntryToJson(entry));
    }
    QJsonObject object{{QStringLiteral("schemaVersion"), 1}, {QStringLiteral("entries"), array}};
    object.insert(QStringLiteral("signature"), QString::fromLatin1(signatureOf(object, signingKey)));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

AiModelRegistryEntry AiModelRegistryIndex::resolve(const QString& id, const QString& sdkVersion,
                                                   const QString& version) const {
    const QVersionNumber sdk = registryVersion(sdkVersion);
    const AiModelRegistryEntry* best = nullptr;
    QVersionNumber bestVersion;
    for (const AiModelRegistryEntry& entry : m_entries) {
        if (entry.id != id || (!version.isEmpty() && entry.version != version)) {
            continue;
        }
        if (!entry.minimumSdkVersion.isEmpty() && sdk < registryVersion(entry.minimumSdkVersion)) {
            continue;
        }
        if (!entry.maximumSdkVersion.isEmpty() && sdk > registryVersion(entry.maximumSdkVersion)) {
            continue;
        }
        const QVersionNumber candidate = registryVersion(entry.version);
        if (best == nullptr || candidate > bestVersion ||
            (candidate == bestVersion && entry.artifactSha256 < best->artifactSha256)) {
            best = &entry;
            bestVersion = candidate;
        }
    }
    if (best == nullptr) {
        throwOutOfRange(QStringLiteral("No compatible model registry entry"));
    }
    return *best;
}

}  // namespace Tarnivale::AI
