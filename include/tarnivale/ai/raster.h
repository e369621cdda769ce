#pragma once

// Raster inference: tiling (tiling.h), output decoders, the tiled executor, provenance and GeoTIFF output.

#include <tarnivale/ai/export.h>
#include <tarnivale/ai/models.h>
#include <tarnivale/ai/runtime.h>
#include <tarnivale/ai/tiling.h>
#include <tarnivale/core/operations/operation_context.h>

#include <QJsonObject>

#include <functional>

namespace Tarnivale::AI {

/// Result form of a raster run; text "floatBands" / "classMask".
enum class AiRasterOutputMode : int { FloatBands = 0, ClassMask = 1 };

TARNIVALE_AI_EXPORT QString aiRasterOutputModeName(AiRasterOutputMode mode);

struct TARNIVALE_AI_EXPORT AiRasterInferenceRequest {
    QString modelPath;
    QString modelId;
    QString modelVersion;
    QString modelRevision;
    QString modelSha256;  ///< computed from the model file when empty
    QString rasterPath;
    QString inputName;          ///< empty = the model's first input
    QString outputName;         ///< empty = the model's first output
    QList<std::int32_t> bands;  ///< one-based, in channel order; empty = all bands
    AiTileOptions tiling;
    AiNormalization normalization;
    AiOutputDecoderSpec outputDecoder;  ///< applied to each tile output when its id is not blank
    AiSessionOptions sessionOptions;
    AiRasterOutputMode outputMode = AiRasterOutputMode::ClassMask;
    std::function<bool()> cancellationRequested;
    Tarnivale::Core::Operations::OperationContext operationContext;
};

struct TARNIVALE_AI_EXPORT AiRasterInferenceProgress {
    std::int32_t completedTiles = 0;
    std::int32_t totalTiles = 0;
    std::int32_t percent = 0;
    QString message;
};

using AiRasterProgressCallback = std::function<void(const AiRasterInferenceProgress&)>;

/// How a raster result was made; embedded in GeoTIFF outputs with its digest.
struct TARNIVALE_AI_EXPORT AiInferenceExecutionProvenance {
    QString schemaVersion = QStringLiteral("1.0");
    QString executionId;
    QString recordedAtUtc;
    QString modelId;
    QString modelVersion;
    QString modelRevision;
    QString modelPath;
    QString modelSha256;
    QString sourcePath;
    QString sourceCrs;
    AiExecutionProvider provider = AiExecutionProvider::Cpu;
    QString sdkVersion;
    QString runtimeVersion;
    AiTileOptions tiling;
    QList<std::int32_t> inputBands;
    AiRasterOutputMode outputMode = AiRasterOutputMode::ClassMask;
    std::int32_t outputWidth = 0;
    std::int32_t outputHeight = 0;
    std::int32_t outputBandCount = 0;
    AiTensorDataType outputDataType = AiTensorDataType::Float32;
    std::int64_t elapsedMilliseconds = 0;
    std::int64_t peakMemoryBytes = 0;
    bool cancelled = false;

    QJsonObject toJson() const;
    /// Compact JSON with the members of every object sorted by key: the same record gives the same text.
    QString canonicalJson() const;
    /// SHA-256 of the UTF-8 canonical JSON, lower-case hexadecimal.
    QString sha256() const;
};

struct TARNIVALE_AI_EXPORT AiRasterInferenceResult {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bandCount = 0;
    AiTensorDataType dataType = AiTensorDataType::Float32;
    QByteArray data;  ///< band-sequential, 4 bytes per value
    QList<double> geoTransform;
    QString projectionWkt;
    std::int32_t processedTiles = 0;
    std::int64_t elapsedMilliseconds = 0;
    AiExecutionProvider provider = AiExecutionProvider::Cpu;
    std::int64_t workerThreadId = 0;
    bool isolatedWorker = false;
    bool cancelled = false;
    std::int64_t peakMemoryBytes = 0;
    std::int64_t cancellationLatencyMilliseconds = 0;
    AiInferenceExecutionProvenance provenance;
};

/// One decoded output of a multi-output run.
struct TARNIVALE_AI_EXPORT AiDecodedRasterOutput {
    QString id;
    AiRasterInferenceResult result;
};

/// A palette entry for colourised class masks.
struct TARNIVALE_AI_EXPORT AiClassColor {
    std::int32_t code = 0;
    std::int32_t red = 0;
    std::int32_t green = 0;
    std::int32_t blue = 0;
};

/// What a raster run will cost, known before it starts.
struct TARNIVALE_AI_EXPORT AiRasterRunEstimate {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t totalTiles = 0;
    std::int32_t outputBandCount = 0;
    AiTensorDataType outputDataType = AiTensorDataType::Int32;
    std::int64_t peakMemoryBytes = 0;  ///< the run's own accounting: the peakMemoryBytes its result reports
    std::int64_t outputBytes = 0;      ///< the result's pixels in memory
};

class TARNIVALE_AI_EXPORT AiRasterInferenceExecutor {
public:
    /// Opens the raster and the model (on the CPU, for its shapes) without running it: the tile count, the
    /// peak memory the run will report and the result's size. The run's own checks fail here the same way;
    /// a model whose output channel count is symbolic cannot be estimated.
    static AiRasterRunEstimate estimate(const AiRasterInferenceRequest& request);
    /// Runs the model tile by tile over the raster on the calling thread. A cancellation is not an error:
    /// the result comes back marked cancelled, without pixel data.
    static AiRasterInferenceResult run(const AiRasterInferenceRequest& request,
                                       const AiRasterProgressCallback& progress = {});
    /// The same run on a new worker thread; the caller blocks, and exceptions come back unchanged.
    static AiRasterInferenceResult runIsolated(const AiRasterInferenceRequest& request,
                                               const AiRasterProgressCallback& progress = {});
    /// Decodes several outputs per tile and averages them over the windows covering each pixel.
    static QList<AiDecodedRasterOutput> runDecodedOutputs(const AiRasterInferenceRequest& request,
                                                          const QList<AiOutputDecoderSpec>& decoders,
                                                          const AiRasterProgressCallback& progress = {});

    /// Tiled DEFLATE GeoTIFF with the provenance as metadata; written under a temporary name and moved into
    /// place, so a failed write leaves no file behind.
    static void writeGeoTiff(const AiRasterInferenceResult& result, const QString& outputPath);
    /// The same content as a Cloud-Optimised GeoTIFF (GDAL's COG driver: DEFLATE, 512-pixel tiles, overviews
    /// by nearest neighbour for a class mask and by average for float bands), staged and moved into place
    /// the same way.
    static void writeCloudOptimizedGeoTiff(const AiRasterInferenceResult& result, const QString& outputPath);
    /// A raster file (a task's raster result, say) copied into a Cloud-Optimised GeoTIFF with its metadata,
    /// overviews by nearest neighbour for integer bands. Never replaces anything ("Export destination
    /// exists."); published whole or not at all.
    static void copyAsCloudOptimizedGeoTiff(const QString& sourcePath, const QString& outputPath);
    /// Class index v (0 <= v < codes) becomes codes[v]; other values stay.
    static void remapClassMask(AiRasterInferenceResult& result, const QList<std::int32_t>& classCodes);
    /// Three Float32 planes (red, green, blue); unknown codes are grey. When a code is listed twice, the
    /// first entry wins.
    static AiRasterInferenceResult colorizeClassMask(const AiRasterInferenceResult& result,
                                                     const QList<AiClassColor>& palette);
};

/// Turns raw output tensors into decoded ones, driven by a manifest's decoder spec.
class TARNIVALE_AI_EXPORT AiOutputDecoder {
public:
    /// Applies the decoder's activation over its channel axis, optionally keeping one channel
    /// (options "channel", else "classIndex"). Float32 in, Float32 out; throws std::invalid_argument.
    static AiTensor decode(const AiTensor& tensor, const AiOutputDecoderSpec& spec);
    /// 1 where the value is at least the threshold, else 0, as an Int32 tensor of the same shape.
    static AiTensor threshold(const AiTensor& tensor, double threshold);
};

// --- Instance separation ----------------------------------------------------------------------------------

struct TARNIVALE_AI_EXPORT AiInstanceSeparationOptions {
    double foregroundThreshold = 0.5;  ///< foreground where the value is at least this
    double boundaryThreshold = 0.5;    ///< boundary where the boundary value is at least this
    double seedThreshold = 0.0;  ///< a foreground, non-boundary pixel seeds where its distance reaches this
    std::int32_t minimumRegionPixels = 1;
    std::int32_t connectivity = 8;  ///< 4 or 8
};

struct TARNIVALE_AI_EXPORT AiInstanceSeparationResult {
    AiTensor instances;  ///< "instances", Int32 [1, 1, height, width]: 0 background, 1..instanceCount objects
    std::int32_t instanceCount = 0;
};

class TARNIVALE_AI_EXPORT AiInstanceSeparator {
public:
    /// Seeds on confident interiors (foreground, not boundary, distance at least the seed threshold), grows
    /// the seeds over the foreground in priority order (distance, else foreground, less the boundary value),
    /// labels unseeded foreground islands, and drops regions smaller than minimumRegionPixels. Each tensor's
    /// last two dimensions are its height and width. Throws std::invalid_argument.
    static AiInstanceSeparationResult separate(const AiTensor& foreground, const AiTensor* boundary,
                                               const AiTensor* signedDistance,
                                               const AiInstanceSeparationOptions& options = {});
};

struct TARNIVALE_AI_EXPORT AiInstanceSegmentationRequest {
    QString packagePath;
    QString rasterPath;
    AiSessionOptions sessionOptions;
    AiRunControl runControl;  ///< its cancellation (and deadline, when set) end the run as cancelled
    Tarnivale::Core::Operations::OperationContext operationContext;
};

struct TARNIVALE_AI_EXPORT AiInstanceSegmentationResult {
    AiRasterInferenceResult raster;  ///< the foreground output's grid, its data the Int32 label band
    std::int32_t instanceCount = 0;
    QList<AiDecodedRasterOutput> decodedOutputs;
};

class TARNIVALE_AI_EXPORT AiInstanceSegmentationExecutor {
public:
    /// Runs the package's instance-separation materialization: its foreground (and optional boundary and
    /// distance) decoders over the raster, then the separation with the materialization's parameters.
    static AiInstanceSegmentationResult run(const AiInstanceSegmentationRequest& request,
                                            const AiRasterProgressCallback& progress = {});
};

}  // namespace Tarnivale::AI
