#pragma once

// The state behind AiSamTextSession: its graphs, tokenizer, serialising lock and the embedding cache of its
// vision-encoder outputs.

#include <tarnivale/ai/sam3.h>

#include "sam3/embedding_cache.h"
#include "sam3/polled_mutex.h"
#include "sam3/sam3_tokenizer.h"
#include "sam3/sam_raster.h"

#include <chrono>

namespace Tarnivale::AI {

/// Opens text sessions with other tokenizer and processor digests than the pinned ones (the public
/// constructor passes the pins), so the pipeline can be exercised on a small synthetic vocabulary.
struct SamTextSessionFactory {
    static AiSamTextSession open(const QString& manifestPath, const AiSessionOptions& options,
                                 std::int64_t cacheLimitBytes, std::int64_t rasterPixelLimit,
                                 const QString& tokenizerSha256, const QString& processorSha256);
};

struct AiSamTextSession::Impl {
    Impl(AiSamSession graphs, Sam3::Tokenizer words, std::int64_t cacheLimit, std::int64_t pixelLimit,
         QString digest)
        : session(std::move(graphs)),
          tokenizer(std::move(words)),
          cache(cacheLimit),
          rasterPixelLimit(pixelLimit),
          packageDigest(std::move(digest)) {}

    /// Takes the session lock under the budget (see PolledMutex).
    Sam3::PolledMutex::Hold lock(const SamRaster::Budget& budget) const {
        return mutex.acquire([&budget] { budget.check(); });
    }

    AiSamSession session;
    Sam3::Tokenizer tokenizer;
    mutable Sam3::PolledMutex mutex;
    Sam3::EmbeddingCache cache;
    std::int64_t rasterPixelLimit;
    QString packageDigest;
};

}  // namespace Tarnivale::AI
