#include "interop/task_frame.h"

#include "interop/returned_strings.h"

#include <QJsonDocument>

#include <cstdlib>
#include <cstring>
#include <new>

namespace Tarnivale::AI::Interop {

namespace {
thread_local QString t_lastTaskError;
}

void clearLastTaskError() noexcept {
    t_lastTaskError.clear();
}

void recordLastTaskError(const char* text, const char* fallback) noexcept {
    try {
        t_lastTaskError = QString::fromUtf8(text != nullptr ? text : fallback);
        return;
    } catch (...) {
    }
    try {
        t_lastTaskError = QString::fromUtf8(fallback);
    } catch (...) {
        // Not even the fixed text fits: an empty slot is still a valid answer.
        t_lastTaskError.clear();
    }
}

char* lastTaskErrorCopy() noexcept {
    try {
        return newUtf8String(t_lastTaskError.toUtf8());
    } catch (...) {
        return emptyUtf8String();
    }
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
