// The signed model registry index: verification and reading, signing, and resolution of the best entry.

#include <tarnivale/ai/models.h>

#include "models/compact_json.h"
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
    return hmacSha256Hex(key, compactJson(unsignedIndex));
}

QString* entryField(AiModelRegistryEntry& entry, const QString& key) {
    static const std::pair<QLatin1StringView, QString AiModelRegistryEntry::*> fields[] = {
        {QLatin1StringView("id"), &AiModelRegistryEntry::id},
        {QLatin1StringView("version"), &AiModelRegistryEntry::version},
        {QLatin1StringView("artifactUrl"), &AiModelRegistryEntry::artifactUrl},
        {QLatin1StringView("artifactSha256"), &AiModelRegistryEntry::artifactSha256},
        {QLatin1StringView("license"), &AiModelRegistryEntry::license},
        {QLatin1StringView("licenseUrl"), &AiModelRegistryEntry::licenseUrl},
        {QLatin1StringView("minimumSdkVersion"), &AiModelRegistryEntry::minimumSdkVersion},
        {QLatin1StringView("maximumSdkVersion"), &AiModelRegistryEntry::maximumSdkVersion},
    };
    for (const auto& [name, field] : fields) {
        if (key == name) {
            return &(entry.*field);
        }
    }
    return nullptr;
}

// The "entries" array written in compact form, each entry read (as registryEntryFromJson reads it) from the
// texts converted for writing, so that every string of the index is converted once.
bool appendEntries(const QJsonArray& array, std::string& out, QList<AiModelRegistryEntry>& entries) {
    entries.reserve(array.size());
    out.push_back('[');
    for (qsizetype i = 0; i < array.size(); ++i) {
        if (i > 0) {
            out.push_back(',');
        }
        const QJsonValue element = array.at(i);
        AiModelRegistryEntry entry;
        if (element.isObject()) {
            const QJsonObject object = element.toObject();
            out.push_back('{');
            for (auto it = object.begin(); it != object.end(); ++it) {
                if (it != object.begin()) {
                    out.push_back(',');
                }
                const QString key = it.key();
                if (!appendCompactString(key, out)) {
                    return false;
                }
                out.push_back(':');
                const QJsonValue value = it.value();
                if (!value.isString()) {
                    if (!appendCompactJson(value, out)) {
                        return false;
                    }
                    continue;
                }
                QString text = value.toString();
                if (!appendCompactString(text, out)) {
                    return false;
                }
                if (QString* field = entryField(entry, key)) {
                    *field = std::move(text);
                }
            }
            out.push_back('}');
        } else if (!appendCompactJson(element, out)) {
            return false;
        }
        entry.artifactSha256 = entry.artifactSha256.toLower();
        entries.append(std::move(entry));
    }
    out.push_back(']');
    return true;
}

struct SignedContent {
    std::string bytes;  ///< what the signature covers
    QList<AiModelRegistryEntry> entries;
    bool entriesRead = false;
};

// One walk over the unsigned index writes the signed bytes and reads the entries on the way; when the
// document holds what the fast writer leaves to Qt, Qt writes it and the entries are read afterwards.
SignedContent signedContent(const QJsonObject& object, qsizetype sizeHint) {
    SignedContent content;
    std::string& out = content.bytes;
    out.reserve(static_cast<std::size_t>(sizeHint));
    out.push_back('{');
    bool written = true;
    for (auto it = object.begin(); written && it != object.end(); ++it) {
        if (it != object.begin()) {
            out.push_back(',');
        }
        const QString key = it.key();
        written = appendCompactString(key, out);
        out.push_back(':');
        const QJsonValue value = it.value();
        if (written && key == QLatin1StringView("entries") && value.isArray()) {
            written = appendEntries(value.toArray(), out, content.entries);
            content.entriesRead = written;
        } else if (written) {
            written = appendCompactJson(value, out);
        }
    }
    out.push_back('}');
    if (!written) {
        content.bytes = QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
        content.entries.clear();
        content.entriesRead = false;
    }
    return content;
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
    SignedContent content = signedContent(object, json.size());
    if (signature.isEmpty() ||
        !sameSignature(signature,
                       hmacSha256Hex(trustedKey, QByteArray::fromRawData(
                                                     content.bytes.data(),
                                                     static_cast<qsizetype>(content.bytes.size()))))) {
        throwInvalidArgument(QStringLiteral("Registry index signature verification failed"));
    }
    if (object.value(QStringLiteral("schemaVersion")).toInt(0) != 1) {
        throwInvalidArgument(QStringLiteral("Unsupported registry schemaVersion"));
    }

    QList<AiModelRegistryEntry> entries = std::move(content.entries);
    if (!content.entriesRead) {
        for (const QJsonValue& value : object.value(QStringLiteral("entries")).toArray()) {
            entries.append(registryEntryFromJson(value.toObject()));
        }
    }
    // Id and version as a pair: the same as their texts joined by "@", which a valid id cannot contain,
    // without building the joined text for every entry.
    QSet<std::pair<QString, QString>> seen;
    seen.reserve(entries.size());
    for (const AiModelRegistryEntry& entry : std::as_const(entries)) {
        validateRegistryEntry(entry);
        const qsizetype before = seen.size();
        seen.insert({entry.id, entry.version});
        if (seen.size() == before) {
            throwInvalidArgument(QStringLiteral("Duplicate model registry version"));
        }
    }
    AiModelRegistryIndex index;
    index.m_entries = std::move(entries);
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
    return compactJson(object);
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
