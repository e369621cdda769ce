#pragma once

// The digest texts of profiles and registry entries: exactly 64 lower-case hexadecimal characters. A
// character loop rather than a regular expression: a registry index checks ten thousand of them per read.

#include <QString>

namespace Tarnivale::AI {

inline bool isLowerHexSha256(const QString& text) {
    if (text.size() != 64) {
        return false;
    }
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (!((u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f'))) {
            return false;
        }
    }
    return true;
}

}  // namespace Tarnivale::AI
