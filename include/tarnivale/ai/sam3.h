#pragma once

// SAM3 segmentation: verified model bundles and the sessions that run their graphs.

#include <tarnivale/ai/export.h>
#include <tarnivale/ai/raster.h>
#include <tarnivale/ai/runtime.h>
#include <tarnivale/ai/tiling.h>

#include <QJsonObject>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

namespace Tarnivale::AI {

/// A SAM3 bundle whose profile, tensor contract and every inventoried file (size and SHA-256) were verified
/// by `load`. A default-constructed package has an empty root and manifest and cannot be used.
class TARNIVALE_AI_EXPORT AiSamModelPackage {
public:
    /// Reads "sam3-package.json" (the file itself) and verifies the bundle; throws std::invalid_argument.
    static AiSamModelPackage load(const QString& manifestPath);

    /// Canonical absolute path of a graph named in the manifest's "graphs" ("Unknown SAM3 graph name.").
    QString graphPath(const QString& graphName) const;
    /// The root joined with "processor" (not checked for existence).
    QString processorDirectory() const;
    QJsonObject manifest() const;
    /// Canonical absolute directory holding the manifest (symbolic links resolved).
    QString rootDirectory() const;

private:
    QString m_rootDirectory;
    QJsonObject m_manifest;
};

/// Limits of one SAM3 run: a deadline (0 = none) and the host working memory of one window.
struct TARNIVALE_AI_EXPORT AiSamExecutionOptions {
    std::int64_t maximumMilliseconds = 0;
    std::int64_t maximumHostBytes = 536870912;
};

/// A pixel window of a raster; its grid column and row only label it (tiles carry their position there).
using AiSamPixelWindow = AiTileWindow;

/// How a raster window becomes the 8-bit RGB image a SAM3 encoder sees.
struct TARNIVALE_AI_EXPORT AiSamRasterOptions {
    bool hasWindow = false;  ///< false: the whole raster
    AiSamPixelWindow window;
    QList<std::int32_t> bands;  ///< 1-based red, green, blue; empty: found by their colour tags
    QList<double> minimums;     ///< display ranges for red, green, blue; required for non-byte bands
    QList<double> maximums;
    std::int32_t invalidPixelFill = 127;
    double minimumValidFraction = 0.0;
};

/// The three graphs of a text-profile bundle opened with the fixed SAM3 tensor contract checked.
/// Movable, not copyable; not locked by itself (the sessions built on it serialise their runs).
class TARNIVALE_AI_EXPORT AiSamSession {
public:
    /// Loads the bundle and opens "vision_encoder.onnx", "text_encoder.onnx" and "decoder.onnx";
    /// throws std::invalid_argument (or the session's runtime errors).
    AiSamSession(const QString& manifestPath, const AiSessionOptions& options = {});
    ~AiSamSession();
    AiSamSession(AiSamSession&& other) noexcept;
    AiSamSession& operator=(AiSamSession&& other) noexcept;
    AiSamSession(const AiSamSession&) = delete;
    AiSamSession& operator=(const AiSamSession&) = delete;

    /// Declared tensors of one graph, by file name ("Unknown SAM3 graph." otherwise).
    QList<AiTensorSpec> inputs(const QString& graphName) const;
    QList<AiTensorSpec> outputs(const QString& graphName) const;
    /// Runs one graph; for the SAM3 sessions of this library.
    AiInferenceResult runGraph(const QString& graphName, const QList<AiTensor>& inputs,
                               const AiRunControl& control) const;
    AiSamModelPackage package() const;
    /// The provider the vision encoder's session runs on.
    AiExecutionProvider provider() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

/// One text-prompted segmentation of a raster window.
struct TARNIVALE_AI_EXPORT AiSamTextRequest {
    QString rasterPath;
    QString prompt;
    double scoreThreshold = 0.5;          ///< instances scoring strictly above it are kept; in (0, 1)
    std::int64_t maximumInstances = 100;  ///< 1..200
    std::function<bool()> cancellationRequested;
    AiSamRasterOptions rasterOptions;
    AiSamExecutionOptions execution;
};

/// An object found in the window: its decoder slot, score, box in window pixels and 288 x 288 mask (1/0,
/// row-major, covering the whole window stretched to a square).
struct TARNIVALE_AI_EXPORT AiSamTextInstance {
    std::int32_t queryIndex = -1;
    double score = 0.0;
    std::array<double, 4> box{};  ///< x0, y0, x1, y1
    QByteArray mask;
};

struct TARNIVALE_AI_EXPORT AiSamTextResult {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t maskWidth = 288;
    std::int32_t maskHeight = 288;
    QList<double> geoTransform;  ///< the window's; empty when the raster has none
    QString projectionWkt;
    QList<AiSamTextInstance> instances;  ///< best score first
    std::int64_t candidateCount = 0;     ///< slots above the threshold, before the instance limit
    double presenceScore = 0.0;
    AiExecutionProvider provider = AiExecutionProvider::Cpu;
    std::int64_t elapsedMilliseconds = 0;
    bool cacheHit = false;
    QString cacheKey;
    AiSamPixelWindow window;
    QByteArray validity;
    std::int64_t validPixelCount = 0;
    std::int64_t workingBytes = 0;
    bool skipped = false;  ///< too few valid pixels: no graph ran
    std::int64_t visionMilliseconds = 0;
    std::int64_t textMilliseconds = 0;
    std::int64_t decoderMilliseconds = 0;
};

/// A text request over a large window cut into overlapping tiles.
struct TARNIVALE_AI_EXPORT AiSamTiledRequest : AiSamTextRequest {
    std::int32_t tileWidth = 1024;  ///< 1..32 768
    std::int32_t tileHeight = 1024;
    std::int32_t overlapX = 128;  ///< 0 <= overlap < tile size
    std::int32_t overlapY = 128;
    std::int64_t maximumTiles = 4096;  ///< 1..1 000 000
    std::int64_t maximumTotalInstances = 100000;
};

struct TARNIVALE_AI_EXPORT AiSamTileResult {
    AiSamPixelWindow window;  ///< in raster pixels, with the tile's grid column and row
    AiSamTextResult result;
};

struct TARNIVALE_AI_EXPORT AiSamTiledSummary {
    std::int32_t rasterWidth = 0;
    std::int32_t rasterHeight = 0;
    std::int64_t totalTiles = 0;
    std::int64_t completedTiles = 0;
    std::int64_t skippedTiles = 0;
    std::int64_t instances = 0;
    std::int64_t elapsedMilliseconds = 0;
    std::int64_t peakWorkingBytes = 0;
    bool completed = false;
    bool cancelled = false;
    bool deadlineExceeded = false;
    bool instanceLimitReached = false;
};

/// A click prompt: a point in window pixels or source-CRS coordinates, foreground unless `positive` is false.
struct TARNIVALE_AI_EXPORT AiSamPromptPoint {
    double x = 0.0;
    double y = 0.0;
    bool positive = true;
};

/// How the points and box of a tracker request are given.
enum class AiSamCoordinateSpace : int { WindowPixels = 0, SourceCrs = 1 };

/// One object to select in a raster window from points and an optional box.
struct TARNIVALE_AI_EXPORT AiSamTrackerRequest {
    QString rasterPath;
    QList<AiSamPromptPoint> points;
    bool hasBox = false;
    std::array<double, 4> box{};  ///< minimum x, minimum y, maximum x, maximum y
    AiSamCoordinateSpace coordinateSpace = AiSamCoordinateSpace::WindowPixels;
    std::function<bool()> cancellationRequested;
    AiSamRasterOptions rasterOptions;
    AiSamExecutionOptions execution;
};

/// One click-prompted SAM3 selection: the window-sized Int32 selection raster (1 selected, 0 not) with the
/// candidates' quality scores and the prepared window's figures.
struct TARNIVALE_AI_EXPORT AiSamTrackerResult : AiRasterInferenceResult {
    QList<double> qualityScores;
    std::int32_t selectedCandidate = -1;
    double objectScore = 0.0;
    bool cacheHit = false;
    QString cacheKey;
    QByteArray validity;  ///< width x height bytes, 1 valid
    AiSamPixelWindow window;
    std::int64_t validPixelCount = 0;
    std::int64_t workingBytes = 0;
};

/// Where and how a SAM3 run is written as GIS products (a new directory holding "instances.tif",
/// "instances.gpkg" and "manifest.json").
struct TARNIVALE_AI_EXPORT AiSamGisOptions {
    QString outputDirectory;  ///< must not exist yet
    QString prompt;           ///< at most 4 096 characters
    bool hasWindow = false;   ///< false: the whole raster
    AiSamPixelWindow window;
    double mergeIou = 0.65;                     ///< 0 < value <= 1
    std::int64_t minimumMergePixels = 8;        ///< smallest overlap that can merge two observations
    std::int64_t minimumRegionPixels = 1;       ///< smallest instance kept
    std::int64_t maximumObservations = 100000;  ///< 1..1 000 000
    std::int64_t maximumOutputPixels = 100000000;
    std::int64_t maximumStagingBytes = 17179869184;  ///< staging disk budget
    std::int64_t maximumBufferBytes = 67108864;      ///< in-memory export buffers
    AiSamExecutionOptions execution;
    std::function<bool()> cancellationRequested;
    QJsonObject provenance;
};

/// The published products and the counters written to "manifest.json".
struct TARNIVALE_AI_EXPORT AiSamGisResult {
    QString outputDirectory;
    QString rasterPath;
    QString vectorPath;
    QString manifestPath;
    std::int64_t instances = 0;
    std::int64_t observations = 0;
    std::int64_t mergedObservations = 0;
    std::int64_t geometryRepairs = 0;
    std::int64_t foregroundPixels = 0;
    std::int64_t tiles = 0;
    std::int64_t skippedTiles = 0;
    bool completed = false;
    std::int64_t elapsedMilliseconds = 0;
};

/// Merges the tiles of a SAM3 run into instances and publishes the GIS products by one rename of a hidden
/// staging directory, so the destination either does not exist or is complete. Movable, not copyable; an
/// unfinished writer deletes its staging directory when destroyed.
class TARNIVALE_AI_EXPORT AiSamGisWriter {
public:
    /// Validates the options and the source raster and creates the staging directory beside the destination.
    AiSamGisWriter(const QString& sourceRasterPath, const AiSamGisOptions& options);
    ~AiSamGisWriter();
    AiSamGisWriter(AiSamGisWriter&& other) noexcept;
    AiSamGisWriter& operator=(AiSamGisWriter&& other) noexcept;
    AiSamGisWriter(const AiSamGisWriter&) = delete;
    AiSamGisWriter& operator=(const AiSamGisWriter&) = delete;

    /// Merges one text tile into the staging rasters; any failure leaves the writer unusable.
    void consume(const AiSamTileResult& tile);
    /// Merges a tracker selection as a one-instance tile scored by its clamped mask quality.
    void consume(const AiSamTrackerResult& selection);
    /// Writes and publishes the products of a completed run whose summary matches what was consumed.
    AiSamGisResult finish(const AiSamTiledSummary& summary);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

/// Text-prompted SAM3 segmentation with an embedding cache keyed by the exact window content. Calls are
/// serialised by one mutex; waiting for it honours the caller's cancellation and deadline.
class TARNIVALE_AI_EXPORT AiSamTextSession {
public:
    /// cacheLimitBytes >= 0, rasterPixelLimit in 1..67 108 864 ("Invalid SAM3 text cache or raster limit.").
    AiSamTextSession(const QString& manifestPath, const AiSessionOptions& options,
                     std::int64_t cacheLimitBytes, std::int64_t rasterPixelLimit);
    ~AiSamTextSession();
    AiSamTextSession(AiSamTextSession&& other) noexcept;
    AiSamTextSession& operator=(AiSamTextSession&& other) noexcept;
    AiSamTextSession(const AiSamTextSession&) = delete;
    AiSamTextSession& operator=(const AiSamTextSession&) = delete;

    /// Throws std::invalid_argument, or AiInferenceInterrupted when cancelled or overdue.
    AiSamTextResult segment(const AiSamTextRequest& request) const;
    /// Runs every tile and hands it to `consumer`; a stop is reported in the summary, not thrown.
    AiSamTiledSummary segmentTiled(const AiSamTiledRequest& request,
                                   const std::function<void(const AiSamTileResult&)>& consumer,
                                   const AiRasterProgressCallback& progress = {}) const;
    /// Runs `segmentTiled` into an AiSamGisWriter on the request's raster and publishes its products.
    AiSamGisResult segmentToGis(const AiSamTiledRequest& request, const AiSamGisOptions& options,
                                const AiRasterProgressCallback& progress = {}) const;
    /// The prompt's 32 token ids.
    QList<std::int64_t> tokenize(const QString& prompt) const;
    void clearEmbeddingCache() const;

private:
    struct Impl;
    friend struct SamTextSessionFactory;
    explicit AiSamTextSession(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

/// Click-prompted SAM3 selection of one object with a tracker-profile bundle; encoder outputs are cached by
/// the exact window content. Calls are serialised by one lock, as in AiSamTextSession.
class TARNIVALE_AI_EXPORT AiSamTrackerSession {
public:
    /// cacheLimitBytes >= 0, rasterPixelLimit in 1..67 108 864 ("Invalid tracker cache or raster limit.").
    AiSamTrackerSession(const QString& manifestPath, const AiSessionOptions& options,
                        std::int64_t cacheLimitBytes, std::int64_t rasterPixelLimit);
    ~AiSamTrackerSession();
    AiSamTrackerSession(AiSamTrackerSession&& other) noexcept;
    AiSamTrackerSession& operator=(AiSamTrackerSession&& other) noexcept;
    AiSamTrackerSession(const AiSamTrackerSession&) = delete;
    AiSamTrackerSession& operator=(const AiSamTrackerSession&) = delete;

    /// Throws std::invalid_argument, or AiInferenceInterrupted when cancelled or overdue.
    AiSamTrackerResult segment(const AiSamTrackerRequest& request) const;
    /// Segments and publishes the selection through an AiSamGisWriter.
    AiSamGisResult segmentToGis(const AiSamTrackerRequest& request, const AiSamGisOptions& options) const;
    std::int64_t embeddingCacheBytes() const;
    int embeddingCacheEntries() const;
    void clearEmbeddingCache() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

}  // namespace Tarnivale::AI
