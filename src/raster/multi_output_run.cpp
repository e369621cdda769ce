#include <tarnivale/ai/raster.h>

#include "raster/raster_input.h"
#include "runtime/errors.h"

#include <QElapsedTimer>

#include <vector>

namespace Tarnivale::AI {

namespace {

struct DecoderPlanes {
    std::int32_t channels = 0;  // fixed by the decoder's first window
    QByteArray planes;          // channels x W x H floats, unweighted sums
};

void checkDecoders(const AiRasterInferenceRequest& request, const QList<AiOutputDecoderSpec>& decoders) {
    if (request.modelPath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI model path is required."));
    }
    if (request.rasterPath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI raster path is required."));
    }
    if (decoders.isEmpty()) {
        throwInvalidArgument(QStringLiteral("At least one AI output decoder is required."));
    }
    QList<QString> seen;
    for (const AiOutputDecoderSpec& decoder : decoders) {
        if (decoder.id.trimmed().isEmpty()) {
            throwInvalidArgument(QStringLiteral("Every AI output decoder must have an id."));
        }
        if (seen.contains(decoder.id)) {
            throwInvalidArgument(QStringLiteral("AI output decoder ids must be unique."));
        }
        seen.append(decoder.id);
    }
}

}  // namespace

QList<AiDecodedRasterOutput> AiRasterInferenceExecutor::runDecodedOutputs(
    const AiRasterInferenceRequest& request, const QList<AiOutputDecoderSpec>& decoders,
    const AiRasterProgressCallback& progress) {
    checkDecoders(request, decoders);
    RasterInput input = openRasterInput(request.rasterPath, request.bands);
    tileInputBytes(input.bands.size(), request.tiling);  // refuses tiles too large to represent first
    const AiSession session(request.modelPath, request.sessionOptions);
    const QString inputName = resolveInputName(session, request.inputName);
    const QList<AiTileWindow> windows = AiTilePlanner::plan(input.width, input.height, request.tiling);
    const auto total = static_cast<std::int32_t>(windows.size());

    const qsizetype rasterWidth = input.width;
    const qsizetype planeSize = rasterWidth * input.height;
    const qsizetype tileWidth = request.tiling.width;
    const qsizetype tilePlane = tileWidth * request.tiling.height;
    std::vector<float> coverage(static_cast<size_t>(planeSize), 0.0f);
    std::vector<DecoderPlanes> accumulated(static_cast<size_t>(decoders.size()));
    QElapsedTimer runTimer;
    runTimer.start();

    TileReader reader(input, request.normalization, request.tiling, inputName);
    std::int32_t done = 0;
    for (const AiTileWindow& window : windows) {
        if (cancellationRequested(request)) {
            break;
        }
        if (window.column == 0) {
            reader.releaseBlocksAbove(window.y);
        }
        const AiInferenceResult inference = session.run(reader.read(window));
        for (qsizetype d = 0; d < decoders.size(); ++d) {
            const AiTensor decoded =
                AiOutputDecoder::decode(findOutput(inference, decoders[d].tensor), decoders[d]);
            if (decoded.dataType != AiTensorDataType::Float32 || decoded.shape.size() != 4 ||
                decoded.shape[0] != 1) {
                throwRuntimeError(QStringLiteral("Decoded raster output must be a Float32 NCHW tensor."));
            }
            if (decoded.shape[2] != request.tiling.height || decoded.shape[3] != request.tiling.width) {
                throwRuntimeError(
                    QStringLiteral("Decoded raster output dimensions do not match the inference tile size."));
            }
            DecoderPlanes& target = accumulated[static_cast<size_t>(d)];
            const std::int64_t channels = decoded.shape[1];
            if (target.planes.isEmpty()) {
                target.channels = static_cast<std::int32_t>(channels);
                target.planes = QByteArray(channels * planeSize * 4, '\0');
            } else if (channels != target.channels) {
                throwRuntimeError(
                    QStringLiteral("Decoded output channel count changed between inference tiles."));
            }
            const auto* values = reinterpret_cast<const float*>(decoded.data.constData());
            auto* planes = reinterpret_cast<float*>(target.planes.data());
            for (std::int64_t k = 0; k < channels; ++k) {
                for (std::int32_t ly = 0; ly < window.height; ++ly) {
                    const float* source = values + k * tilePlane + ly * tileWidth;
                    float* row = planes + k * planeSize + (window.y + ly) * rasterWidth + window.x;
                    for (std::int32_t lx = 0; lx < window.width; ++lx) {
                        row[lx] += source[lx];
                    }
                }
            }
        }
        for (std::int32_t ly = 0; ly < window.height; ++ly) {
            float* row = coverage.data() + (window.y + ly) * rasterWidth + window.x;
            for (std::int32_t lx = 0; lx < window.width; ++lx) {
                row[lx] += 1.0f;
            }
        }
        ++done;
        if (progress) {
            progress(AiRasterInferenceProgress{done, total, done * 100 / total,
                                               QStringLiteral("Processed AI tile %1 of %2 for %3 outputs.")
                                                   .arg(done)
                                                   .arg(total)
                                                   .arg(decoders.size())});
        }
    }
    const std::int64_t elapsed = runTimer.elapsed();

    QList<AiDecodedRasterOutput> outputs;
    for (qsizetype d = 0; d < decoders.size(); ++d) {
        DecoderPlanes& source = accumulated[static_cast<size_t>(d)];
        auto* planes = reinterpret_cast<float*>(source.planes.data());
        for (std::int32_t k = 0; k < source.channels; ++k) {
            float* plane = planes + k * planeSize;
            for (qsizetype pixel = 0; pixel < planeSize; ++pixel) {
                if (coverage[static_cast<size_t>(pixel)] > 0.0f) {
                    plane[pixel] /= coverage[static_cast<size_t>(pixel)];
                }
            }
        }
        AiDecodedRasterOutput output;
        output.id = decoders[d].id;
        AiRasterInferenceResult& result = output.result;
        result.width = input.width;
        result.height = input.height;
        result.bandCount = source.channels;
        result.dataType = AiTensorDataType::Float32;
        result.data = std::move(source.planes);
        result.geoTransform = input.geoTransform;
        result.projectionWkt = input.projectionWkt;
        result.processedTiles = done;
        result.elapsedMilliseconds = elapsed;
        result.provider = session.provider();
        result.workerThreadId = currentWorkerThreadId();
        result.cancelled = done != total;
        result.peakMemoryBytes = result.data.size();
        result.provenance = startProvenance(request, input);
        result.provenance.outputMode = AiRasterOutputMode::FloatBands;
        completeProvenance(result);
        outputs.append(output);
    }
    if (done != total && progress) {
        progress(AiRasterInferenceProgress{done, total, total == 0 ? 0 : done * 100 / total,
                                           QStringLiteral("AI raster inference cancelled.")});
    }
    return outputs;
}

}  // namespace Tarnivale::AI
