#include "cli_estimate.h"

#include "cli_errors.h"
#include "cli_output.h"

namespace Tarnivale::Cli {

namespace {

QString megabytes(qint64 bytes) {
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1);
}

}  // namespace

void reportEstimate(const QJsonObject& estimate, qint64 budget, bool json, bool estimateOnly) {
    const qint64 peak = estimate.value(QStringLiteral("peakMemoryBytes")).toInteger();
    if (json && estimateOnly) {
        printJson(estimate);
    } else if (!json) {
        printLine(
            QStringLiteral("Estimate: %1 x %2, %3 tiles, peak memory %4 bytes (%5 MiB), output %6 band(s) "
                           "of %7, %8 bytes (%9 MiB).")
                .arg(estimate.value(QStringLiteral("width")).toInt())
                .arg(estimate.value(QStringLiteral("height")).toInt())
                .arg(estimate.value(QStringLiteral("totalTiles")).toInt())
                .arg(peak)
                .arg(megabytes(peak))
                .arg(estimate.value(QStringLiteral("bandCount")).toInt())
                .arg(estimate.value(QStringLiteral("dataType")).toString())
                .arg(estimate.value(QStringLiteral("outputBytes")).toInteger())
                .arg(megabytes(estimate.value(QStringLiteral("outputBytes")).toInteger())));
    }
    if (budget > 0 && peak > budget) {
        throw Failure(QStringLiteral("The run needs an estimated %1 bytes of memory, above --max-memory %2.")
                          .arg(peak)
                          .arg(budget)
                          .toStdString());
    }
}

}  // namespace Tarnivale::Cli
