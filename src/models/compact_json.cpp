#include "models/compact_json.h"

#include <QCborValue>
#include <QJsonArray>
#include <QJsonDocument>

namespace Tarnivale::AI {

namespace {

char hexDigit(char16_t value) {
    return static_cast<char>(value < 10 ? '0' + value : 'a' + (value - 10));
}

bool appendObject(const QJsonObject& object, std::string& out) {
    out.push_back('{');
    bool first = true;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!first) {
            out.push_back(',');
        }
        first = false;
        if (!appendCompactString(it.key(), out)) {
            return false;
        }
        out.push_back(':');
        if (!appendCompactJson(it.value(), out)) {
            return false;
        }
    }
    out.push_back('}');
    return true;
}

bool appendArray(const QJsonArray& array, std::string& out) {
    out.push_back('[');
    bool first = true;
    for (const QJsonValue& element : array) {
        if (!first) {
            out.push_back(',');
        }
        first = false;
        if (!appendCompactJson(element, out)) {
            return false;
        }
    }
    out.push_back(']');
    return true;
}

}  // namespace

bool appendCompactString(const QString& text, std::string& out) {
    const QChar* characters = text.constData();
    const auto size = static_cast<std::size_t>(text.size());
    bool plain = true;
    for (std::size_t i = 0; i < size; ++i) {
        const char16_t u = characters[i].unicode();
        if (u >= 0x80) {
            return false;
        }
        plain = plain && u >= 0x20 && u != u'"' && u != u'\\';
    }
    if (plain) {  // the common case, written in one go
        const std::size_t start = out.size();
        out.resize(start + size + 2);
        char* cursor = out.data() + start;
        *cursor++ = '"';
        for (std::size_t i = 0; i < size; ++i) {
            *cursor++ = static_cast<char>(characters[i].unicode());
        }
        *cursor = '"';
        return true;
    }
    out.push_back('"');
    for (std::size_t i = 0; i < size; ++i) {
        const char16_t u = characters[i].unicode();
        if (u >= 0x20 && u != u'"' && u != u'\\') {
            out.push_back(static_cast<char>(u));
            continue;
        }
        out.push_back('\\');
        switch (u) {
            case u'"':
                out.push_back('"');
                break;
            case u'\\':
                out.push_back('\\');
                break;
            case u'\b':
                out.push_back('b');
                break;
            case u'\f':
                out.push_back('f');
                break;
            case u'\n':
                out.push_back('n');
                break;
            case u'\r':
                out.push_back('r');
                break;
            case u'\t':
                out.push_back('t');
                break;
            default:
                out.append("u00");
                out.push_back(hexDigit(u >> 4));
                out.push_back(hexDigit(u & 0xf));
                break;
        }
    }
    out.push_back('"');
    return true;
}

bool appendCompactJson(const QJsonValue& value, std::string& out) {
    switch (value.type()) {
        case QJsonValue::Object:
            return appendObject(value.toObject(), out);
        case QJsonValue::Array:
            return appendArray(value.toArray(), out);
        case QJsonValue::String:
            return appendCompactString(value.toString(), out);
        case QJsonValue::Bool:
            out.append(value.toBool() ? "true" : "false");
            return true;
        case QJsonValue::Null:
            out.append("null");
            return true;
        case QJsonValue::Double: {
            // Qt writes numbers stored as integers in decimal and others in its shortest form; only the first
            // is done here.
            const QCborValue stored = QCborValue::fromJsonValue(value);
            if (!stored.isInteger()) {
                return false;
            }
            out.append(std::to_string(stored.toInteger()));
            return true;
        }
        case QJsonValue::Undefined:
            break;
    }
    return false;
}

QByteArray compactJson(const QJsonObject& object) {
    std::string out;
    if (appendObject(object, out)) {
        return QByteArray(out.data(), static_cast<qsizetype>(out.size()));
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

}  // namespace Tarnivale::AI
