// Text segmentation on the generated bundle (its decoder finds the red area as candidate 0, with a score that
// depends on the prompt), the embedding cache, refusals of requests and decoder outputs, and tiled runs with
// their stops.

#include <tarnivale/ai/sam3.h>

#include "sam3/sam3_fixture.h"
#include "sam3/sam3_text_session_impl.h"
#include "support/expectations.h"
#include "support/raster_fixture.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

constexpr std::int64_t FeatureBytes = 4 * (3 * 288 * 288 + 3 * 144 * 144 + 2 * 3 * 72 * 72);

AiSamTextSession openSession(const BundleCopy& bundle, std::int64_t cacheLimit = std::int64_t{1} << 30) {
    return SamTextSessionFactory::open(bundle.manifestPath(), {}, cacheLimit, 67108864,
                                       sha256File(bundle.path(u"processor/tokenizer.json"_s)).hex,
                                       sha256File(bundle.path(u"processor/processor_config.json"_s)).hex);
}

/// Red in the columns left of `split`, black elsewhere; `valid` decides the mask band when given.
QString redScene(const QTemporaryDir& dir, const char* name, int width, int height, int split,
                 std::function<bool(int, int)> valid = {}) {
    TestRasterSpec spec;
    spec.width = width;
    spec.height = height;
    spec.bands = 3;
    spec.dataType = GDT_Byte;
    spec.colorInterpretations = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand};
    spec.value = [split](int band, int x, int) { return band == 1 && x < split ? 255.0 : 0.0; };
    spec.maskValid = std::move(valid);
    const QString path = dir.filePath(QString::fromLatin1(name));
    writeTestRaster(path, spec);
    return path;
}

AiSamTextRequest request(const QString& raster, const QString& prompt = u"pool"_s) {
    AiSamTextRequest r;
    r.rasterPath = raster;
    r.prompt = prompt;
    return r;
}

}  // namespace

TEST(Sam3TextSession, SegmentsTheRedAreaWithScoresBoxesAndMasks) {
    BundleCopy bundle(u"sam3-text"_s);
    QTemporaryDir dir;
    const QString raster = redScene(dir, "red.tif", 64, 48, 32);
    const AiSamTextSession session = openSession(bundle);
    EXPECT_EQ(session.tokenize(u"Pool"_s).mid(0, 3), (QList<std::int64_t>{49406, 514, 49407}));

    const AiSamTextResult result = session.segment(request(raster));
    ASSERT_EQ(result.instances.size(), 1);
    EXPECT_EQ(result.candidateCount, 1);
    const AiSamTextInstance& found = result.instances.front();
    EXPECT_EQ(found.queryIndex, 0);
    const double text = (49406.0 + 514.0 + 49407.0) / 49408.0;  // what the fixture's decoder adds to slot 0
    EXPECT_NEAR(result.presenceScore, 1.0 / (1.0 + std::exp(-4.0)), 1e-6);
    EXPECT_NEAR(found.score, result.presenceScore / (1.0 + std::exp(-(3.0 + text))), 1e-5);
    EXPECT_EQ(found.box, (std::array<double, 4>{16.0, 12.0, 48.0, 36.0}));
    ASSERT_EQ(found.mask.size(), 288 * 288);
    EXPECT_EQ(found.mask.at(10 * 288 + 100), 1);  // left half: red
    EXPECT_EQ(found.mask.at(10 * 288 + 200), 0);  // right half: black
    EXPECT_EQ(result.width, 64);
    EXPECT_EQ(result.geoTransform.size(), 6);
    EXPECT_FALSE(result.cacheHit);
    EXPECT_EQ(result.cacheKey.size(), 64);

    // Another prompt on the same window takes the features from the cache.
    const AiSamTextResult again = session.segment(request(raster, u"building"_s));
    EXPECT_TRUE(again.cacheHit);
    EXPECT_EQ(again.cacheKey, result.cacheKey);
    EXPECT_EQ(again.visionMilliseconds, 0);
    EXPECT_NE(again.instances.front().score, found.score);

    // A threshold that admits every slot: all 200 in score order, equal scores in slot order.
    AiSamTextRequest everything = request(raster);
    everything.scoreThreshold = 0.0003;
    everything.maximumInstances = 200;
    const AiSamTextResult all = session.segment(everything);
    ASSERT_EQ(all.instances.size(), 200);
    for (int i = 1; i < 200; ++i) {
        ASSERT_EQ(all.instances.at(i).queryIndex, i);
    }
    everything.maximumInstances = 3;
    EXPECT_EQ(session.segment(everything).instances.size(), 3);
    EXPECT_EQ(session.segment(everything).candidateCount, 200);

    // Pixels under invalid cells are blanked; a window without valid pixels runs no graph.
    const QString halfMasked = redScene(dir, "masked.tif", 64, 48, 64, [](int x, int) { return x >= 32; });
    const AiSamTextResult masked = session.segment(request(halfMasked));
    EXPECT_EQ(masked.instances.front().mask.at(10 * 288 + 100), 0);
    EXPECT_EQ(masked.instances.front().mask.at(10 * 288 + 200), 1);
    AiSamTextRequest strict = request(halfMasked);
    strict.rasterOptions.minimumValidFraction = 0.6;
    EXPECT_TRUE(session.segment(strict).skipped);
    const AiSamTextResult empty =
        session.segment(request(redScene(dir, "none.tif", 8, 8, 4, [](int, int) { return false; })));
    EXPECT_TRUE(empty.skipped);
    EXPECT_TRUE(empty.instances.isEmpty());
    EXPECT_TRUE(empty.cacheKey.isEmpty());
}

TEST(Sam3TextSession, CacheKeepsTheMostRecentlyUsedWithinItsBytes) {
    BundleCopy bundle(u"sam3-text"_s);
    QTemporaryDir dir;
    const QString a = redScene(dir, "a.tif", 16, 16, 8);
    const QString b = redScene(dir, "b.tif", 16, 16, 4);
    const QString c = redScene(dir, "c.tif", 16, 16, 12);
    const AiSamTextSession two = openSession(bundle, 2 * FeatureBytes);
    const auto hit = [](const AiSamTextSession& session, const QString& raster) {
        return session.segment(request(raster)).cacheHit;
    };
    EXPECT_FALSE(hit(two, a));
    EXPECT_FALSE(hit(two, b));
    EXPECT_TRUE(hit(two, a));   // a is now the most recent
    EXPECT_FALSE(hit(two, c));  // evicts b
    EXPECT_TRUE(hit(two, a));
    EXPECT_FALSE(hit(two, b));
    two.clearEmbeddingCache();
    EXPECT_FALSE(hit(two, b));

    const AiSamTextSession none = openSession(bundle, 0);
    EXPECT_FALSE(hit(none, a));
    EXPECT_FALSE(hit(none, a));
}

TEST(Sam3TextSession, RefusesRequestsAndDecoderOutputs) {
    BundleCopy bundle(u"sam3-text"_s);
    for (const auto& [cache, pixels] :
         std::vector<std::pair<std::int64_t, std::int64_t>>{{-1, 1}, {0, 0}, {0, 67108865}}) {
        EXPECT_EQ(errorOf<std::invalid_argument>(
                      [&] { AiSamTextSession(u"/missing/sam3-package.json"_s, {}, cache, pixels); }),
                  "Invalid SAM3 text cache or raster limit.");
    }
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiSamTextSession(bundle.manifestPath(), {}, 0, 1); }),
              "Unsupported SAM3 tokenizer asset; revalidate a new profile before use.");

    QTemporaryDir dir;
    const QString raster = redScene(dir, "red.tif", 32, 32, 16);
    const AiSamTextSession session = openSession(bundle);
    struct Row {
        double threshold;
        std::int64_t instances;
        const char* message;
    };
    for (const Row& row :
         {Row{0.0, 1, "SAM3 score threshold must be between zero and one."},
          Row{1.0, 1, "SAM3 score threshold must be between zero and one."},
          Row{std::nan(""), 1, "SAM3 score threshold must be between zero and one."},
          Row{0.999, 0, "SAM3 instance limit must be 1..200."},
          Row{0.999, 201, "SAM3 instance limit must be 1..200."}, Row{0.999, 200, "no error"}}) {
        AiSamTextRequest r = request(raster);
        r.scoreThreshold = row.threshold;
        r.maximumInstances = row.instances;
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { session.segment(r); }), row.message);
    }
    AiSamTextRequest cancelled = request(raster);
    cancelled.cancellationRequested = [] { return true; };
    EXPECT_THROW(session.segment(cancelled), AiInferenceInterrupted);

    const std::pair<const char*, const char*> decoders[] = {
        {"sam3_decoder_100.onnx", "SAM3 text decoder shape mismatch."},
        {"sam3_decoder_nan_logits.onnx", "Nonfinite SAM3 score."},
        {"sam3_decoder_nan_boxes.onnx", "Nonfinite SAM3 box."},
        {"sam3_decoder_nan_masks.onnx", "Nonfinite SAM3 mask."},
    };
    for (const auto& [model, message] : decoders) {
        BundleCopy broken(u"sam3-text"_s);
        broken.replaceFile(u"decoder.onnx"_s, testModelPath(QString::fromLatin1(model)));
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { openSession(broken).segment(request(raster)); }),
                  message)
            << model;
    }
}

TEST(Sam3TextSession, TiledRunsPullTheLastTileInsideAndStopCleanly) {
    BundleCopy bundle(u"sam3-text"_s);
    QTemporaryDir dir;
    const AiSamTextSession session = openSession(bundle);
    const auto run = [&](const AiSamTiledRequest& tiled, std::vector<AiSamPixelWindow>* windows = nullptr,
                         QStringList* messages = nullptr, const std::function<void()>& afterTile = {}) {
        return session.segmentTiled(
            tiled,
            [&](const AiSamTileResult& tile) {
                if (windows) {
                    windows->push_back(tile.window);
                }
                if (afterTile) {
                    afterTile();
                }
            },
            [&](const AiRasterInferenceProgress& progress) {
                if (messages) {
                    messages->append(u"%1/%2 %3% %4"_s.arg(progress.completedTiles)
                                         .arg(progress.totalTiles)
                                         .arg(progress.percent)
                                         .arg(progress.message));
                }
            });
    };
    AiSamTiledRequest wide;
    static_cast<AiSamTextRequest&>(wide) = request(redScene(dir, "wide.tif", 1025, 4, 512));
    std::vector<AiSamPixelWindow> windows;
    QStringList messages;
    AiSamTiledSummary summary = run(wide, &windows, &messages);
    EXPECT_TRUE(summary.completed);
    EXPECT_EQ(summary.totalTiles, 2);
    ASSERT_EQ(windows.size(), 2U);
    EXPECT_EQ(windows[1].x, 1);
    EXPECT_EQ(windows[1].width, 1024);
    EXPECT_EQ(windows[1].column, 1);
    EXPECT_EQ(messages, (QStringList{u"0/2 0% SAM3 tiled inference started."_s,
                                     u"1/2 50% SAM3 tile completed."_s, u"2/2 100% SAM3 tile completed."_s}));
    EXPECT_EQ(summary.rasterWidth, 1025);

    AiSamTiledRequest four;
    static_cast<AiSamTextRequest&>(four) =
        request(redScene(dir, "four.tif", 64, 16, 64, [](int x, int) { return x < 48; }));
    four.tileWidth = four.tileHeight = 16;
    four.overlapX = four.overlapY = 0;
    summary = run(four);
    EXPECT_EQ(summary.totalTiles, 4);
    EXPECT_EQ(summary.skippedTiles, 1);
    EXPECT_EQ(summary.instances, 3);

    // A cancellation raised while the third tile starts: two tiles consumed, reported, not thrown.
    int consumed = 0;
    four.cancellationRequested = [&] { return consumed == 2; };
    summary = run(four, nullptr, nullptr, [&] { ++consumed; });
    EXPECT_TRUE(summary.cancelled);
    EXPECT_FALSE(summary.completed);
    EXPECT_EQ(summary.completedTiles, 2);
    four.cancellationRequested = {};
    four.execution.maximumMilliseconds = 1;
    summary = run(four, nullptr, nullptr, [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
    EXPECT_TRUE(summary.deadlineExceeded);
    EXPECT_EQ(summary.completedTiles,
              0);  // the first tile alone outlasts 1 ms; its check after the run stops it
    four.execution.maximumMilliseconds = 0;
    four.maximumTotalInstances = 1;
    summary = run(four);
    EXPECT_TRUE(summary.instanceLimitReached);
    EXPECT_EQ(summary.completedTiles, 1);

    struct Row {
        std::function<void(AiSamTiledRequest&)> change;
        const char* message;
    };
    const Row rows[] = {
        {[](AiSamTiledRequest& r) { r.tileWidth = 0; }, "Invalid SAM3 tiling dimensions or overlap."},
        {[](AiSamTiledRequest& r) { r.tileHeight = 32769; }, "Invalid SAM3 tiling dimensions or overlap."},
        {[](AiSamTiledRequest& r) { r.overlapX = 16; }, "Invalid SAM3 tiling dimensions or overlap."},
        {[](AiSamTiledRequest& r) { r.overlapY = -1; }, "Invalid SAM3 tiling dimensions or overlap."},
        {[](AiSamTiledRequest& r) { r.maximumTiles = 0; }, "Invalid SAM3 tiled work limits."},
        {[](AiSamTiledRequest& r) { r.maximumTiles = 1000001; }, "Invalid SAM3 tiled work limits."},
        {[](AiSamTiledRequest& r) { r.maximumTotalInstances = 0; }, "Invalid SAM3 tiled work limits."},
        {[](AiSamTiledRequest& r) { r.prompt = u"~"_s; }, "Unsupported token in SAM3 prompt."},
        {[](AiSamTiledRequest& r) { r.rasterPath = u"missing.tif"_s; }, "Cannot open SAM3 raster."},
        {[](AiSamTiledRequest& r) { r.maximumTiles = 3; }, "SAM3 tile count exceeds its work limit."},
    };
    four.maximumTotalInstances = 100;
    for (const Row& row : rows) {
        AiSamTiledRequest changed = four;
        row.change(changed);
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { run(changed); }), row.message);
    }
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { session.segmentTiled(four, {}); }),
              "SAM3 tiled inference requires a result consumer.");
}

TEST(Sam3TextSession, AWaitingCallerChecksItsBudgetAndLeavesTheQueue) {
    Sam3::PolledMutex mutex;
    std::optional<Sam3::PolledMutex::Hold> held(mutex.acquire());
    int checks = 0;
    std::thread waiter([&] {
        EXPECT_THROW(mutex.acquire([&] {
            if (++checks == 3) {
                throw AiInferenceInterrupted(AiInferenceStopReason::Cancelled);
            }
        }),
                     AiInferenceInterrupted);
    });
    waiter.join();  // it gave up while the lock was still held
    EXPECT_EQ(checks, 3);
    held.reset();
    int after = 0;
    const Sam3::PolledMutex::Hold again = mutex.acquire([&] { ++after; });
    EXPECT_EQ(after, 2);  // before the attempt and once held
}
