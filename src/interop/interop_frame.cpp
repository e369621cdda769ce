#include "interop/interop_frame.h"

#include "interop/returned_strings.h"
#include "runtime/errors.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <cstdlib>
#include <cstring>
#include <new>

namespace Tarnivale::AI::Interop {

namespace {
thread_local QString t_lastError;
}

void clearLastError() noexcept {
    t_lastError.clear();
}

void recordLastError(const char* text) noexcept {
    try {
        if (text != nullptr) {
            t_lastError = QString::fromUtf8(text);
            return;
        }
    } catch (...) {
    }
    // Static text: assigning it allocates nothing.
    t_lastError = QStringLiteral("Unknown Tarnivale.AI interop error.");
}

QString lastError() {
    return t_lastError;
}

TarnivaleAI_Char* lastErrorCopy() noexcept {
    try {
        return newString(t_lastError);
    } catch (...) {
        return emptyWideString();
    }
}

TarnivaleAI_Char* newString(const QString& text) {
    const std::size_t units = static_cast<std::size_t>(text.size()) + 1;
    // malloc, so that FreeString can release buffers from any of the library's functions the same way.
    auto* buffer = static_cast<TarnivaleAI_Char*>(std::malloc(units * sizeof(TarnivaleAI_Char)));
    if (buffer == nullptr) {
        throw std::bad_alloc();
    }
    std::memcpy(buffer, text.utf16(), (units - 1) * sizeof(TarnivaleAI_Char));
    buffer[units - 1] = 0;
    return buffer;
}

QString requireText(const TarnivaleAI_Char* text) {
    if (text == nullptr) {
        throwInvalidArgument(QStringLiteral("Required wide string is null."));
    }
    return QString::fromUtf16(text);
}

QJsonObject parseRequest(const TarnivaleAI_Char* text) {
    const QByteArray utf8 = requireText(text).toUtf8();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(utf8, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        throwInvalidArgument(QStringLiteral("Invalid AI request JSON: %1").arg(error.errorString()));
    }
    return document.object();
}

namespace {
constexpr std::int32_t MaximumSessionThreads = 1024;
}  // namespace

QString optionalText(const QJsonObject& request, const char* key, const char* requestName,
                     const QString& fallback) {
    const QJsonValue value = request.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        return fallback;
    }
    if (!value.isString()) {
        throwInvalidArgument(QStringLiteral("%1 key '%2' must be a string.")
                                 .arg(QLatin1String(requestName), QLatin1String(key)));
    }
    return value.toString();
}

bool optionalFlag(const QJsonObject& request, const char* key, const char* requestName) {
    const QJsonValue value = request.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        return false;
    }
    if (!value.isBool()) {
        throwInvalidArgument(QStringLiteral("%1 key '%2' must be true or false.")
                                 .arg(QLatin1String(requestName), QLatin1String(key)));
    }
    return value.toBool();
}

AiSessionOptions readSessionOptions(const QJsonObject& request) {
    AiSessionOptions options;
    options.provider = parseExecutionProvider(request.value(QStringLiteral("provider")).toString());
    options.intraOpThreads = request.value(QStringLiteral("intraOpThreads")).toInt(0);
    options.interOpThreads = request.value(QStringLiteral("interOpThreads")).toInt(0);
    // Thousands of threads would be started as asked and stall the call for minutes.
    if (options.intraOpThreads > MaximumSessionThreads || options.interOpThreads > MaximumSessionThreads) {
        throwInvalidArgument(QStringLiteral("AI session thread counts must not exceed 1024."));
    }
    options.enableMemoryPattern = request.value(QStringLiteral("enableMemoryPattern")).toBool(true);
    return options;
}

}  // namespace Tarnivale::AI::Interop
