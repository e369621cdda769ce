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

QJsonObject takeTaskJson(char* returned) {
    checkTaskCall(returned != nullptr);
    const QJsonObject object = QJsonDocument::fromJson(QByteArray(returned)).object();
    TarnivaleAI_FreeTaskString(returned);
    return object;
}

}  // namespace Tarnivale::Cli
