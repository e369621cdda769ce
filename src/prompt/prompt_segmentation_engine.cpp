#include <tarnivale/ai/prompt.h>

#include "prompt/embedding_cache.h"
#include "prompt/keyword_selection.h"
#include "prompt/prompt_mask.h"
#include "raster/raster_input.h"
#include "runtime/errors.h"
#include "runtime/sha256.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace Tarnivale::AI {

namespace {

void checkRequest(const AiPromptSegmentationRequest& request) {
    if (request.rasterPath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("Prompt raster path is required."));
    }
    if (request.clicks.isEmpty() && request.boxes.isEmpty() && request.textPrompt.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("At least one click, box, or text prompt is required."));
    }
    if (request.clickRadius < 1) {
        throwInvalidArgument(QStringLiteral("Click radius must be positive."));
    }
}

/// Milliseconds since the epoch of the file's last modification, 0 when it cannot be read. Taken from the
/// file system clock rather than QFileInfo, whose local-time conversion goes through the C library's
/// time-zone state, which threads prompting at once would share.
qint64 modifiedMilliseconds(const QString& path) {
    std::error_code error;
    const auto modified = std::filesystem::last_write_time(QFile::encodeName(path).toStdString(), error);
    if (error) {
        return 0;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::file_clock::to_sys(modified).time_since_epoch())
        .count();
}

/// The file's identity as it is now (path, size, modification time) with the model's: a rewritten file
/// gets a new key, so entries never need refreshing.
QString cacheKeyOf(const QFileInfo& raster, const AiPromptSegmentationRequest& request) {
    // One multi-argument arg(): chained calls would also replace "%2" and the like inside the path.
    const QString identity = QStringLiteral("%1|%2|%3|%4|%5")
                                 .arg(raster.absoluteFilePath(), QString::number(raster.size()),
                                      QString::number(modifiedMilliseconds(raster.absoluteFilePath())),
                                      request.modelSha256, request.modelId);
    return Sha256::hex(identity.toUtf8());
}

SharedPromptEmbedding embeddingFor(const QString& key, const QString& path, bool& hit) {
    SharedPromptEmbedding embedding = PromptEmbeddingCache::find(key);
    hit = embedding != nullptr;
    if (!hit) {
        // Built outside the cache's lock: other prompts keep being answered meanwhile.
        embedding = buildPromptEmbedding(path);
        PromptEmbeddingCache::insert(key, embedding);
    }
    return embedding;
}

double confidenceOf(const PromptMask& mask, qsizetype kinds) {
    if (mask.selectedPixels() == 0) {
        return 0.0;
    }
    const double fraction =
        static_cast<double>(mask.selectedPixels()) / static_cast<double>(mask.pixelCount());
    return std::min(0.95, 0.65 + std::min(0.25, fraction) + 0.02 * static_cast<double>(kinds));
}

}  // namespace

AiPromptSegmentationResult AiPromptSegmentationEngine::segment(const AiPromptSegmentationRequest& request) {
    checkRequest(request);
    QElapsedTimer clock;
    clock.start();

    AiPromptSegmentationResult segmented;
    const QFileInfo raster(request.rasterPath);
    const QString sourcePath = raster.absoluteFilePath();
    segmented.cacheKey = cacheKeyOf(raster, request);
    const SharedPromptEmbedding embedding = embeddingFor(segmented.cacheKey, sourcePath, segmented.cacheHit);

    PromptMask mask(embedding->width, embedding->height);
    if (!request.boxes.isEmpty()) {
        segmented.promptKinds.append(QStringLiteral("box"));
        for (const AiPromptBox& box : request.boxes) {
            mask.fillBox(box);
        }
    }
    const QString text = request.textPrompt.trimmed().toLower();
    if (!text.isEmpty()) {
        segmented.promptKinds.append(QStringLiteral("text"));
        if (!selectByKeywords(mask, *embedding, text, request.textThreshold)) {
            segmented.warnings.append(
                QStringLiteral("Text prompt is unsupported for the available raster bands."));
        }
    }
    if (!request.clicks.isEmpty()) {
        segmented.promptKinds.append(QStringLiteral("click"));
        for (const AiPromptPoint& click : request.clicks) {
            mask.paintDisc(click, request.clickRadius);
        }
    }
    if (request.cancellationRequested && request.cancellationRequested()) {
        throwRuntimeError(QStringLiteral("Prompt segmentation was cancelled."));
    }

    AiRasterInferenceResult& result = segmented.result;
    result.width = embedding->width;
    result.height = embedding->height;
    result.bandCount = 1;
    result.dataType = AiTensorDataType::Int32;
    segmented.confidence = confidenceOf(mask, segmented.promptKinds.size());
    result.data = mask.takeBytes();
    result.geoTransform = embedding->geoTransform;
    result.projectionWkt = embedding->projectionWkt;
    result.processedTiles = 1;
    result.provider = AiExecutionProvider::Cpu;
    result.provenance = newExecutionProvenance();
    result.provenance.modelId = request.modelId;
    result.provenance.modelVersion = request.modelVersion;
    result.provenance.modelSha256 = request.modelSha256;
    result.provenance.sourcePath = sourcePath;
    result.provenance.sourceCrs = embedding->projectionWkt;
    result.elapsedMilliseconds = clock.elapsed();
    completeProvenance(result);
    return segmented;
}

void AiPromptSegmentationEngine::clearEmbeddingCache() {
    PromptEmbeddingCache::clear();
}

int AiPromptSegmentationEngine::embeddingCacheSize() {
    return PromptEmbeddingCache::size();
}

}  // namespace Tarnivale::AI
