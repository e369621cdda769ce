#include "cli_library.h"

#include "cli_errors.h"

#include <tarnivale/ai/interop.h>

#include <QJsonDocument>

namespace Tarnivale::Cli {

std::u16string wide(const QString& text) {
    return text.toStdU16String();
}

std::u16string wide(const QJsonObject& object) {
    return wide(QString::fromUtf8(compact(object)));
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject takeJson(char16_t* returned) {
    if (returned == nullptr) {
        char16_t* error = TarnivaleAI_GetLastError();
        const QString message =
            error ? QString::fromUtf16(error) : QStringLiteral("Unknown library failure.");
        TarnivaleAI_FreeString(error);
        throw Failure(message.toStdString());
    }
    const QByteArray text = QString::fromUtf16(returned).toUtf8();
    TarnivaleAI_FreeString(returned);
    return QJsonDocument::fromJson(text).object();
}

void checkTaskCall(bool succeeded) {
    if (!succeeded) {
        char* error = TarnivaleAI_GetLastTaskErrorUtf8();
        const QString message = error ? QString::fromUtf8(error) : QStringLiteral("Unknown library failure.");
        TarnivaleAI_FreeTaskString(error);
        throw Failure(message.toStdString());
    }
}

QString callRegistry(RegistryFunction function, const QJsonObject& request) {
    const std::u16string text = wide(request);
    // The first call asks the length, the second fills a buffer with room for it and its terminating 0.
    const std::int32_t length = function(text.c_str(), nullptr, 0);
    if (length < 0) {
        std::u16string error(static_cast<std::size_t>(TarnivaleAiModelRegistry_LastError(nullptr, 0)) + 1,
                             u'\0');
        TarnivaleAiModelRegistry_LastError(error.data(), static_cast<std::int32_t>(error.size()));
        throw Failure(QString::fromUtf16(error.c_str()).toStdString());
    }
    std::u16string answer(static_cast<std::size_t>(length) + 1, u'\0');
    function(text.c_str(), answer.data(), length + 1);
    return QString::fromUtf16(answer.c_str());
}

QJsonObject takeTaskJson(char* returned) {
    checkTaskCall(returned != nullptr);
    const QJsonObject object = QJsonDocument::fromJson(QByteArray(returned)).object();
    TarnivaleAI_FreeTaskString(returned);
    return object;
}

}  // namespace Tarnivale::Cli
