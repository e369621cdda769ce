#pragma once

// Small helpers the tests share: the message of an expected exception, and raw bytes as typed values.

#include <QByteArray>

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

}  // namespace Tarnivale::AI::Testing
