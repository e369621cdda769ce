#pragma once

// Qt's compact JSON form (QJsonDocument::toJson(Compact)), written in one pass into a reserved buffer.
// Signing a registry index hashes this form; Qt's writer spends most of a 10 000-entry index's read time
// growing its output (this one appends to a std::string, whose appends are inlined). Only what this writer
// reproduces byte for byte is written here (objects, arrays, ASCII text, whole numbers stored as integers,
// booleans, null); anything else makes it give up, and the caller uses Qt's.

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <string>

namespace Tarnivale::AI {

/// Appends the value; false (with `out` in an unspecified state) when it holds what is not written here.
bool appendCompactJson(const QJsonValue& value, std::string& out);
/// Appends the text as a JSON string; false for text beyond ASCII.
bool appendCompactString(const QString& text, std::string& out);

/// The object's compact form: this writer's when it can, Qt's otherwise (the same bytes either way).
QByteArray compactJson(const QJsonObject& object);

}  // namespace Tarnivale::AI
