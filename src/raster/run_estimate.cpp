// What a raster run will cost, without running the model: its tiles, the executor's own memory accounting
// and the result's size. Users of large scenes learn before a long run that it will not fit.

#include <tarnivale/ai/raster.h>

#include "raster/raster_input.h"
#include "raster/run_estimate_json.h"
#include "raster/run_memory.h"
#include "runtime/errors.h"

#include <algorithm>

namespace Tarnivale::AI {

namespace {

/// K of the blended output: the declared channel count of the chosen output, after the decoder (whose own
/// checks run on a one-pixel tensor of that shape, so that a decoder the run would refuse is refused here).
std::int64_t outputChannels(const AiSession& session, const AiRasterInferenceRequest& request) {
    const bool decoding = !request.outputDecoder.id.trimmed().isEmpty();
    QString name = request.outputName;
    if (decoding && !request.outputDecoder.tensor.trimmed().isEmpty()) {
        name = request.outputDecoder.tensor;
    }
    const QList<AiTensorSpec> outputs = session.outputs();
    if (outputs.isEmpty()) {
        throwRuntimeError(QStringLiteral("The ONNX model returned no output tensors."));
    }
    const auto found = name.isEmpty()
                           ? outputs.begin()
                           : std::find_if(outputs.begin(), outputs.end(),
                                          [&](const AiTensorSpec& spec) { return spec.name == name; });
    if (found == outputs.end()) {
        throwInvalidArgument(QStringLiteral("ONNX output tensor was not found: %1").arg(name));
    }
    if (found->dataType != AiTensorDataType::Float32 || found->shape.size() != 4) {
        throwRuntimeError(
            QStringLiteral("Raster inference currently requires a Float32 NCHW output tensor."));
    }
    if (found->shape[1] < 1) {
        throwRuntimeError(
            QStringLiteral("The model's output channel count is not fixed, so the run cannot be estimated."));
    }
    if (!decoding) {
        return found->shape[1];
    }
    AiTensor pixel;
    pixel.name = found->name;
    pixel.shape = {1, found->shape[1], 1, 1};
    pixel.data = QByteArray(static_cast<qsizetype>(found->shape[1]) * 4, '\0');
    return AiOutputDecoder::decode(pixel, request.outputDecoder).shape[1];
}

}  // namespace

AiRasterRunEstimate AiRasterInferenceExecutor::estimate(const AiRasterInferenceRequest& request) {
    if (request.modelPath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI model path is required."));
    }
    if (request.rasterPath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI raster path is required."));
    }
    const RasterInput input = openRasterInput(request.rasterPath, request.bands);
    const qsizetype inputBytes = tileInputBytes(input.bands.size(), request.tiling);
    AiSessionOptions options = request.sessionOptions;
    options.provider = AiExecutionProvider::Cpu;  // the shapes are the model's, whichever provider runs it
    const AiSession session(request.modelPath, options);
    resolveInputName(session, request.inputName);
    const std::int64_t channels = outputChannels(session, request);

    AiRasterRunEstimate estimate;
    estimate.width = input.width;
    estimate.height = input.height;
    estimate.totalTiles =
        static_cast<std::int32_t>(AiTilePlanner::plan(input.width, input.height, request.tiling).size());
    const std::int64_t plane = std::int64_t{input.width} * input.height;
    const std::int64_t tile = std::int64_t{request.tiling.width} * request.tiling.height;
    const std::int64_t peak =
        RunMemory::atCompletion(RunMemory::atFirstTile(RunMemory::beforeTiles(plane), channels * tile * 4,
                                                       inputBytes, channels, plane),
                                request.outputMode, channels, plane);
    estimate.peakMemoryBytes = peak;
    const bool mask = request.outputMode == AiRasterOutputMode::ClassMask;
    estimate.outputBandCount = mask ? 1 : static_cast<std::int32_t>(channels);
    estimate.outputDataType = mask ? AiTensorDataType::Int32 : AiTensorDataType::Float32;
    estimate.outputBytes = plane * 4 * estimate.outputBandCount;
    return estimate;
}

QJsonObject runEstimateJson(const AiRasterRunEstimate& estimate) {
    return QJsonObject{
        {QStringLiteral("estimateOnly"), true},
        {QStringLiteral("width"), estimate.width},
        {QStringLiteral("height"), estimate.height},
        {QStringLiteral("totalTiles"), estimate.totalTiles},
        {QStringLiteral("bandCount"), estimate.outputBandCount},
        {QStringLiteral("dataType"), aiTensorDataTypeName(estimate.outputDataType)},
        {QStringLiteral("peakMemoryBytes"), static_cast<qint64>(estimate.peakMemoryBytes)},
        {QStringLiteral("outputBytes"), static_cast<qint64>(estimate.outputBytes)},
    };
}

}  // namespace Tarnivale::AI
