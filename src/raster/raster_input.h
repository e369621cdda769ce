#pragma once

// What the raster executors share: opening the source raster and selecting its bands, reading and
// normalising one window into the model's input tensor, finding an output by name, the provenance's
// starting values and the worker thread identifier.

#include <tarnivale/ai/raster.h>

#include "runtime/gdal_handles.h"

#include <vector>

namespace Tarnivale::AI {

/// The opened source raster with its selected bands and georeferencing.
struct RasterInput {
    Gdal::Dataset dataset;
    std::int32_t width = 0;
    std::int32_t height = 0;
    QList<std::int32_t> bands;  ///< the selected one-based bands, in channel order
    QList<double> geoTransform;
    QString projectionWkt;
};

/// A tile's input tensor may not exceed this (64 GiB): larger products are refused before anything is
/// allocated, whatever the tiling a request or manifest carries.
inline constexpr qsizetype MaximumTileInputBytes = qsizetype{1} << 36;

/// channels x height x width x 4, computed without overflow; "AI tile buffers exceed the supported size."
/// when it cannot be represented or passes MaximumTileInputBytes.
qsizetype tileInputBytes(qsizetype channels, const AiTileOptions& tiling);

/// Opens the raster read-only and checks the selected bands (empty = all of them).
RasterInput openRasterInput(const QString& rasterPath, const QList<std::int32_t>& bands);

/// Reads windows of the selected bands into a reused [1, C, tileH, tileW] Float32 tensor, normalised and
/// zero-padded on the right and bottom where the window is smaller than the tile.
class TileReader {
public:
    TileReader(RasterInput& input, const AiNormalization& normalization, const AiTileOptions& tiling,
               const QString& inputName);

    /// The input list for AiSession::run, holding this window's tensor.
    const QList<AiTensor>& read(const AiTileWindow& window);
    /// The input list as the last read left it.
    const QList<AiTensor>& tensors() const { return m_inputs; }
    qsizetype inputBytes() const;

    /// Drops GDAL's cached source blocks that lie wholly above raster row `y`. Windows advance row by row,
    /// so such blocks are never read again: the cache keeps only the rows still shared with the next
    /// windows, whatever the raster's size, and each block is still decoded once.
    void releaseBlocksAbove(std::int32_t y);

private:
    void prepareNormalization();

    RasterInput& m_input;
    AiNormalization m_normalization;
    AiTileOptions m_tiling;
    QList<AiTensor> m_inputs;
    std::vector<int> m_bandMap;
    // Per channel: value = (pixel * scale - mean) / deviation, as pixel * m_factor + m_offset in double.
    std::vector<double> m_factor;
    std::vector<double> m_offset;
    bool m_prepared = false;
    bool m_identity = false;
    std::vector<int> m_releasedBlockRows;  // per dataset band: block rows already dropped
};

/// The output a run uses: `name`, or the first output when empty. Throws the executors' messages.
const AiTensor& findOutput(const AiInferenceResult& result, const QString& name);

/// True when the host context, then the request's callback, asks to stop.
bool cancellationRequested(const AiRasterInferenceRequest& request);

/// The session's input to feed: the requested name, or the model's first input.
QString resolveInputName(const AiSession& session, const QString& requested);

/// A record of a new execution: a new identifier and the current UTC time, every other field at its default.
AiInferenceExecutionProvenance newExecutionProvenance();

/// Provenance fields known before the run: identity, model digest, source, versions and options.
AiInferenceExecutionProvenance startProvenance(const AiRasterInferenceRequest& request,
                                               const RasterInput& input);
/// The same for samples that do not come through a RasterInput: the source's CRS and its bands are given.
AiInferenceExecutionProvenance startProvenance(const AiRasterInferenceRequest& request,
                                               const QString& sourceCrs, const QList<std::int32_t>& bands);

/// Fills the provenance's output figures from a finished (or cancelled) result.
void completeProvenance(AiRasterInferenceResult& result);

/// FNV-1a 64-bit hash of the calling thread's 32-bit numeric id (least significant byte first), top bit
/// clear.
std::int64_t currentWorkerThreadId();

}  // namespace Tarnivale::AI
