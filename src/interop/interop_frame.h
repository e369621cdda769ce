#pragma once

// What every flat function shares: the per-thread last-error slot, UTF-16 buffers, request parsing and the
// frame that turns a QJsonObject-building operation into a returned string or a null plus an error.

#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/runtime.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <exception>

namespace Tarnivale::AI::Interop {

void clearLastError() noexcept;
/// Stores the text (UTF-8) in the calling thread's slot, or the fixed interop text when even that cannot be
/// allocated. Never throws.
void recordLastError(const char* text) noexcept;
QString lastError();
/// A new copy of the slot; the shared empty string when no copy can be allocated, so never null.
TarnivaleAI_Char* lastErrorCopy() noexcept;

/// A new NUL-terminated UTF-16 copy of the text, exactly length + 1 code units, freed by FreeString.
TarnivaleAI_Char* newString(const QString& text);

/// The UTF-16 text as a QString; null fails with "Required wide string is null.".
QString requireText(const TarnivaleAI_Char* text);

/// A JSON object from UTF-16 text, with the interface's messages for null, malformed or non-object input.
QJsonObject parseRequest(const TarnivaleAI_Char* text);

/// Runs the operation in the common frame: clears the slot, serialises the object compactly, or stores the
/// failure and returns null. Nothing escapes.
template <typename Operation>
TarnivaleAI_Char* runJsonFunction(Operation&& operation) noexcept {
    try {
        clearLastError();
        const QJsonObject result = operation();
        return newString(QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)));
    } catch (const std::exception& error) {
        recordLastError(error.what());
    } catch (...) {
        recordLastError(nullptr);
    }
    return nullptr;
}

/// Optional typed keys: absent or null gives the fallback; any other type is refused by name as
/// "<request> key '<key>' must be a string." (or "... must be true or false."), so that a host's mistyped
/// value is never read as the default without its knowing.
QString optionalText(const QJsonObject& request, const char* key, const char* requestName,
                     const QString& fallback = {});
bool optionalFlag(const QJsonObject& request, const char* key, const char* requestName);

/// The four session option keys of a request.
AiSessionOptions readSessionOptions(const QJsonObject& request);

}  // namespace Tarnivale::AI::Interop
