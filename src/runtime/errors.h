#pragma once

// The library's errors carry one English sentence as UTF-8; these helpers keep the conversion in one place.

#include <QList>
#include <QString>

#include <stdexcept>

namespace Tarnivale::AI {

[[noreturn]] void throwInvalidArgument(const QString& message);
[[noreturn]] void throwRuntimeError(const QString& message);
/// A look-up that found nothing suitable (std::out_of_range).
[[noreturn]] void throwOutOfRange(const QString& message);

/// Joins validation messages into the text of one exception.
QString joinMessages(const QList<QString>& messages, const QString& separator = QStringLiteral(" "));

}  // namespace Tarnivale::AI
