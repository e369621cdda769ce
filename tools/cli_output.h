#pragma once

// What the command line prints: JSON documents, summary lines, and a progress line that redraws itself on
// a terminal and prints plain lines (only when something changed) otherwise.

#include <QJsonObject>
#include <QString>

#include <cstdio>

namespace Tarnivale::Cli {

void printJson(const QJsonObject& object);
void printLine(const QString& text);

class ProgressLine {
public:
    ProgressLine();
    void update(int percent, const QString& message, int completedTiles, int totalTiles);
    /// Ends a redrawn line so that what follows starts on a fresh one.
    void finish();

private:
    bool m_terminal;
    bool m_open = false;
    QString m_last;
};

}  // namespace Tarnivale::Cli
