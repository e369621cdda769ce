#pragma once

// The two SAM3 bundle profiles this library was built for: their names, graph files and decoder outputs.

#include <QList>
#include <QString>

namespace Tarnivale::AI::Sam3 {

inline constexpr qint64 ImageSide = 1008;
inline constexpr int TextTokens = 32;
inline constexpr int TrackerMaximumPoints = 64;

struct Profile {
    QString name;
    QList<QString> prompts;
    QList<QString> graphs;
    QList<QString> decoderOutputs;
    bool tracker = false;
};

const Profile& textProfile();
const Profile& trackerProfile();

}  // namespace Tarnivale::AI::Sam3
