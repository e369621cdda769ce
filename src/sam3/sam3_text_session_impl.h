#pragma once

// The state behind AiSamTextSession: its graphs, tokenizer, serialising mutex and the embedding cache
// (vision-encoder outputs keyed by the exact window content, most recently used first, bounded in bytes).

#include <tarnivale/ai/sam3.h>

#include "sam3/polled_mutex.h"
#include "sam3/sam3_tokenizer.h"
#include "sam3/sam_raster.h"

#include <chrono>
#include <list>

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
          cacheLimitBytes(cacheLimit),
          rasterPixelLimit(pixelLimit),
          packageDigest(std::move(digest)) {}

    struct CacheEntry {
        QString key;
        QList<AiTensor> tensors;
        std::int64_t bytes = 0;
    };

    /// Takes the session lock under the budget (see PolledMutex).
    Sam3::PolledMutex::Hold lock(const SamRaster::Budget& budget) const {
        return mutex.acquire([&budget] { budget.check(); });
    }

    /// The cached tensors of `key` (moved to the front), or none. Call with the mutex held.
    QList<AiTensor> cachedFeatures(const QString& key) {
        for (auto entry = cache.begin(); entry != cache.end(); ++entry) {
            if (entry->key == key) {
                cache.splice(cache.begin(), cache, entry);
                return cache.front().tensors;
            }
        }
        return {};
    }

    /// Keeps the tensors unless they alone exceed the limit, evicting the least recently used first.
    void cacheFeatures(const QString& key, const QList<AiTensor>& tensors) {
        std::int64_t bytes = 0;
        for (const AiTensor& tensor : tensors) {
            bytes += tensor.data.size();
        }
        if (bytes > cacheLimitBytes) {
            return;
        }
        while (!cache.empty() && cacheBytes + bytes > cacheLimitBytes) {
            cacheBytes -= cache.back().bytes;
            cache.pop_back();
        }
        cache.push_front({key, tensors, bytes});
        cacheBytes += bytes;
    }

    AiSamSession session;
    Sam3::Tokenizer tokenizer;
    mutable Sam3::PolledMutex mutex;
    std::list<CacheEntry> cache;
    std::int64_t cacheLimitBytes;
    std::int64_t cacheBytes = 0;
    std::int64_t rasterPixelLimit;
    QString packageDigest;
};

}  // namespace Tarnivale::AI
