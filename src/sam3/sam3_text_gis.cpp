#include <tarnivale/ai/sam3.h>

#include "runtime/errors.h"
#include "sam3/sam3_text_session_impl.h"

#include <QJsonArray>

namespace Tarnivale::AI {

namespace {

bool sameWindow(const AiSamPixelWindow& a, const AiSamPixelWindow& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

template <typename T>
QJsonArray arrayOf(const QList<T>& values) {
    QJsonArray array;
    for (const T& value : values) {
        array.append(value);
    }
    return array;
}

}  // namespace

AiSamGisResult AiSamTextSession::segmentToGis(const AiSamTiledRequest& request,
                                              const AiSamGisOptions& options,
                                              const AiRasterProgressCallback& progress) const {
    if (options.execution.maximumMilliseconds < 0) {
        throwInvalidArgument(QStringLiteral("Invalid SAM3 GIS deadline."));
    }
    AiSamTiledRequest tiled = request;
    const std::int64_t deadlines[] = {request.execution.maximumMilliseconds,
                                      options.execution.maximumMilliseconds};
    std::int64_t deadline = 0;
    for (const std::int64_t candidate : deadlines) {
        if (candidate > 0 && (deadline == 0 || candidate < deadline)) {
            deadline = candidate;
        }
    }
    tiled.execution.maximumMilliseconds = deadline;
    const SamRaster::Budget budget(tiled.execution);  // "Invalid SAM3 execution budget." for a bad one
    if (options.hasWindow != request.rasterOptions.hasWindow ||
        (options.hasWindow && !sameWindow(options.window, request.rasterOptions.window))) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS output/inference windows must agree."));
    }

    const QJsonObject manifest = d->session.package().manifest();
    QJsonObject provenance = options.provenance;
    provenance.insert(QStringLiteral("model"), manifest.value(QStringLiteral("model")));
    provenance.insert(QStringLiteral("revision"), manifest.value(QStringLiteral("revision")));
    provenance.insert(QStringLiteral("package_sha256"), d->packageDigest);
    provenance.insert(QStringLiteral("provider"), d->session.provider() == AiExecutionProvider::Cuda
                                                      ? QStringLiteral("CUDA")
                                                      : QStringLiteral("CPU"));
    const AiSamRasterOptions& raster = request.rasterOptions;
    provenance.insert(
        QStringLiteral("inference"),
        QJsonObject{
            {QStringLiteral("score_kind"), QStringLiteral("text_presence_times_query_probability")},
            {QStringLiteral("score_threshold"), request.scoreThreshold},
            {QStringLiteral("maximum_instances_per_tile"), static_cast<qint64>(request.maximumInstances)},
            {QStringLiteral("bands"), arrayOf(raster.bands)},
            {QStringLiteral("minimums"), arrayOf(raster.minimums)},
            {QStringLiteral("maximums"), arrayOf(raster.maximums)},
            {QStringLiteral("invalid_pixel_fill"), raster.invalidPixelFill},
            {QStringLiteral("minimum_valid_fraction"), raster.minimumValidFraction},
            {QStringLiteral("tile_width"), request.tileWidth},
            {QStringLiteral("tile_height"), request.tileHeight},
            {QStringLiteral("overlap_x"), request.overlapX},
            {QStringLiteral("overlap_y"), request.overlapY}});
    AiSamGisOptions writerOptions = options;
    writerOptions.provenance = provenance;
    writerOptions.execution.maximumMilliseconds = deadline;
    if (writerOptions.prompt.isEmpty()) {
        writerOptions.prompt = request.prompt;
    }
    if (!writerOptions.cancellationRequested) {
        writerOptions.cancellationRequested = request.cancellationRequested;
    }
    AiSamGisWriter writer(request.rasterPath, writerOptions);
    const AiSamTiledSummary summary = segmentTiled(
        tiled, [&writer](const AiSamTileResult& tile) { writer.consume(tile); }, progress);
    return writer.finish(summary);
}

}  // namespace Tarnivale::AI
