// The embedding cache shared by threads: a raster being read holds no lock, and prompts running together
// on a few files all get their exact masks.

#include <tarnivale/ai/prompt.h>

#include "support/raster_fixture.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cpl_vsi.h>

#include <barrier>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using Engine = AiPromptSegmentationEngine;

namespace {

/// A GDAL file system "/vsipromptgate/<path>" over real files whose opens wait until the gate is opened,
/// so a test can hold a raster read at its start for as long as it needs.
class OpenGate {
public:
    static OpenGate& instance() {
        static OpenGate gate;
        return gate;
    }
    static QString path(const QString& file) {
        return QStringLiteral("/vsipromptgate") + file;
    }  // file is absolute

    void close() {
        const std::lock_guard lock(m_mutex);
        m_open = false;
        m_waiting = 0;
    }
    void open() {
        const std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    /// Returns once some open is held at the gate.
    void awaitWaiter() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_waiting > 0; });
    }

private:
    OpenGate() {
        VSIFilesystemPluginCallbacksStruct* callbacks = VSIAllocFilesystemPluginCallbacksStruct();
        callbacks->pUserData = this;
        callbacks->open = [](void* self, const char* name, const char* access) -> void* {
            static_cast<OpenGate*>(self)->pass();
            return VSIFOpenL(realPath(name).c_str(), access);
        };
        callbacks->stat = [](void*, const char* name, VSIStatBufL* buffer, int flags) {
            return VSIStatExL(realPath(name).c_str(), buffer, flags);
        };
        callbacks->tell = [](void* file) { return VSIFTellL(static_cast<VSILFILE*>(file)); };
        callbacks->seek = [](void* file, vsi_l_offset offset, int whence) {
            return VSIFSeekL(static_cast<VSILFILE*>(file), offset, whence);
        };
        callbacks->read = [](void* file, void* buffer, size_t size, size_t count) {
            return VSIFReadL(buffer, size, count, static_cast<VSILFILE*>(file));
        };
        callbacks->eof = [](void* file) { return VSIFEofL(static_cast<VSILFILE*>(file)); };
        callbacks->close = [](void* file) { return VSIFCloseL(static_cast<VSILFILE*>(file)); };
        VSIInstallPluginHandler("/vsipromptgate/", callbacks);
        VSIFreeFilesystemPluginCallbacksStruct(callbacks);
    }
    // GDAL hands the callbacks the name without the prefix, whose last '/' is the real path's first.
    static std::string realPath(const char* name) { return std::string("/") + name; }
    void pass() {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = true;
    int m_waiting = 0;
};

AiPromptSegmentationRequest boxRequest(const QString& path, double right) {
    AiPromptSegmentationRequest request;
    request.rasterPath = path;
    request.boxes = {{0, 0, right, 3}};
    return request;
}

TEST(PromptCacheConcurrency, ARasterBeingReadLeavesTheCacheFree) {
    QTemporaryDir dir;
    const QString held = dir.filePath(QStringLiteral("held.tif"));
    const QString other = dir.filePath(QStringLiteral("other.tif"));
    writeTestRaster(held);
    writeTestRaster(other);
    Engine::clearEmbeddingCache();
    OpenGate& gate = OpenGate::instance();
    gate.close();
    AiPromptSegmentationResult heldResult;
    std::thread reader([&] { heldResult = Engine::segment(boxRequest(OpenGate::path(held), 5)); });
    gate.awaitWaiter();

    // With the other raster's read held open, this thread still misses, inserts and hits; were the cache
    // locked during reads, it would wait here for ever.
    EXPECT_FALSE(Engine::segment(boxRequest(other, 5)).cacheHit);
    EXPECT_TRUE(Engine::segment(boxRequest(other, 5)).cacheHit);
    EXPECT_EQ(Engine::embeddingCacheSize(), 1);

    gate.open();
    reader.join();
    EXPECT_EQ(heldResult.result.width, 16);
    EXPECT_FALSE(heldResult.cacheHit);
    EXPECT_EQ(Engine::embeddingCacheSize(), 2);
}

TEST(PromptCacheConcurrency, ThreadsShareEmbeddingsAndGetTheirMasks) {
    QTemporaryDir dir;
    QList<QString> files;
    QList<QByteArray> expected;
    Engine::clearEmbeddingCache();
    for (int file = 0; file < 3; ++file) {
        files.append(dir.filePath(QStringLiteral("%1.tif").arg(file)));
        writeTestRaster(files.back());
        expected.append(Engine::segment(boxRequest(files.back(), 2 + 4 * file)).result.data);
    }
    constexpr int kThreads = 4;
    constexpr int kRounds = 6;
    // Each round starts on every thread at once; thread 0 empties the cache at the start of every other
    // round.
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                start.arrive_and_wait();
                if (t == 0 && round % 2 == 0) {
                    Engine::clearEmbeddingCache();
                }
                const int file = (t + round) % 3;
                EXPECT_EQ(Engine::segment(boxRequest(files[file], 2 + 4 * file)).result.data, expected[file]);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_LE(Engine::embeddingCacheSize(), 3);
    EXPECT_GE(Engine::embeddingCacheSize(), 1);
}

}  // namespace
