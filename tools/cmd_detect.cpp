// detect: object detection through TarnivaleAI_RunObjectDetection, written to a GeoPackage of box polygons.

#include "cli_arguments.h"
#include "cli_errors.h"
#include "cli_interrupt.h"
#include "cli_library.h"
#include "cli_output.h"
#include "commands.h"

#include <tarnivale/ai/interop.h>

#include <QFileInfo>

namespace Tarnivale::Cli {

const char* const DetectHelp =
    "Usage: tarnivale-ai detect --package DIR --raster IN.tif --output OUT.gpkg [options] [--json]\n"
    "\n"
    "Detects objects with an object-detection package and writes one box polygon per detection to a new\n"
    "GeoPackage layer \"detections\" in the raster's CRS, with the fields score, class_id and label.\n"
    "\n"
    "By default the whole raster is read at the model's input size in one shot (the package's adapter must\n"
    "resize, or the raster must have that size). Small objects in a large scene vanish at that scale:\n"
    "--sliced runs the model over overlapping windows instead and merges what they find.\n"
    "\n"
    "Options:\n"
    "  --sliced           run over overlapping windows of the scene\n"
    "  --tile N[,H]       window size in raster pixels (default: the model's input size)\n"
    "  --overlap N[,Y]    pixels shared by neighbouring windows (default: 20 % of the tile)\n"
    "  --agnostic-merge   merge the windows' detections across classes\n"
    "  --score T          keep detections scoring at least T in [0, 1] (default: the package's)\n"
    "  --nms T            suppress boxes overlapping a better one by more than T IoU (default: the "
    "package's)\n"
    "  --provider P       cpu, cuda, ... (default: auto)\n"
    "  --threads N        intra-operator threads (default: ONNX Runtime's choice)\n"
    "\n"
    "The output is written beside its destination and renamed into place whole; an existing file is never\n"
    "replaced. Ctrl-C ends the run at once with status 130.\n";

namespace {

void reportProgress(int completed, int total, int percent, const TarnivaleAI_Char* message, void* userData) {
    static_cast<ProgressLine*>(userData)->update(percent, QString::fromUtf16(message), completed, total);
}

/// "N" or "N,M" for a pair of sizes; one value stands for both.
QList<int> pair(const Arguments& options, const QString& name) {
    const QList<int> values = options.integers(name);
    if (values.size() != 1 && values.size() != 2) {
        throw UsageError("--" + name.toStdString() + " takes N or N,M");
    }
    return {values.first(), values.last()};
}

double unit(const Arguments& options, const QString& name) {
    const double value = parseNumbers(name, options.value(name), 1).first();
    if (!(value >= 0.0 && value <= 1.0)) {
        throw UsageError("--" + name.toStdString() + " takes a number in [0, 1]");
    }
    return value;
}

}  // namespace

int detectCommand(const QStringList& arguments) {
    if (helpRequested(arguments, DetectHelp)) {
        return 0;
    }
    const Arguments options(arguments,
                            {QStringLiteral("package"), QStringLiteral("raster"), QStringLiteral("output"),
                             QStringLiteral("tile"), QStringLiteral("overlap"), QStringLiteral("score"),
                             QStringLiteral("nms"), QStringLiteral("provider"), QStringLiteral("threads")},
                            {QStringLiteral("sliced"), QStringLiteral("agnostic-merge")});
    options.expectOperands(0);
    const bool sliced = options.flag(QStringLiteral("sliced"));
    QJsonObject request{
        {QStringLiteral("packagePath"),
         QFileInfo(options.required(QStringLiteral("package"))).absoluteFilePath()},
        {QStringLiteral("rasterPath"),
         QFileInfo(options.required(QStringLiteral("raster"))).absoluteFilePath()},
        {QStringLiteral("outputPath"),
         QFileInfo(options.required(QStringLiteral("output"))).absoluteFilePath()},
        {QStringLiteral("mode"), sliced ? QStringLiteral("sliced") : QStringLiteral("oneShot")},
    };
    for (const char* name : {"tile", "overlap", "agnostic-merge"}) {
        if (!sliced && (options.has(QLatin1String(name)) || options.flag(QLatin1String(name)))) {
            throw UsageError(std::string("--") + name + " needs --sliced");
        }
    }
    if (options.has(QStringLiteral("tile"))) {
        const QList<int> tile = pair(options, QStringLiteral("tile"));
        request.insert(QStringLiteral("tileWidth"), tile[0]);
        request.insert(QStringLiteral("tileHeight"), tile[1]);
    }
    if (options.has(QStringLiteral("overlap"))) {
        const QList<int> overlap = pair(options, QStringLiteral("overlap"));
        request.insert(QStringLiteral("overlapX"), overlap[0]);
        request.insert(QStringLiteral("overlapY"), overlap[1]);
    }
    if (options.flag(QStringLiteral("agnostic-merge"))) {
        request.insert(QStringLiteral("classAgnosticMerge"), true);
    }
    if (options.has(QStringLiteral("score"))) {
        request.insert(QStringLiteral("scoreThreshold"), unit(options, QStringLiteral("score")));
    }
    if (options.has(QStringLiteral("nms"))) {
        request.insert(QStringLiteral("nmsThreshold"), unit(options, QStringLiteral("nms")));
    }
    if (options.has(QStringLiteral("provider"))) {
        request.insert(QStringLiteral("provider"), options.value(QStringLiteral("provider")));
    }
    const int threads = options.has(QStringLiteral("threads"))
                            ? options.integer(QStringLiteral("threads"), 1, 64)
                            : DefaultIntraOpThreads;
    if (threads > 0) {
        request.insert(QStringLiteral("intraOpThreads"), threads);
    }

    // The synchronous function cannot be cancelled: Ctrl-C ends the process (the GeoPackage is staged, so
    // none appears half-written).
    setInterruptMode(InterruptMode::ExitNow);
    ProgressLine progress;
    const std::u16string text = wide(request);
    const QJsonObject result =
        takeJson(TarnivaleAI_RunObjectDetection(text.c_str(), &reportProgress, &progress));
    progress.finish();
    if (options.flag(QStringLiteral("json"))) {
        printJson(result);
        return 0;
    }
    printLine(QStringLiteral("Wrote %1 detection(s) to %2 (%3 x %4 raster, %5 ms of inference on %6).")
                  .arg(result.value(QStringLiteral("featureCount")).toInteger())
                  .arg(result.value(QStringLiteral("outputPath")).toString())
                  .arg(result.value(QStringLiteral("rasterWidth")).toInt())
                  .arg(result.value(QStringLiteral("rasterHeight")).toInt())
                  .arg(result.value(QStringLiteral("elapsedMilliseconds")).toInteger())
                  .arg(result.value(QStringLiteral("provider")).toString()));
    return 0;
}

}  // namespace Tarnivale::Cli
