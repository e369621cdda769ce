#pragma once

// Encoder outputs kept by the exact content of the window they came from, most recently used first and
// bounded in bytes, shared by the text and tracker sessions. Not locked: the sessions call it under their
// own lock.

#include <tarnivale/ai/runtime.h>

#include "runtime/sha256.h"
#include "sam3/sam_raster.h"

#include <list>

namespace Tarnivale::AI::Sam3 {

/// SHA-256 over the package digest, "width:height:", the window's RGB bytes and its validity bytes.
inline QString windowCacheKey(const QString& packageDigest, const SamRaster::Prepared& window) {
    Sha256 key;
    key.update(packageDigest.toUtf8());
    key.update(QStringLiteral("%1:%2:").arg(window.width).arg(window.height).toUtf8());
    key.update(window.rgb);
    key.update(window.validity);
    return key.finishHex();
}

class EmbeddingCache {
public:
    explicit EmbeddingCache(std::int64_t limitBytes) : m_limit(limitBytes) {}

    /// The tensors stored under `key`, moved to the front; none when absent.
    QList<AiTensor> find(const QString& key) {
        for (auto entry = m_entries.begin(); entry != m_entries.end(); ++entry) {
            if (entry->key == key) {
                m_entries.splice(m_entries.begin(), m_entries, entry);
                return m_entries.front().tensors;
            }
        }
        return {};
    }

    /// Keeps the tensors unless they alone exceed the limit, evicting the least recently used first.
    void insert(const QString& key, const QList<AiTensor>& tensors) {
        std::int64_t size = 0;
        for (const AiTensor& tensor : tensors) {
            size += tensor.data.size();
        }
        if (size > m_limit) {
            return;
        }
        while (!m_entries.empty() && m_bytes + size > m_limit) {
            m_bytes -= m_entries.back().bytes;
            m_entries.pop_back();
        }
        m_entries.push_front({key, tensors, size});
        m_bytes += size;
    }

    void clear() {
        m_entries.clear();
        m_bytes = 0;
    }
    std::int64_t bytes() const { return m_bytes; }
    int entries() const { return static_cast<int>(m_entries.size()); }

private:
    struct Entry {
        QString key;
        QList<AiTensor> tensors;
        std::int64_t bytes = 0;
    };
    std::int64_t m_limit;
    std::int64_t m_bytes = 0;
    std::list<Entry> m_entries;
};

}  // namespace Tarnivale::AI::Sam3
