#pragma once

// Reading task and export requests: the size-limited UTF-8 parser and the rules shared by every kind.

#include <QJsonObject>
#include <QString>

#include <optional>

namespace Tarnivale::AI::Tasks {

/// Longest accepted request text in bytes, without its terminator.
inline constexpr std::size_t MaximumTaskJsonBytes = 1048576;

/// A JSON object from NUL-terminated UTF-8 text; the text is never read past MaximumTaskJsonBytes + 1 bytes.
QJsonObject parseTaskJson(const char* text);

/// The path under the key made absolute against the current directory; it must be a non-empty string
/// without U+0000, else "Required task path is missing or invalid.". The file is not looked at.
QString requiredTaskPath(const QJsonObject& request, const char* key);

/// The key's value when it is a JSON number holding an integer in first..last; absent gives nullopt.
/// Anything else throws std::invalid_argument with the message.
std::optional<qint64> integerInRange(const QJsonObject& request, const char* key, qint64 first, qint64 last,
                                     const QString& message);

}  // namespace Tarnivale::AI::Tasks
