#include "detection/detection_input.h"

#include "raster/raster_input.h"
#include "runtime/errors.h"

#include <algorithm>
#include <limits>

namespace Tarnivale::AI {

namespace {

/// A channel's mean or deviation: the last value repeats for further channels; none gives the default.
double channelValue(const QList<double>& values, qsizetype channel, double none) {
    return values.isEmpty() ? none : values.at(std::min(channel, values.size() - 1));
}

float normalised(double value, double scale, double mean, double deviation) {
    return static_cast<float>((value * scale - mean) / deviation);
}

}  // namespace

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

    // The table holds exactly what the general path computes for each of the 256 values.
    const int bandCount = GDALGetRasterCount(dataset);
    std::vector<std::array<float, 256>> tables;
    for (qsizetype c = 0; c < input.channels; ++c) {
        const std::int32_t band = input.adapter.bands.at(c);
        if (band < 1 || band > bandCount ||
            GDALGetRasterDataType(GDALGetRasterBand(dataset, band)) != GDT_Byte) {
            return;
        }
        const double mean = channelValue(normalization.mean, c, 0.0);
        const double deviation = channelValue(normalization.standardDeviation, c, 1.0);
        if (deviation == 0.0) {
            return;
        }
        std::array<float, 256>& table = tables.emplace_back();
        for (int value = 0; value < 256; ++value) {
            table[value] = normalised(value, normalization.scale, mean, deviation);
        }
    }
    m_byteValues = std::move(tables);
    m_bytes.resize(static_cast<std::size_t>(input.channels) * input.height * input.width);
}

bool DetectionTensorReader::readBytes(std::int32_t x, std::int32_t y, std::int32_t width,
                                      std::int32_t height) {
    if (m_byteValues.empty()) {
        return false;
    }
    const qsizetype C = m_input.channels;
    const qsizetype plane = qsizetype{width} * height;
    std::vector<int> bands(m_input.adapter.bands.begin(), m_input.adapter.bands.end());
    if (GDALDatasetRasterIO(m_dataset, GF_Read, x, y, width, height, m_bytes.data(), width, height, GDT_Byte,
                            static_cast<int>(C), bands.data(), 1, width, plane) != CE_None) {
        throwRuntimeError(QStringLiteral("Raster pixels could not be read."));
    }
    const qsizetype H = m_input.height;
    const qsizetype W = m_input.width;
    const qsizetype pixelStep = m_input.nhwc ? C : 1;
    auto* tensor = reinterpret_cast<float*>(m_inputs.first().data.data());
    for (qsizetype c = 0; c < C; ++c) {
        const std::array<float, 256>& table = m_byteValues[static_cast<std::size_t>(c)];
        const std::uint8_t* bytes = m_bytes.data() + c * plane;
        float* values = tensor + (m_input.nhwc ? c : c * H * W);
        for (qsizetype row = 0; row < height; ++row, bytes += width, values += W * pixelStep) {
            if (pixelStep == 1) {
                std::transform(bytes, bytes + width, values,
                               [&table](std::uint8_t byte) { return table[byte]; });
                continue;
            }
            for (qsizetype column = 0; column < width; ++column) {
                values[column * pixelStep] = table[bytes[column]];
            }
        }
    }
    return true;
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
    if (bufferWidth == width && bufferHeight == height && readBytes(x, y, width, height)) {
        return m_inputs;
    }
    // GDAL writes each band straight into its place in the tensor (planes for NCHW, every C-th value for
    // NHWC), so the values are normalised where they lie: no band buffer, no second copy.
    const qsizetype pixelStep = m_input.nhwc ? C : 1;
    const qsizetype lineStep = W * pixelStep;
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
        const double mean = channelValue(m_normalization.mean, c, 0.0);
        const double deviation = channelValue(m_normalization.standardDeviation, c, 1.0);
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
                values[column] = normalised(values[column], scale, mean, deviation);
            }
        }
    }
    return m_inputs;
}

}  // namespace Tarnivale::AI
