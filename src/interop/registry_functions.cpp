// The model registry's flat functions: JSON requests onto the signed index, the installer (offline mirror
// only: a C host has no fetcher to hand over) and the signer. Answers are copied into the caller's buffer,
// with the full length returned so that a caller can retry with enough room; failures keep their message in
// the registry's own per-thread slot.

#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/models.h>

#include "models/registry_entry.h"
#include "runtime/errors.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>
#include <cstring>
#include <limits>

using namespace Tarnivale::AI;

namespace {

thread_local QString t_lastRegistryError;

void recordError(const char* text) noexcept {
    try {
        if (text != nullptr) {
            t_lastRegistryError = QString::fromUtf8(text);
            return;
        }
    } catch (...) {
    }
    // Static text: assigning it allocates nothing.
    t_lastRegistryError = QStringLiteral("Unknown model registry error.");
}

// Copies what fits (capacity - 1 units and the terminating 0) and returns the full length.
std::int32_t copyOut(const QString& text, TarnivaleAI_Char* buffer, std::int32_t capacity) noexcept {
    const auto length = static_cast<std::int32_t>(text.size());
    if (buffer != nullptr && capacity >= 1) {
        const std::int32_t copied = std::min(length, capacity - 1);
        std::memcpy(buffer, text.utf16(), static_cast<std::size_t>(copied) * sizeof(TarnivaleAI_Char));
        buffer[copied] = 0;
    }
    return length;
}

template <typename Operation>
std::int32_t runRegistryFunction(TarnivaleAI_Char* buffer, std::int32_t capacity,
                                 Operation&& operation) noexcept {
    try {
        t_lastRegistryError.clear();
        const QString response = operation();
        if (response.size() > std::numeric_limits<std::int32_t>::max()) {
            throwRuntimeError(QStringLiteral("Model registry response is too long."));
        }
        return copyOut(response, buffer, capacity);
    } catch (const std::exception& error) {
        recordError(error.what());
    } catch (...) {
        recordError(nullptr);
    }
    return -1;
}

// A null request reads as empty text, which is not JSON either.
QJsonObject requestObject(const TarnivaleAI_Char* text, const QString& refusal) {
    const QByteArray utf8 = text == nullptr ? QByteArray() : QString::fromUtf16(text).toUtf8();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(utf8, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        throwInvalidArgument(refusal);
    }
    return document.object();
}

QString stringOf(const QJsonObject& request, const char* key) {
    return request.value(QLatin1StringView(key)).toString();
}

QByteArray keyOf(const QJsonObject& request, const char* key) {
    return QByteArray::fromBase64(stringOf(request, key).toLatin1());
}

AiModelRegistryEntry resolveRequested(const QJsonObject& request) {
    const AiModelRegistryIndex index = AiModelRegistryIndex::fromSignedJson(
        stringOf(request, "signedIndex").toUtf8(), keyOf(request, "trustedKeyBase64"));
    return index.resolve(stringOf(request, "id"), stringOf(request, "sdkVersion"),
                         stringOf(request, "version"));
}

QString compactText(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

}  // namespace

extern "C" {

std::int32_t TarnivaleAiModelRegistry_ResolveJson(const TarnivaleAI_Char* requestJson,
                                                  TarnivaleAI_Char* buffer, std::int32_t capacity) {
    return runRegistryFunction(buffer, capacity, [requestJson] {
        const AiModelRegistryEntry entry = resolveRequested(
            requestObject(requestJson, QStringLiteral("Registry resolve request must be JSON")));
        return compactText(QJsonObject{
            {QStringLiteral("artifactFileName"), entry.artifactFileName()},
            {QStringLiteral("artifactSha256"), entry.artifactSha256},
            {QStringLiteral("artifactUrl"), entry.artifactUrl},
            {QStringLiteral("id"), entry.id},
            {QStringLiteral("license"), entry.license},
            {QStringLiteral("version"), entry.version},
        });
    });
}

std::int32_t TarnivaleAiModelRegistry_InstallJson(const TarnivaleAI_Char* requestJson,
                                                  TarnivaleAI_Char* buffer, std::int32_t capacity) {
    return runRegistryFunction(buffer, capacity, [requestJson] {
        const QJsonObject request =
            requestObject(requestJson, QStringLiteral("Registry install request must be JSON"));
        const AiModelRegistryEntry entry = resolveRequested(request);
        AiModelInstallOptions options;
        options.destinationDirectory = stringOf(request, "destinationDirectory");
        options.offlineMirrorDirectory = stringOf(request, "offlineMirrorDirectory");
        options.offlineOnly = true;
        options.maximumBytes = request.value(QLatin1StringView("maximumBytes")).toInteger(0);
        const AiModelInstallResult installed = AiModelRegistryInstaller::install(entry, options);
        return compactText(QJsonObject{
            {QStringLiteral("artifactFileName"), entry.artifactFileName()},
            {QStringLiteral("byteCount"), static_cast<qint64>(installed.byteCount)},
            {QStringLiteral("id"), entry.id},
            {QStringLiteral("installedPath"), installed.installedPath},
            {QStringLiteral("sha256"), installed.sha256},
            {QStringLiteral("source"), installed.source},
            {QStringLiteral("version"), entry.version},
        });
    });
}

std::int32_t TarnivaleAiModelRegistry_SignJson(const TarnivaleAI_Char* requestJson, TarnivaleAI_Char* buffer,
                                               std::int32_t capacity) {
    return runRegistryFunction(buffer, capacity, [requestJson] {
        const QJsonObject request =
            requestObject(requestJson, QStringLiteral("Registry sign request must be JSON"));
        QList<AiModelRegistryEntry> entries;
        for (const QJsonValue& value : request.value(QLatin1StringView("entries")).toArray()) {
            entries.append(registryEntryFromJson(value.toObject()));
        }
        return QString::fromUtf8(
            AiModelRegistryIndex::signedJson(entries, keyOf(request, "signingKeyBase64")));
    });
}

std::int32_t TarnivaleAiModelRegistry_LastError(TarnivaleAI_Char* buffer, std::int32_t capacity) {
    return copyOut(t_lastRegistryError, buffer, capacity);
}

}  // extern "C"
