#include "tasks/task_json.h"

#include "runtime/errors.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>
#include <cstring>

namespace Tarnivale::AI::Tasks {

QJsonObject parseTaskJson(const char* text) {
    if (text == nullptr) {
        throwInvalidArgument(QStringLiteral("Task JSON is null."));
    }
    // strnlen stops at the limit, so an unterminated buffer of any size is never read past it.
    const std::size_t length = strnlen(text, MaximumTaskJsonBytes + 1);
    if (length > MaximumTaskJsonBytes) {
        throwInvalidArgument(QStringLiteral("Task JSON exceeds 1 MiB."));
    }
    const QByteArray bytes = QByteArray::fromRawData(text, static_cast<qsizetype>(length));
    // Invalid sequences decode to U+FFFD, so they do not survive the round trip, even inside strings
    // where the JSON parser would accept them.
    if (QString::fromUtf8(bytes).toUtf8() != bytes) {
        throwInvalidArgument(QStringLiteral("Task JSON must be valid UTF-8."));
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        throwInvalidArgument(QStringLiteral("Invalid task JSON object."));
    }
    return document.object();
}

QString requiredTaskPath(const QJsonObject& request, const char* key) {
    const QString path = request.value(QLatin1String(key)).toString();
    if (path.isEmpty() || path.contains(QChar(u'\0'))) {
        throwInvalidArgument(QStringLiteral("Required task path is missing or invalid."));
    }
    return QDir::current().absoluteFilePath(path);
}

std::optional<qint64> integerInRange(const QJsonObject& request, const char* key, qint64 first, qint64 last,
                                     const QString& message) {
    const QJsonValue value = request.value(QLatin1String(key));
    if (value.isUndefined()) {
        return std::nullopt;
    }
    const double number = value.toDouble(std::nan(""));
    if (!value.isDouble() || !std::isfinite(number) || std::floor(number) != number ||
        number < static_cast<double>(first) || number > static_cast<double>(last)) {
        throwInvalidArgument(message);
    }
    return static_cast<qint64>(number);
}

}  // namespace Tarnivale::AI::Tasks
