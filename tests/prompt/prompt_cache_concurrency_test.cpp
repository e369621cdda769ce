// The embedding cache shared by threads: a raster being read holds no lock, and prompts running together
// on a few files all get their exact masks (with no race for TSan to report).

#include <tarnivale/ai/prompt.h>

#include "support/raster_fixture.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cpl_vsi.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using Engine = AiPromptSegmentationEngine;

namespace {

std::atomic<int> g_heldOpens{0};
std::atomic<bool> g_gateOpen{true};

// GDAL hands the callbacks the name without the prefix, whose last '/' is the real path's first.
std::string real(const char* name) {
    return std::string("/") + name;
}
VSILFILE* file(void* handle) {
    return static_cast<VSILFILE*>(handle);
}

/// "/vsigate<absolute path>": real files whose opens wait while the gate is shut, so a test can hold a
/// raster read at its start for as long as it needs.
QString gated(const QString& path) {
    static const int installed = [] {
        VSIFilesystemPluginCallbacksStruct* c = VSIAllocFilesystemPluginCallbacksStruct();
        c->open = [](void*, const char* name, const char* access) -> void* {
            ++g_heldOpens;
            g_heldOpens.notify_all();
            g_gateOpen.wait(false);
            return VSIFOpenL(real(name).c_str(), access);
        };
        c->stat = [](void*, const char* name, VSIStatBufL* to, int flags) {
            return VSIStatExL(real(name).c_str(), to, flags);
        };
        c->tell = [](void* h) { return VSIFTellL(file(h)); };
        c->seek = [](void* h, vsi_l_offset at, int whence) { return VSIFSeekL(file(h), at, whence); };
        c->read = [](void* h, void* to, size_t size, size_t n) { return VSIFReadL(to, size, n, file(h)); };
        c->eof = [](void* h) { return VSIFEofL(file(h)); };
        c->close = [](void* h) { return VSIFCloseL(file(h)); };
        const int result = VSIInstallPluginHandler("/vsigate/", c);
        VSIFreeFilesystemPluginCallbacksStruct(c);
        return result;
    }();
    EXPECT_EQ(installed, 0);
    return "/vsigate" + path;
}

AiPromptSegmentationRequest boxRequest(const QString& path, double right = 5) {
    AiPromptSegmentationRequest request;
    request.rasterPath = path;
    request.boxes = {{0, 0, right, 3}};
    return request;
}

TEST(PromptCacheConcurrency, ARasterBeingReadLeavesTheCacheFree) {
    QTemporaryDir dir;
    const QString held = dir.filePath("held.tif"), other = dir.filePath("other.tif");
    writeTestRaster(held);
    writeTestRaster(other);
    Engine::clearEmbeddingCache();
    const QString heldPath = gated(held);
    g_gateOpen = false;
    AiPromptSegmentationResult heldResult;
    std::thread reader([&] { heldResult = Engine::segment(boxRequest(heldPath)); });
    g_heldOpens.wait(0);

    // The other read is held in its open; were the cache locked meanwhile, this would wait for ever.
    const AiPromptSegmentationResult missed = Engine::segment(boxRequest(other));
    EXPECT_FALSE(missed.cacheHit);
    EXPECT_EQ(Engine::embeddingCacheSize(), 1);

    g_gateOpen = true;
    g_gateOpen.notify_all();
    const AiPromptSegmentationResult hit = Engine::segment(boxRequest(other));  // while the held one finishes
    reader.join();
    EXPECT_TRUE(hit.cacheHit);
    EXPECT_EQ(hit.result.data, missed.result.data);
    EXPECT_EQ(heldResult.result.data, missed.result.data);
    EXPECT_FALSE(heldResult.cacheHit);
    EXPECT_EQ(Engine::embeddingCacheSize(), 2);
}

TEST(PromptCacheConcurrency, ThreadsShareEmbeddingsAndGetTheirMasks) {
    QTemporaryDir dir;
    QList<QString> files;
    QList<QByteArray> expected;
    for (int file = 0; file < 3; ++file) {
        files.append(dir.filePath(QString::number(file) + ".tif"));
        writeTestRaster(files.back());
        expected.append(Engine::segment(boxRequest(files.back(), 2 + 4 * file)).result.data);
    }
    // Each round starts on every thread at once; thread 0 empties the cache at the start of every other one.
    std::barrier start(4);
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 6; ++round) {
                start.arrive_and_wait();
                if (t == 0 && round % 2 == 0) {
                    Engine::clearEmbeddingCache();
                }
                const int file = (t + round) % 3;
                EXPECT_EQ(Engine::segment(boxRequest(files[file], 2 + 4 * file)).result.data, expected[file]);
            }
        });
    }
}

}  // namespace
