#include "detection/detection_input.h"

#include "raster/raster_input.h"
#include "runtime/errors.h"

#include <algorithm>
#include <limits>

namespace Tarnivale::AI {

DetectionModelInput detectionModelInput(const AiModelManifest& manifest) {
    DetectionModelInput input;
    const auto adapter =
        std::find_if(manifest.inputAdapters.begin(), manifest.inputAdapters.end(), [](const auto& candidate) {
            return candidate.source.trimmed().compare(QLatin1String("raster"), Qt::CaseInsensitive) == 0;
        });
    if (adapter == manifest.inputAdapters.end()) {
        throwInvalidArgument(QStringLiteral("Object-detection manifest requires a raster input adapter."));
    }
    input.adapter = *adapter;
    const auto tensor = std::find_if(manifest.inputs.begin(), manifest.inputs.end(),
                                     [&](const AiTensorSpec& spec) { return spec.name == adapter->tensor; });
    if (tensor == manifest.inputs.end()) {
        throwInvalidArgument(
            QStringLiteral("Raster input adapter references an unknown tensor: %1").arg(adapter->tensor));
    }
    input.tensor = *tensor;
    if (tensor->dataType != AiTensorDataType::Float32 || tensor->shape.size() != 4) {
        throwInvalidArgument(QStringLiteral(
            "Raster object detection currently requires a fixed four-dimensional Float32 input."));
    }
    if (tensor->layout != AiTensorLayout::NCHW && tensor->layout != AiTensorLayout::NHWC) {
        throwInvalidArgument(QStringLiteral("Raster object detection input layout must be NCHW or NHWC."));
    }
    input.nhwc = tensor->layout == AiTensorLayout::NHWC;
    const QList<std::int64_t>& shape = tensor->shape;
    const std::int64_t channels = input.nhwc ? shape[3] : shape[1];
    const std::int64_t height = input.nhwc ? shape[1] : shape[2];
    const std::int64_t width = input.nhwc ? shape[2] : shape[3];
    if (shape[0] != 1 || channels < 1 || height < 1 || width < 1) {
        throwInvalidArgument(QStringLiteral(
            "Raster object detection requires fixed positive input dimensions and batch size 1."));
    }
    constexpr std::int64_t largest = std::numeric_limits<std::int32_t>::max();
    if (channels > largest || height > largest || width > largest) {
        throwInvalidArgument(QStringLiteral("AI tile buffers exceed the supported size."));
    }
    input.channels = static_cast<std::int32_t>(channels);
    input.height = static_cast<std::int32_t>(height);
    input.width = static_cast<std::int32_t>(width);
    if (adapter->bands.size() != channels) {
        throwInvalidArgument(
            QStringLiteral("Raster input adapter band count must match the model channel count."));
    }
    input.resizeMode = adapter->resize.trimmed().toLower();
    if (!input.resizeMode.isEmpty() && input.resizeMode != QLatin1String("none") && !input.resamples()) {
        throwInvalidArgument(
            QStringLiteral("Unsupported raster object-detection resize mode: %1").arg(input.resizeMode));
    }
    // Refused here, before anything is allocated, whatever size a manifest declares.
    AiTileOptions size;
    size.width = input.width;
    size.height = input.height;
    tileInputBytes(input.channels, size);
    return input;
}

DetectionTensorReader::DetectionTensorReader(GDALDatasetH dataset, const DetectionModelInput& input,
                                             const AiNormalization& normalization)
    : m_dataset(dataset), m_input(input), m_normalization(normalization) {
    AiTensor tensor;
    tensor.name = input.adapter.tensor;
    tensor.dataType = AiTensorDataType::Float32;
    tensor.layout = input.tensor.layout;
    tensor.shape = input.tensor.shape;
    tensor.data = QByteArray(static_cast<qsizetype>(input.channels) * input.height * input.width *
                                 static_cast<qsizetype>(sizeof(float)),
                             Qt::Uninitialized);
    m_inputs.append(tensor);
}

const QList<AiTensor>& DetectionTensorReader::read(std::int32_t x, std::int32_t y, std::int32_t width,
                                                   std::int32_t height, std::int32_t bufferWidth,
                                                   std::int32_t bufferHeight) {
    const qsizetype C = m_input.channels;
    const qsizetype H = m_input.height;
    const qsizetype W = m_input.width;
    auto* tensor = reinterpret_cast<float*>(m_inputs.first().data.data());
    if (bufferWidth < W || bufferHeight < H) {
        std::fill_n(tensor, C * H * W, 0.0f);
    }
    // GDAL writes each band straight into its place in the tensor (planes for NCHW, every C-th value for
    // NHWC), so the values are normalised where they lie: no band buffer, no second copy.
    const qsizetype pixelStep = m_input.nhwc ? C : 1;
    const qsizetype lineStep = W * pixelStep;
    const QList<double>& means = m_normalization.mean;
    const QList<double>& deviations = m_normalization.standardDeviation;
    const int bandCount = GDALGetRasterCount(m_dataset);
    GDALRasterIOExtraArg extra;
    INIT_RASTERIO_EXTRA_ARG(extra);
    extra.eResampleAlg =
        (bufferWidth != width || bufferHeight != height) ? GRIORA_Bilinear : GRIORA_NearestNeighbour;
    for (qsizetype c = 0; c < C; ++c) {
        const std::int32_t band = m_input.adapter.bands.at(c);
        if (band < 1 || band > bandCount) {
            throwInvalidArgument(QStringLiteral("Raster input adapter references an unavailable band."));
        }
        float* plane = tensor + (m_input.nhwc ? c : c * H * W);
        if (GDALRasterIOEx(GDALGetRasterBand(m_dataset, band), GF_Read, x, y, width, height, plane,
                           bufferWidth, bufferHeight, GDT_Float32, pixelStep * GSpacing{sizeof(float)},
                           lineStep * GSpacing{sizeof(float)}, &extra) != CE_None) {
            throwRuntimeError(QStringLiteral("Raster pixels could not be read."));
        }
        const double mean = means.isEmpty() ? 0.0 : means.at(std::min(c, means.size() - 1));
        const double deviation =
            deviations.isEmpty() ? 1.0 : deviations.at(std::min(c, deviations.size() - 1));
        if (deviation == 0.0) {
            throwInvalidArgument(QStringLiteral("Normalization standard deviation cannot be zero."));
        }
        const double scale = m_normalization.scale;
        if (scale == 1.0 && mean == 0.0 && deviation == 1.0) {
            continue;
        }
        for (qsizetype row = 0; row < bufferHeight; ++row) {
            float* values = plane + row * lineStep;
            for (qsizetype column = 0; column < bufferWidth * pixelStep; column += pixelStep) {
                values[column] =
                    static_cast<float>((static_cast<double>(values[column]) * scale - mean) / deviation);
            }
        }
    }
    return m_inputs;
}

}  // namespace Tarnivale::AI
