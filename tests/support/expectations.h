#pragma once

// Small helpers the tests share: the message of an expected exception, raw bytes as typed values, and
// files with given contents (a corrupt model, a hand-written manifest).

#include <QByteArray>
#include <QFile>
#include <QString>

#include <stdexcept>

#include <cstring>
#include <string>
#include <vector>

namespace Tarnivale::AI::Testing {

/// The what() of the Exception the call throws, or "no error".
template <typename Exception, typename Call>
std::string errorOf(Call call) {
    try {
        call();
    } catch (const Exception& error) {
        return error.what();
    }
    return "no error";
}

/// Native-order bytes (tensor data, raster results) as values of T.
template <typename T>
std::vector<T> valuesOf(const QByteArray& bytes) {
    std::vector<T> values(static_cast<size_t>(bytes.size()) / sizeof(T));
    std::memcpy(values.data(), bytes.constData(), values.size() * sizeof(T));
    return values;
}

/// Writes the bytes to a new or truncated file; throws std::runtime_error when it cannot.
inline QString writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        throw std::runtime_error("cannot write " + path.toStdString());
    }
    return path;
}

}  // namespace Tarnivale::AI::Testing
