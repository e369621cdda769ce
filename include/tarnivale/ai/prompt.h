#pragma once

// Heuristic prompt segmentation: a binary mask painted from clicks, boxes and keywords over a raster's
// normalised bands, without a model. The normalised bands of recently used rasters stay in a small
// process-wide cache, so further prompts on the same file skip the read.

#include <tarnivale/ai/export.h>
#include <tarnivale/ai/raster.h>

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>

namespace Tarnivale::AI {

/// A click at a pixel position (column x, row y).
struct TARNIVALE_AI_EXPORT AiPromptPoint {
    double x = 0.0;
    double y = 0.0;
    std::int32_t positive = 1;  ///< non-zero paints a disc, zero erases one
};

/// Two opposite corners of a box, in pixels, in any order.
struct TARNIVALE_AI_EXPORT AiPromptBox {
    double x0 = 0.0;
    double y0 = 0.0;
    double x1 = 0.0;
    double y1 = 0.0;
};

struct TARNIVALE_AI_EXPORT AiPromptSegmentationRequest {
    QString rasterPath;
    QString modelId = QStringLiteral("tarnivale-sam-style-baseline");  ///< provenance and cache key
    QString modelVersion = QStringLiteral("1.0.0");                    ///< provenance
    QString modelSha256;                                               ///< provenance and cache key
    QList<AiPromptPoint> clicks;
    QList<AiPromptBox> boxes;
    /// Keywords: "water"/"su" select B2 - B4, else "cloud"/"bulut"/"bright" the mean of B1..B3, else
    /// "vegetation"/"bitki" B4 - B1; matched as substrings of the lower-case text, in that order.
    QString textPrompt;
    std::int32_t clickRadius = 12;  ///< disc radius of a click, pixels
    double textThreshold = 0.5;     ///< a keyword index selects a pixel when strictly above it
    std::function<bool()> cancellationRequested;
};

struct TARNIVALE_AI_EXPORT AiPromptSegmentationResult {
    AiRasterInferenceResult result;  ///< one Int32 band: 1 selected, 0 not; georeferencing and provenance
    double confidence = 0.0;         ///< heuristic, 0..0.95; 0 when nothing is selected
    QString cacheKey;                ///< SHA-256 of the raster's path, size, time, model digest and id
    bool cacheHit = false;
    QList<QString> promptKinds;  ///< "box", "text", "click", in that order, for the kinds given
    QList<QString> warnings;
};

class TARNIVALE_AI_EXPORT AiPromptSegmentationEngine {
public:
    /// Paints boxes, then keyword pixels, then clicks (which may erase) over the raster's first four bands,
    /// each normalised to 0..1. Throws std::invalid_argument for a bad request and std::runtime_error for
    /// raster failures and cancellation.
    static AiPromptSegmentationResult segment(const AiPromptSegmentationRequest& request);
    /// Drops every cached embedding; results already returned keep their data.
    static void clearEmbeddingCache();
    /// Embeddings cached now (at most 8).
    static int embeddingCacheSize();
};

}  // namespace Tarnivale::AI
