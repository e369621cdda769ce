#include "interop/task_frame.h"

#include <QJsonDocument>

#include <cstdlib>
#include <cstring>
#include <new>

namespace Tarnivale::AI::Interop {

namespace {
thread_local QString t_lastTaskError;
}

void setLastTaskError(const QString& message) {
    t_lastTaskError = message;
}

QString lastTaskError() {
    return t_lastTaskError;
}

char* newUtf8String(const QByteArray& text) {
    const std::size_t size = static_cast<std::size_t>(text.size());
    // malloc, the allocator TarnivaleAI_FreeString releases with.
    auto* buffer = static_cast<char*>(std::malloc(size + 1));
    if (buffer == nullptr) {
        throw std::bad_alloc();
    }
    std::memcpy(buffer, text.constData(), size);
    buffer[size] = '\0';
    return buffer;
}

char* newJsonString(const QJsonObject& object) {
    return newUtf8String(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

}  // namespace Tarnivale::AI::Interop
