#pragma once

// The frame shared by the task functions: the per-thread task error slot and returned UTF-8 strings.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <exception>

namespace Tarnivale::AI::Interop {

void clearLastTaskError() noexcept;
/// Stores the text (UTF-8) in the calling thread's task slot, or the fallback (a static text) when the text
/// is null or cannot be stored. Never throws.
void recordLastTaskError(const char* text, const char* fallback) noexcept;
/// A new copy of the task slot; the shared empty string when no copy can be allocated, so never null.
char* lastTaskErrorCopy() noexcept;

/// A new NUL-terminated copy of exactly size + 1 bytes, released with TarnivaleAI_FreeTaskString.
char* newUtf8String(const QByteArray& text);
/// The object as compact JSON (keys sorted) in a new string.
char* newJsonString(const QJsonObject& object);

/// Runs the call with the slot emptied on entry; a failure stores its text (the fallback when it is not a
/// standard exception) and gives the failure value. Nothing escapes.
template <typename Result, typename Call>
Result runTaskFunction(const char* fallback, Result failure, Call&& call) noexcept {
    try {
        clearLastTaskError();
        return call();
    } catch (const std::exception& error) {
        recordLastTaskError(error.what(), fallback);
    } catch (...) {
        recordLastTaskError(nullptr, fallback);
    }
    return failure;
}

}  // namespace Tarnivale::AI::Interop
