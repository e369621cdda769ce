#include <tarnivale/ai/raster.h>

#include "raster/feather.h"
#include "raster/output_decoding.h"
#include "raster/raster_input.h"
#include "raster/run_memory.h"
#include "runtime/errors.h"
#include "runtime/huge_pages.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <future>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

namespace Tarnivale::AI {

namespace {

using Tarnivale::Core::Operations::OperationResourceUsage;

// One raster run: the state the preparation, window and completion steps share.
class RasterRun {
public:
    RasterRun(const AiRasterInferenceRequest& request, const AiRasterProgressCallback& progress)
        : m_request(request), m_progress(progress) {}

    AiRasterInferenceResult execute();

private:
    void reportMemory(std::int64_t bytes);
    // A passed check restarts the latency timer; a stop ends the run as cancelled.
    bool stopRequested();
    AiRasterInferenceResult cancelled();
    /// False when a cancellation check between rows stopped it.
    bool blend(const AiTileWindow& window, const float* output);
    /// Writes the result for raster rows [m_finishedRows, untilRow) and frees their ring rows.
    void finishRows(std::int32_t untilRow);
    void complete();

    const AiRasterInferenceRequest& m_request;
    const AiRasterProgressCallback& m_progress;
    AiRasterInferenceResult m_result;
    QElapsedTimer m_latency;
    QElapsedTimer m_runTimer;
    std::int32_t m_totalTiles = 0;
    std::int32_t m_channels = 0;  // K, fixed by the first window
    // Windows advance row by row, so raster rows above the current window row are final. The weight sums and
    // the K accumulation planes therefore live in a ring of one tile height of rows (row y in slot y % rows),
    // and finished rows go straight into the result: the same sums, a fraction of the memory.
    std::int32_t m_ringRows = 0;
    std::int32_t m_finishedRows = 0;
    // What earlier windows touched: rows above m_touchedRowsEnd, and in the current window row the columns
    // left of m_touchedColumnsEnd. Everything else is stored rather than added, so ring rows need no
    // clearing before their reuse.
    std::int32_t m_touchedRowsEnd = 0;
    std::int32_t m_currentRowBottom = 0;
    std::int32_t m_touchedColumnsEnd = 0;
    PlaneBuffer m_weightSum;  // ring rows x W floats
    PlaneBuffer m_planes;     // K x ring rows x W floats
};

void RasterRun::reportMemory(std::int64_t bytes) {
    m_result.peakMemoryBytes = std::max(m_result.peakMemoryBytes, bytes);
    m_request.operationContext.enforceResourceUsage(
        OperationResourceUsage{bytes}, QStringLiteral("Tarnivale.AI.RasterInference"), m_request.rasterPath);
}

bool RasterRun::stopRequested() {
    if (cancellationRequested(m_request)) {
        return true;
    }
    m_latency.restart();
    return false;
}

AiRasterInferenceResult RasterRun::cancelled() {
    m_result.cancelled = true;
    m_result.cancellationLatencyMilliseconds = m_latency.elapsed();
    m_result.elapsedMilliseconds = m_runTimer.isValid() ? m_runTimer.elapsed() : 0;
    m_result.bandCount = 0;
    m_result.data.clear();
    if (m_progress) {
        AiRasterInferenceProgress last;
        last.completedTiles = m_result.processedTiles;
        last.totalTiles = m_totalTiles;
        last.percent = m_totalTiles == 0 ? 0 : m_result.processedTiles * 100 / m_totalTiles;
        last.message = QStringLiteral("AI raster inference cancelled.");
        m_progress(last);
    }
    completeProvenance(m_result);
    return m_result;
}

bool RasterRun::blend(const AiTileWindow& window, const float* output) {
    const AiTileOptions& tiling = m_request.tiling;
    const qsizetype rasterWidth = m_result.width;
    const qsizetype ringPlane = rasterWidth * m_ringRows;
    const qsizetype tilePlane = qsizetype{tiling.width} * tiling.height;
    const bool left = window.x == 0;
    const bool right = window.x + window.width == m_result.width;
    const bool top = window.y == 0;
    const bool bottom = window.y + window.height == m_result.height;

    // The weight is separable: one factor per column and one per row, multiplied and floored per pixel.
    std::vector<float> columnFactor(static_cast<size_t>(window.width));
    for (std::int32_t lx = 0; lx < window.width; ++lx) {
        columnFactor[static_cast<size_t>(lx)] =
            featherAxisFactor(lx, window.width, tiling.overlapX, left, right);
    }
    if (window.column == 0) {
        m_touchedRowsEnd = m_currentRowBottom;
        m_currentRowBottom = window.y + window.height;
        m_touchedColumnsEnd = 0;
    }
    const std::int32_t firstFreshColumn = std::max(0, m_touchedColumnsEnd - window.x);
    std::vector<float> weights(static_cast<size_t>(window.width));
    float* planes = m_planes.data();
    for (std::int32_t ly = 0; ly < window.height; ++ly) {
        if (stopRequested()) {
            return false;
        }
        const float rowFactor = featherAxisFactor(ly, window.height, tiling.overlapY, top, bottom);
        for (std::int32_t lx = 0; lx < window.width; ++lx) {
            weights[static_cast<size_t>(lx)] =
                std::max(columnFactor[static_cast<size_t>(lx)] * rowFactor, kMinimumFeatherWeight);
        }
        const qsizetype ringOffset = ((window.y + ly) % m_ringRows) * rasterWidth + window.x;
        // Pixels no earlier window touched hold stale values from a finished row: store into them. Adding the
        // product to +0 keeps the sign of zero exactly as accumulating into a cleared plane would.
        const std::int32_t fresh = window.y + ly >= m_touchedRowsEnd ? firstFreshColumn : window.width;
        const float* w = weights.data();
        float* weightRow = m_weightSum.data() + ringOffset;
        for (std::int32_t lx = 0; lx < fresh; ++lx) {
            weightRow[lx] += w[lx];
        }
        for (std::int32_t lx = fresh; lx < window.width; ++lx) {
            weightRow[lx] = w[lx];
        }
        for (std::int32_t k = 0; k < m_channels; ++k) {
            const float* source = output + k * tilePlane + qsizetype{ly} * tiling.width;
            float* target = planes + k * ringPlane + ringOffset;
            for (std::int32_t lx = 0; lx < fresh; ++lx) {
                target[lx] += w[lx] * source[lx];
            }
            for (std::int32_t lx = fresh; lx < window.width; ++lx) {
                target[lx] = 0.0f + w[lx] * source[lx];
            }
        }
    }
    m_touchedColumnsEnd = window.x + window.width;
    return true;
}

void RasterRun::finishRows(std::int32_t untilRow) {
    if (untilRow <= m_finishedRows) {
        return;
    }
    const qsizetype width = m_result.width;
    const qsizetype planeSize = width * m_result.height;
    const qsizetype ringPlane = width * m_ringRows;
    const bool classMask = m_request.outputMode == AiRasterOutputMode::ClassMask;
    if (m_result.data.isEmpty()) {
        m_result.data = hugePageByteArray((classMask ? 1 : m_channels) * planeSize * qsizetype{4});
    }
    const bool thresholded = classMask && !m_request.outputDecoder.id.trimmed().isEmpty() && m_channels == 1;
    // A float is at least the (double) threshold exactly when it is at least the smallest float that is:
    // comparing in float keeps the per-pixel loop vectorised and gives the same answers.
    float threshold = static_cast<float>(m_request.outputDecoder.threshold);
    if (static_cast<double>(threshold) < m_request.outputDecoder.threshold) {
        threshold = std::nextafter(threshold, std::numeric_limits<float>::infinity());
    }
    char* resultBytes = m_result.data.data();  // taken once: both threads below write through it
    // Rows are independent and the cores are otherwise idle between model runs: finish two halves at once.
    const auto finishRange = [&](std::int32_t firstRow, std::int32_t endRow) {
        std::vector<float> best(static_cast<size_t>(width));
        for (std::int32_t y = firstRow; y < endRow; ++y) {
            float* weights = m_weightSum.data() + (y % m_ringRows) * width;
            float* planes = m_planes.data() + (y % m_ringRows) * width;
            // Accumulated values are normalised by the weight sums; pixels no window covered keep their
            // zeros. Each loop runs over one channel of the row, so that it vectorises.
            const auto normalise = [&](std::int32_t k, float* target) {
                const float* values = planes + k * ringPlane;
                for (qsizetype x = 0; x < width; ++x) {
                    // Dividing by one is exact, so uncovered pixels keep their value; selecting the divisor
                    // on its own line lets the compiler vectorise the loop.
                    const float divisor = weights[x] > 0.0f ? weights[x] : 1.0f;
                    target[x] = values[x] / divisor;
                }
            };
            if (thresholded) {
                auto* classes = reinterpret_cast<std::int32_t*>(resultBytes) + y * width;
                float* probabilities = best.data();
                normalise(0, probabilities);
                for (qsizetype x = 0; x < width; ++x) {
                    classes[x] = probabilities[x] >= threshold ? 1 : 0;
                }
            } else if (classMask) {
                // Argmax with the lowest channel index winning ties: only a strictly larger value takes over.
                auto* classes = reinterpret_cast<std::int32_t*>(resultBytes) + y * width;
                float* bestValues = best.data();
                normalise(0, bestValues);
                std::fill(classes, classes + width, 0);
                for (std::int32_t k = 1; k < m_channels; ++k) {
                    const float* values = planes + k * ringPlane;
                    for (qsizetype x = 0; x < width; ++x) {
                        const float divisor = weights[x] > 0.0f ? weights[x] : 1.0f;
                        const float value = values[x] / divisor;
                        const float current = bestValues[x];
                        const std::int32_t currentClass = classes[x];
                        // Branch-free selects, so that the loop vectorises.
                        const std::int32_t larger = -static_cast<std::int32_t>(value > current);
                        bestValues[x] = std::max(current, value);
                        classes[x] = (k & larger) | (currentClass & ~larger);
                    }
                }
            } else {
                auto* bands = reinterpret_cast<float*>(resultBytes) + y * width;
                for (std::int32_t k = 0; k < m_channels; ++k) {
                    normalise(k, bands + k * planeSize);
                }
            }
        }
    };
    const std::int32_t middle = m_finishedRows + (untilRow - m_finishedRows) / 2;
    if (untilRow - m_finishedRows >= 64) {
        std::thread helper(finishRange, middle, untilRow);
        finishRange(m_finishedRows, middle);
        helper.join();
    } else {
        finishRange(m_finishedRows, untilRow);
    }
    m_finishedRows = untilRow;
}

void RasterRun::complete() {
    const qsizetype planeSize = qsizetype{m_result.width} * m_result.height;
    m_result.processedTiles = m_totalTiles;
    m_result.elapsedMilliseconds = m_runTimer.elapsed();
    if (m_request.outputMode == AiRasterOutputMode::ClassMask) {
        m_result.bandCount = 1;
        m_result.dataType = AiTensorDataType::Int32;
    } else {
        m_result.bandCount = m_channels;
        m_result.dataType = AiTensorDataType::Float32;
    }
    reportMemory(
        RunMemory::atCompletion(m_result.peakMemoryBytes, m_request.outputMode, m_channels, planeSize));
    finishRows(m_result.height);
    m_planes.reset();
    m_weightSum.reset();
    completeProvenance(m_result);
}

AiRasterInferenceResult RasterRun::execute() {
    const AiRasterInferenceRequest& request = m_request;
    if (request.modelPath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI model path is required."));
    }
    if (request.rasterPath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI raster path is required."));
    }
    RasterInput input = openRasterInput(request.rasterPath, request.bands);
    m_result.width = input.width;
    m_result.height = input.height;
    m_result.workerThreadId = currentWorkerThreadId();
    m_result.geoTransform = input.geoTransform;
    m_result.projectionWkt = input.projectionWkt;
    m_result.provenance = startProvenance(request, input);

    m_latency.start();
    if (stopRequested()) {
        return cancelled();
    }
    tileInputBytes(input.bands.size(), request.tiling);  // refuses tiles too large to represent first
    const AiSession session(request.modelPath, request.sessionOptions);
    m_result.provider = session.provider();
    const QString inputName = resolveInputName(session, request.inputName);
    const QList<AiTileWindow> windows = AiTilePlanner::plan(input.width, input.height, request.tiling);
    m_totalTiles = static_cast<std::int32_t>(windows.size());

    const qsizetype planeSize = qsizetype{input.width} * input.height;
    m_ringRows = std::min(request.tiling.height, input.height);
    m_weightSum = PlaneBuffer(static_cast<size_t>(input.width) * static_cast<size_t>(m_ringRows));
    reportMemory(RunMemory::beforeTiles(planeSize));
    m_runTimer.start();

    const bool decoding = !request.outputDecoder.id.trimmed().isEmpty();
    QString outputName = request.outputName;
    if (decoding && !request.outputDecoder.tensor.trimmed().isEmpty()) {
        outputName = request.outputDecoder.tensor;
    }
    // Two readers, so that the next window is read on a helper thread while the model runs on this one. The
    // dataset is only ever used by one thread at a time: the helper between the start of a read and its
    // collection, this thread (releasing cached blocks) outside that span.
    TileReader reader(input, request.normalization, request.tiling, inputName);
    TileReader nextReader(input, request.normalization, request.tiling, inputName);
    TileReader* readers[2] = {&reader, &nextReader};
    // Kept across tiles so that their buffers are reused rather than allocated (and faulted in) per tile.
    AiInferenceResult inference;
    AiTensor decoded;
    std::future<void> pendingRead;
    const auto collectRead = [&pendingRead] {
        if (pendingRead.valid()) {
            pendingRead.get();  // rethrows the read's failure here, when its window comes up
        }
    };
    if (!windows.isEmpty()) {
        reader.read(windows.front());
    }

    for (qsizetype index = 0; index < windows.size(); ++index) {
        const AiTileWindow& window = windows[index];
        if (stopRequested()) {
            if (pendingRead.valid()) {
                pendingRead.wait();
            }
            return cancelled();
        }
        collectRead();
        // The rows above a new window row are finished on helper threads while the model runs its first
        // window; they share ring slots with that window's bottom rows, so they are joined before blending.
        std::future<void> finishing;
        if (window.column == 0 && index > 0) {
            finishing = std::async(std::launch::async, [this, y = window.y] { finishRows(y); });
            reader.releaseBlocksAbove(window.y);
        }
        if (index + 1 < windows.size()) {
            TileReader* next = readers[(index + 1) % 2];
            const AiTileWindow& nextWindow = windows[index + 1];
            pendingRead = std::async(std::launch::async, [next, &nextWindow] { next->read(nextWindow); });
        }
        session.runInto(readers[index % 2]->tensors(), inference);
        const AiTensor* output = &findOutput(inference, outputName);
        if (decoding) {
            decodeInto(*output, request.outputDecoder, decoded);
            output = &decoded;
        }
        if (output->dataType != AiTensorDataType::Float32 || output->shape.size() != 4 ||
            output->shape[0] != 1) {
            throwRuntimeError(
                QStringLiteral("Raster inference currently requires a Float32 NCHW output tensor."));
        }
        if (output->shape[2] != request.tiling.height || output->shape[3] != request.tiling.width) {
            throwRuntimeError(QStringLiteral(
                "ONNX output tile dimensions do not match the configured inference tile size."));
        }
        const std::int64_t channels = output->shape[1];
        if (index == 0) {
            m_channels = static_cast<std::int32_t>(channels);
            reportMemory(RunMemory::atFirstTile(m_result.peakMemoryBytes, output->data.size(),
                                                reader.inputBytes(), channels, planeSize));
            m_planes =
                PlaneBuffer(static_cast<size_t>(channels * input.width) * static_cast<size_t>(m_ringRows));
        } else if (channels != m_channels) {
            throwRuntimeError(QStringLiteral("ONNX output channel count changed between inference tiles."));
        }
        if (finishing.valid()) {
            finishing.get();
        }
        if (!blend(window, reinterpret_cast<const float*>(output->data.constData()))) {
            return cancelled();
        }
        m_result.processedTiles = static_cast<std::int32_t>(index + 1);
        if (m_progress) {
            AiRasterInferenceProgress progress;
            progress.completedTiles = static_cast<std::int32_t>(index + 1);
            progress.totalTiles = m_totalTiles;
            progress.percent = static_cast<std::int32_t>((index + 1) * 100 / m_totalTiles);
            progress.message = QStringLiteral("Processed AI tile %1 of %2.").arg(index + 1).arg(m_totalTiles);
            m_progress(progress);
        }
    }
    complete();
    return m_result;
}

}  // namespace

AiRasterInferenceResult AiRasterInferenceExecutor::run(const AiRasterInferenceRequest& request,
                                                       const AiRasterProgressCallback& progress) {
    RasterRun run(request, progress);
    return run.execute();
}

}  // namespace Tarnivale::AI
