// run: one synchronous raster inference through TarnivaleAI_RunRasterInference.

#include "cli_arguments.h"
#include "cli_errors.h"
#include "cli_estimate.h"
#include "cli_interrupt.h"
#include "cli_library.h"
#include "cli_output.h"
#include "commands.h"

#include <tarnivale/ai/interop.h>

#include <QFileInfo>
#include <QJsonArray>

namespace Tarnivale::Cli {

const char* const RunHelp =
    "Usage: tarnivale-ai run --package DIR --raster IN.tif --output OUT.tif [options] [--json]\n"
    "\n"
    "Runs the package's model tile by tile over the raster and writes a GeoTIFF with provenance. The\n"
    "package's input adapter and output decoder apply unless overridden.\n"
    "\n"
    "Options:\n"
    "  --preview OUT.tif     also write a colour preview of the classes (codes 0..15 coloured)\n"
    "  --float-bands         write the decoded scores as float bands instead of a class mask\n"
    "  --bands 1,2,3         raster bands in channel order (default: the package's first raster input\n"
    "                        adapter's, else all)\n"
    "  --decoder ID          apply that output decoder of the package (default: its first, if any)\n"
    "  --no-decoder          write the raw output: argmax of the channels, or float bands\n"
    "  --cog                 write Cloud-Optimised GeoTIFFs (DEFLATE, overviews, provenance kept)\n"
    "  --estimate            run nothing: print the tile count, the run's peak memory and the output size\n"
    "  --max-memory BYTES    refuse a run whose estimated peak memory is above BYTES (the run itself is\n"
    "                        also held to it)\n"
    "  --tile W,H[,OX,OY]    tile size and overlaps (default: the package's)\n"
    "  --provider P          cpu, cuda, ... (default: auto)\n"
    "  --threads N           intra-operator threads (default: ONNX Runtime's choice, one per physical\n"
    "                        core; measured as fast as the core count on 2-core machines)\n"
    "  --class-codes         write the manifest's class codes instead of class indices\n"
    "\n"
    "Ctrl-C ends the run at once with status 130; the output is only ever renamed into place whole.\n";

namespace {

struct ProgressState {
    ProgressLine line;
};

void reportProgress(int completedTiles, int totalTiles, int percent, const TarnivaleAI_Char* message,
                    void* userData) {
    static_cast<ProgressState*>(userData)->line.update(percent, QString::fromUtf16(message), completedTiles,
                                                       totalTiles);
}

// Colours for class codes 0..15 in the preview: the nine land-cover colours first, then distinct others.
QJsonArray defaultPalette() {
    static const int colors[16][3] = {{65, 155, 223},  {57, 125, 73},  {136, 176, 83},  {122, 135, 198},
                                      {228, 150, 53},  {223, 195, 90}, {196, 40, 27},   {165, 155, 143},
                                      {179, 159, 225}, {0, 0, 0},      {255, 255, 255}, {255, 0, 255},
                                      {0, 255, 255},   {255, 255, 0},  {128, 0, 0},     {0, 0, 128}};
    QJsonArray palette;
    for (int code = 0; code < 16; ++code) {
        palette.append(QJsonObject{{QStringLiteral("code"), code},
                                   {QStringLiteral("red"), colors[code][0]},
                                   {QStringLiteral("green"), colors[code][1]},
                                   {QStringLiteral("blue"), colors[code][2]}});
    }
    return palette;
}

// The id of the package's first output decoder, or empty: the run's default decoder.
QString firstDecoderId(const QString& package) {
    const std::u16string directory = wide(package);
    const QJsonObject inspection = takeJson(TarnivaleAI_InspectModelPackageJson(directory.c_str()));
    const QJsonArray decoders = inspection.value(QStringLiteral("manifest"))
                                    .toObject()
                                    .value(QStringLiteral("outputDecoders"))
                                    .toArray();
    return decoders.isEmpty() ? QString()
                              : decoders.first().toObject().value(QStringLiteral("id")).toString();
}

}  // namespace

int runCommand(const QStringList& arguments) {
    if (helpRequested(arguments, RunHelp)) {
        return 0;
    }
    const Arguments options(
        arguments,
        {QStringLiteral("package"), QStringLiteral("raster"), QStringLiteral("output"),
         QStringLiteral("preview"), QStringLiteral("bands"), QStringLiteral("tile"),
         QStringLiteral("provider"), QStringLiteral("threads"), QStringLiteral("decoder"),
         QStringLiteral("max-memory")},
        {QStringLiteral("float-bands"), QStringLiteral("class-codes"), QStringLiteral("no-decoder"),
         QStringLiteral("cog"), QStringLiteral("estimate")});
    options.expectOperands(0);
    if (options.has(QStringLiteral("decoder")) && options.flag(QStringLiteral("no-decoder"))) {
        throw UsageError("--decoder and --no-decoder exclude each other");
    }
    const QString package = QFileInfo(options.required(QStringLiteral("package"))).absoluteFilePath();
    QJsonObject request{
        {QStringLiteral("modelPackagePath"), package},
        {QStringLiteral("useInputAdapter"), true},
        {QStringLiteral("rasterPath"),
         QFileInfo(options.required(QStringLiteral("raster"))).absoluteFilePath()},
        {QStringLiteral("outputPath"),
         QFileInfo(options.required(QStringLiteral("output"))).absoluteFilePath()},
        {QStringLiteral("outputMode"), options.flag(QStringLiteral("float-bands"))
                                           ? QStringLiteral("floatBands")
                                           : QStringLiteral("classMask")},
        {QStringLiteral("applyManifestClassCodes"), options.flag(QStringLiteral("class-codes"))},
    };
    if (options.flag(QStringLiteral("cog"))) {
        request.insert(QStringLiteral("outputFormat"), QStringLiteral("COG"));
    }
    const qint64 budget =
        options.has(QStringLiteral("max-memory")) ? options.byteCount(QStringLiteral("max-memory")) : 0;
    if (budget > 0) {
        request.insert(QStringLiteral("memoryBudgetBytes"), budget);
    }
    if (options.has(QStringLiteral("preview"))) {
        request.insert(QStringLiteral("previewOutputPath"),
                       QFileInfo(options.value(QStringLiteral("preview"))).absoluteFilePath());
        request.insert(QStringLiteral("classPalette"), defaultPalette());
    }
    if (options.has(QStringLiteral("bands"))) {
        QJsonArray bands;
        for (const int band : options.integers(QStringLiteral("bands"))) {
            bands.append(band);
        }
        request.insert(QStringLiteral("bands"), bands);
    }
    if (options.has(QStringLiteral("tile"))) {
        const QList<int> tile = options.integers(QStringLiteral("tile"));
        if (tile.size() != 2 && tile.size() != 4) {
            throw UsageError("--tile takes W,H or W,H,OX,OY");
        }
        QJsonObject tiling{{QStringLiteral("width"), tile[0]}, {QStringLiteral("height"), tile[1]}};
        if (tile.size() == 4) {
            tiling.insert(QStringLiteral("overlapX"), tile[2]);
            tiling.insert(QStringLiteral("overlapY"), tile[3]);
        }
        request.insert(QStringLiteral("tiling"), tiling);
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

    // Asked of the library only once every option has been read, so that usage errors come first.
    const QString decoder = options.flag(QStringLiteral("no-decoder")) ? QString()
                            : options.has(QStringLiteral("decoder"))
                                ? options.value(QStringLiteral("decoder"))
                                : firstDecoderId(package);
    if (!decoder.isEmpty()) {
        request.insert(QStringLiteral("outputDecoderId"), decoder);
    }
    const bool json = options.flag(QStringLiteral("json"));
    const bool estimateOnly = options.flag(QStringLiteral("estimate"));
    if (estimateOnly || budget > 0) {
        QJsonObject estimateRequest = request;
        estimateRequest.insert(QStringLiteral("estimateOnly"), true);
        const std::u16string estimateText = wide(estimateRequest);
        reportEstimate(takeJson(TarnivaleAI_RunRasterInference(estimateText.c_str(), nullptr, nullptr)),
                       budget, json, estimateOnly);
        if (estimateOnly) {
            return 0;
        }
    }

    // The synchronous function cannot be cancelled: Ctrl-C ends the process (outputs are staged, so none
    // appears half-written).
    setInterruptMode(InterruptMode::ExitNow);
    ProgressState progress;
    const std::u16string text = wide(request);
    const QJsonObject result =
        takeJson(TarnivaleAI_RunRasterInference(text.c_str(), &reportProgress, &progress));
    progress.line.finish();
    if (json) {
        printJson(result);
        return 0;
    }
    printLine(QStringLiteral("Wrote %1 (%2 x %3, %4 band(s) of %5) in %6 ms on %7, %8 tiles.")
                  .arg(result.value(QStringLiteral("outputPath")).toString())
                  .arg(result.value(QStringLiteral("width")).toInt())
                  .arg(result.value(QStringLiteral("height")).toInt())
                  .arg(result.value(QStringLiteral("bandCount")).toInt())
                  .arg(result.value(QStringLiteral("dataType")).toString())
                  .arg(result.value(QStringLiteral("elapsedMilliseconds")).toInteger())
                  .arg(result.value(QStringLiteral("provider")).toString())
                  .arg(result.value(QStringLiteral("processedTiles")).toInt()));
    if (!result.value(QStringLiteral("previewOutputPath")).toString().isEmpty()) {
        printLine(
            QStringLiteral("Preview %1").arg(result.value(QStringLiteral("previewOutputPath")).toString()));
    }
    printLine(QStringLiteral("Provenance sha256 %1")
                  .arg(result.value(QStringLiteral("provenanceSha256")).toString()));
    return 0;
}

}  // namespace Tarnivale::Cli
