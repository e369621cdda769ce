#include "runtime/errors.h"

namespace Tarnivale::AI {

void throwInvalidArgument(const QString& message) {
    throw std::invalid_argument(message.toStdString());
}

void throwRuntimeError(const QString& message) {
    throw std::runtime_error(message.toStdString());
}

void throwOutOfRange(const QString& message) {
    throw std::out_of_range(message.toStdString());
}

QString joinMessages(const QList<QString>& messages, const QString& separator) {
    return messages.join(separator);
}

}  // namespace Tarnivale::AI
