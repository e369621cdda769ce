#include "prompt/embedding_cache.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

namespace Tarnivale::AI::PromptEmbeddingCache {

namespace {

struct Cache {
    QMutex mutex;
    QHash<QString, SharedPromptEmbedding> entries;
};

Cache& cache() {
    static Cache instance;
    return instance;
}

}  // namespace

SharedPromptEmbedding find(const QString& key) {
    Cache& shared = cache();
    const QMutexLocker lock(&shared.mutex);
    return shared.entries.value(key);
}

void insert(const QString& key, SharedPromptEmbedding embedding) {
    // Dropped entries are released after the lock: freeing gigabytes of planes must not hold up look-ups.
    QHash<QString, SharedPromptEmbedding> dropped;
    SharedPromptEmbedding replaced;
    Cache& shared = cache();
    const QMutexLocker lock(&shared.mutex);
    if (shared.entries.size() >= kCapacity) {
        dropped.swap(shared.entries);
    } else {
        replaced = shared.entries.take(key);
    }
    shared.entries.insert(key, std::move(embedding));
}

void clear() {
    QHash<QString, SharedPromptEmbedding> dropped;
    Cache& shared = cache();
    const QMutexLocker lock(&shared.mutex);
    dropped.swap(shared.entries);
}

int size() {
    Cache& shared = cache();
    const QMutexLocker lock(&shared.mutex);
    return static_cast<int>(shared.entries.size());
}

}  // namespace Tarnivale::AI::PromptEmbeddingCache
