#pragma once

// The frame shared by the task functions: the per-thread task error slot and returned UTF-8 strings.

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <exception>

namespace Tarnivale::AI::Interop {

void setLastTaskError(const QString& message);
QString lastTaskError();

/// A new NUL-terminated copy of exactly size + 1 bytes, released with TarnivaleAI_FreeTaskString.
char* newUtf8String(const QByteArray& text);
/// The object as compact JSON (keys sorted) in a new string.
char* newJsonString(const QJsonObject& object);

/// Runs the call with the slot emptied on entry; a failure stores its text (the fallback when it is not a
/// standard exception) and gives the failure value. Nothing escapes.
template <typename Result, typename Call>
Result runTaskFunction(const char* fallback, Result failure, Call&& call) noexcept {
    try {
        setLastTaskError(QString());
        return call();
    } catch (const std::exception& error) {
        try {
            setLastTaskError(QString::fromUtf8(error.what()));
        } catch (...) {
        }
    } catch (...) {
        try {
            setLastTaskError(QString::fromUtf8(fallback));
        } catch (...) {
        }
    }
    return failure;
}

}  // namespace Tarnivale::AI::Interop
