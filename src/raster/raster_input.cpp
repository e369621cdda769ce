#include "raster/raster_input.h"

#include "runtime/errors.h"
#include "runtime/huge_pages.h"
#include "runtime/sha256.h"

#include <QDateTime>
#include <QFileInfo>
#include <QUuid>

#include <gdal_priv.h>
#include <unistd.h>

#include <cstring>

namespace Tarnivale::AI {

namespace {
constexpr const char* kSdkVersion = "1.5.38";
}

RasterInput openRasterInput(const QString& rasterPath, const QList<std::int32_t>& bands) {
    RasterInput input;
    input.dataset = Gdal::open(rasterPath, GDAL_OF_RASTER | GDAL_OF_READONLY);
    if (!input.dataset) {
        throwRuntimeError(QStringLiteral("GDAL could not open the AI raster input."));
    }
    input.width = GDALGetRasterXSize(input.dataset.get());
    input.height = GDALGetRasterYSize(input.dataset.get());
    const int bandCount = GDALGetRasterCount(input.dataset.get());
    input.bands = bands;
    if (input.bands.isEmpty()) {
        for (int band = 1; band <= bandCount; ++band) {
            input.bands.append(band);
        }
    }
    for (const std::int32_t band : input.bands) {
        if (band < 1 || band > bandCount) {
            throwInvalidArgument(QStringLiteral("AI raster input band is outside the dataset band range."));
        }
    }
    double transform[6];
    if (GDALGetGeoTransform(input.dataset.get(), transform) == CE_None) {
        input.geoTransform = QList<double>(std::begin(transform), std::end(transform));
    }
    input.projectionWkt = QString::fromUtf8(GDALGetProjectionRef(input.dataset.get()));
    return input;
}

qsizetype tileInputBytes(qsizetype channels, const AiTileOptions& tiling) {
    qsizetype bytes = 0;
    if (channels < 1 || tiling.width < 1 || tiling.height < 1 ||
        __builtin_mul_overflow(channels, qsizetype{tiling.height}, &bytes) ||
        __builtin_mul_overflow(bytes, qsizetype{tiling.width}, &bytes) ||
        __builtin_mul_overflow(bytes, qsizetype{4}, &bytes) || bytes > MaximumTileInputBytes) {
        throwInvalidArgument(QStringLiteral("AI tile buffers exceed the supported size."));
    }
    return bytes;
}

TileReader::TileReader(RasterInput& input, const AiNormalization& normalization, const AiTileOptions& tiling,
                       const QString& inputName)
    : m_input(input), m_normalization(normalization), m_tiling(tiling) {
    const qsizetype channels = input.bands.size();
    AiTensor tensor;
    tensor.name = inputName;
    tensor.dataType = AiTensorDataType::Float32;
    tensor.shape = {1, channels, tiling.height, tiling.width};
    // Huge pages make its first touch a few faults instead of thousands (on a new thread, every run).
    const qsizetype bytes = tileInputBytes(channels, tiling);
    try {
        tensor.data = hugePageByteArray(bytes);
    } catch (const std::bad_alloc&) {
        throwRuntimeError(QStringLiteral("Cannot allocate AI tile buffers."));
    }
    tensor.data.fill('\0');
    m_inputs.append(tensor);
    m_bandMap.assign(input.bands.begin(), input.bands.end());
}

qsizetype TileReader::inputBytes() const {
    return m_inputs.front().data.size();
}

void TileReader::prepareNormalization() {
    const auto channelValue = [](const QList<double>& values, qsizetype channel, double fallback) {
        if (values.isEmpty()) {
            return fallback;
        }
        if (values.size() == 1) {
            return values.front();
        }
        if (channel >= values.size()) {
            throwInvalidArgument(
                QStringLiteral("AI normalization channel count does not match the selected raster bands."));
        }
        return values[channel];
    };
    const qsizetype channels = m_input.bands.size();
    m_identity = m_normalization.scale == 1.0;
    for (qsizetype c = 0; c < channels; ++c) {
        const double mean = channelValue(m_normalization.mean, c, 0.0);
        const double deviation = channelValue(m_normalization.standardDeviation, c, 1.0);
        if (deviation == 0.0) {
            throwInvalidArgument(QStringLiteral("AI normalization standard deviation cannot be zero."));
        }
        m_factor.push_back(m_normalization.scale / deviation);
        m_offset.push_back(-mean / deviation);
        m_identity = m_identity && mean == 0.0 && deviation == 1.0;
    }
    m_prepared = true;
}

const QList<AiTensor>& TileReader::read(const AiTileWindow& window) {
    if (!m_prepared) {
        prepareNormalization();
    }
    const qsizetype tileWidth = m_tiling.width;
    const qsizetype tileHeight = m_tiling.height;
    const qsizetype planeSize = tileWidth * tileHeight;
    float* tile = reinterpret_cast<float*>(m_inputs[0].data.data());

    // All selected bands in one dataset-level read, straight into the planar tensor layout.
    const CPLErr status = GDALDatasetRasterIO(
        m_input.dataset.get(), GF_Read, window.x, window.y, window.width, window.height, tile, window.width,
        window.height, GDT_Float32, static_cast<int>(m_bandMap.size()), m_bandMap.data(), sizeof(float),
        static_cast<GSpacing>(tileWidth * sizeof(float)), static_cast<GSpacing>(planeSize * sizeof(float)));
    if (status != CE_None) {
        throwRuntimeError(QStringLiteral("GDAL could not read an AI inference tile."));
    }

    for (qsizetype c = 0; c < static_cast<qsizetype>(m_bandMap.size()); ++c) {
        float* plane = tile + c * planeSize;
        if (!m_identity) {
            const double factor = m_factor[static_cast<size_t>(c)];
            const double offset = m_offset[static_cast<size_t>(c)];
            for (qsizetype row = 0; row < window.height; ++row) {
                float* line = plane + row * tileWidth;
                for (qsizetype column = 0; column < window.width; ++column) {
                    line[column] = static_cast<float>(static_cast<double>(line[column]) * factor + offset);
                }
            }
        }
        // Earlier windows may have left values in the padding: short windows are padded with zeros.
        if (window.width < tileWidth) {
            for (qsizetype row = 0; row < window.height; ++row) {
                std::memset(plane + row * tileWidth + window.width, 0,
                            static_cast<size_t>(tileWidth - window.width) * sizeof(float));
            }
        }
        if (window.height < tileHeight) {
            std::memset(plane + window.height * tileWidth, 0,
                        static_cast<size_t>((tileHeight - window.height) * tileWidth) * sizeof(float));
        }
    }
    return m_inputs;
}

const AiTensor& findOutput(const AiInferenceResult& result, const QString& name) {
    if (result.outputs.isEmpty()) {
        throwRuntimeError(QStringLiteral("The ONNX model returned no output tensors."));
    }
    if (name.isEmpty()) {
        return result.outputs.front();
    }
    for (const AiTensor& output : result.outputs) {
        if (output.name == name) {
            return output;
        }
    }
    throwInvalidArgument(QStringLiteral("ONNX output tensor was not found: %1").arg(name));
}

bool cancellationRequested(const AiRasterInferenceRequest& request) {
    return request.operationContext.isCancellationRequested() ||
           (request.cancellationRequested && request.cancellationRequested());
}

QString resolveInputName(const AiSession& session, const QString& requested) {
    const QList<AiTensorSpec> inputs = session.inputs();
    if (inputs.isEmpty()) {
        throwRuntimeError(QStringLiteral("The ONNX model has no input tensors."));
    }
    return requested.isEmpty() ? inputs.front().name : requested;
}

AiInferenceExecutionProvenance startProvenance(const AiRasterInferenceRequest& request,
                                               const RasterInput& input) {
    return startProvenance(request, input.projectionWkt, input.bands);
}

AiInferenceExecutionProvenance newExecutionProvenance() {
    AiInferenceExecutionProvenance provenance;
    provenance.executionId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    provenance.recordedAtUtc = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    return provenance;
}

AiInferenceExecutionProvenance startProvenance(const AiRasterInferenceRequest& request,
                                               const QString& sourceCrs, const QList<std::int32_t>& bands) {
    AiInferenceExecutionProvenance provenance = newExecutionProvenance();
    provenance.modelId = request.modelId;
    provenance.modelVersion = request.modelVersion;
    provenance.modelRevision = request.modelRevision;
    provenance.modelPath = QFileInfo(request.modelPath).absoluteFilePath();
    provenance.modelSha256 =
        request.modelSha256.isEmpty() ? sha256File(request.modelPath).hex : request.modelSha256;
    provenance.sourcePath = QFileInfo(request.rasterPath).absoluteFilePath();
    provenance.sourceCrs = sourceCrs;
    provenance.sdkVersion = QString::fromLatin1(kSdkVersion);
    provenance.runtimeVersion = AiSession::runtimeVersion();
    provenance.tiling = request.tiling;
    provenance.inputBands = bands;
    provenance.outputMode = request.outputMode;
    return provenance;
}

void completeProvenance(AiRasterInferenceResult& result) {
    AiInferenceExecutionProvenance& provenance = result.provenance;
    provenance.provider = result.provider;
    provenance.outputWidth = result.width;
    provenance.outputHeight = result.height;
    provenance.outputBandCount = result.bandCount;
    provenance.outputDataType = result.dataType;
    provenance.elapsedMilliseconds = result.elapsedMilliseconds;
    provenance.peakMemoryBytes = result.peakMemoryBytes;
    provenance.cancelled = result.cancelled;
}

std::int64_t currentWorkerThreadId() {
    const auto id = static_cast<std::uint32_t>(gettid());
    std::uint64_t hash = 14695981039346656037ULL;
    for (int byte = 0; byte < 4; ++byte) {
        hash ^= (id >> (8 * byte)) & 0xFFu;
        hash *= 1099511628211ULL;
    }
    return static_cast<std::int64_t>(hash & 0x7FFFFFFFFFFFFFFFULL);
}

}  // namespace Tarnivale::AI

namespace Tarnivale::AI {

void TileReader::releaseBlocksAbove(std::int32_t y) {
    Gdal::releaseBlockRowsAbove(m_input.dataset.get(), y, m_releasedBlockRows, false);
}

}  // namespace Tarnivale::AI
