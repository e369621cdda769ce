#include "cli_output.h"

#include "cli_library.h"

#include <unistd.h>

namespace Tarnivale::Cli {

void printJson(const QJsonObject& object) {
    const QByteArray text = compact(object);
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printLine(const QString& text) {
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

ProgressLine::ProgressLine() : m_terminal(isatty(STDERR_FILENO) == 1) {}

void ProgressLine::update(int percent, const QString& message, int completedTiles, int totalTiles) {
    QString line = QStringLiteral("%1%  %2").arg(percent, 3).arg(message);
    if (totalTiles > 0) {
        line += QStringLiteral("  [tiles %1/%2]").arg(completedTiles).arg(totalTiles);
    }
    if (line == m_last) {
        return;
    }
    m_last = line;
    if (m_terminal) {
        // Progress goes to stderr, so that stdout stays the command's result.
        std::fprintf(stderr, "\r\033[K%s", line.toUtf8().constData());
        m_open = true;
    } else {
        std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    }
    std::fflush(stderr);
}

void ProgressLine::finish() {
    if (m_open) {
        std::fputc('\n', stderr);
        m_open = false;
    }
}

}  // namespace Tarnivale::Cli
