#pragma once

// The process-wide cache of prompt embeddings by cache key. Its one mutex is held only to look up, insert
// or drop entries, never while a raster is read.

#include "prompt/prompt_embedding.h"

#include <QString>

#include <memory>

namespace Tarnivale::AI {

using SharedPromptEmbedding = std::shared_ptr<const PromptEmbedding>;

namespace PromptEmbeddingCache {

/// At most this many embeddings are held; a miss beyond it starts the cache afresh.
inline constexpr int kCapacity = 8;

/// The cached embedding, or null.
SharedPromptEmbedding find(const QString& key);
/// Inserts (or replaces) the key's embedding, first emptying the cache when it is full.
void insert(const QString& key, SharedPromptEmbedding embedding);
void clear();
int size();

}  // namespace PromptEmbeddingCache

}  // namespace Tarnivale::AI
