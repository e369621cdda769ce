// Prompt segmentation over small GeoTIFFs: box, keyword and click painting with the confidence, the
// embedding cache, errors, and the result's georeferencing and provenance.

#include <tarnivale/ai/prompt.h>

#include "prompt/keyword_selection.h"
#include "support/expectations.h"
#include "support/raster_fixture.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using Engine = AiPromptSegmentationEngine;
using Request = AiPromptSegmentationRequest;

namespace {

// The normalised value of each band (columns) in each quarter of the columns: water, vegetation, cloud
// and neutral pixels. Water B2 - B4 is 1, -1, 0, 0 by quarter; vegetation B4 - B1 is 0, 1, 0, 0; the mean
// of B1..B3 is 1/3, 0, 1, 0.5.
constexpr double kQuarters[4][4] = {{0, 1, 0, 0}, {0, 0, 0, 1}, {1, 1, 1, 1}, {0.5, 0.5, 0.5, 0.5}};

TestRasterSpec groupsRaster(int bands) {
    TestRasterSpec spec;
    spec.bands = bands;
    spec.value = [](int band, int x, int) { return 100.0 * band + 10.0 * band * kQuarters[x / 4][band - 1]; };
    return spec;
}

/// The selected pixels as their bounding rectangle and count: "columns x rows: count", or "none".
std::string extent(const AiRasterInferenceResult& result) {
    const std::vector<std::int32_t> mask = valuesOf<std::int32_t>(result.data);
    int x0 = result.width, x1 = -1, y0 = result.height, y1 = -1, count = 0;
    for (int i = 0; i < static_cast<int>(mask.size()); ++i) {
        if (mask[static_cast<size_t>(i)] == 1) {
            const int x = i % result.width, y = i / result.width;
            x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y), ++count;
        }
    }
    return count == 0 ? "none"
                      : QString::asprintf("%d..%d x %d..%d: %d", x0, x1, y0, y1, count).toStdString();
}

class PromptSegmentation : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        Engine::clearEmbeddingCache();
    }
    QString raster(const QString& name, const TestRasterSpec& spec = {}) {
        writeTestRaster(dir.filePath(name), spec);
        return dir.filePath(name);
    }
    QTemporaryDir dir;
};

TEST_F(PromptSegmentation, BoxesKeywordsAndClicksPaintTheMask) {
    TestRasterSpec constant = groupsRaster(3);  // band 1 is 1 left of column 8, band 2 left of 4, band 3 flat
    constant.value = [](int band, int x, int) { return band == 3 ? 42.0 : double(x < 12 - 4 * band); };
    const std::map<std::string, QString> files = {{"four", raster("four.tif", groupsRaster(4))},
                                                  {"three", raster("three.tif", groupsRaster(3))},
                                                  {"flat", raster("flat.tif", constant)}};
    const QString unsupported = "Text prompt is unsupported for the available raster bands.";
    struct Row {
        std::string file = "four";
        QList<AiPromptBox> box = {};
        QString text = {};
        double at = 0.5;  // text threshold
        QList<AiPromptPoint> click = {};
        int radius = 12;
        std::string want;                       // the extent of the selection
        std::optional<double> confidence = {};  // checked when given
        QString warning = {};
    };
    const AiPromptBox all{0, 0, 15, 15};
    const std::vector<Row> rows = {
        {.box = {{10.2, 5.7, 3.9, 1.1}}, .want = "3..11 x 1..6: 54"},  // floored low, ceiled high
        {.box = {{-5, 2.5, 40, -3}}, .want = "0..15 x 0..3: 64"},      // clipped
        {.box = {{20, 4, 30, 5}}, .want = "15..15 x 4..5: 2"},         // each bound clamped
        {.box = {{2, 2, 2, 2}, {3, 3, 3, 3}}, .want = "2..3 x 2..3: 2", .confidence = 0.6778125},
        {.box = {all}, .want = "0..15 x 0..15: 256", .confidence = 0.92},
        {.click = {{6.5, 6.5, 1}}, .radius = 2, .want = "5..9 x 5..9: 13"},  // halves away from zero
        {.click = {{-0.5, 3.2, 1}}, .radius = 2, .want = "0..1 x 2..4: 4"},
        {.click = {{8, 8, 0}}, .radius = 3, .want = "none", .confidence = 0.0},
        {.box = {all}, .click = {{8, 8, 0}}, .radius = 2, .want = "0..15 x 0..15: 243"},
        {.box = {all}, .click = {{8, 8, 0}, {8, 8, 7}}, .radius = 2, .want = "0..15 x 0..15: 256"},
        {.click = {{100, 100, 1}, {8, -40, 1}}, .radius = 3, .want = "none"},
        {.text = "Water bodies", .want = "0..3 x 0..15: 64"},
        {.text = "sunny fields", .want = "0..3 x 0..15: 64"},       // "su" is water
        {.text = "cloudy water", .want = "0..3 x 0..15: 64"},       // water is looked for first
        {.text = "  BRIGHT clouds ", .want = "8..11 x 0..15: 64"},  // a mean of 0.5 is not above 0.5
        {.text = "bulut", .want = "8..11 x 0..15: 64"},
        {.text = "bitki", .at = 0.0, .want = "4..7 x 0..15: 64"},
        {.text = "vegetation", .want = "4..7 x 0..15: 64"},
        {.text = "water", .at = -1.0, .want = "0..15 x 0..15: 192"},
        {.box = {{12, 0, 15, 15}}, .text = "water", .want = "0..15 x 0..15: 128"},  // adds to the boxes
        {.box = {all},
         .text = "water",
         .click = {{3, 3, 1}},
         .want = "0..15 x 0..15: 256",
         .confidence = 0.95},
        {.box = {{0, 0, 1, 1}}, .text = "roads", .want = "0..1 x 0..1: 4", .warning = unsupported},
        {.file = "three", .text = "water", .want = "none", .confidence = 0.0, .warning = unsupported},
        {.file = "three", .text = "vegetation", .want = "none", .warning = unsupported},
        {.file = "three", .text = "bright", .want = "8..11 x 0..15: 64"},
        {.file = "flat", .text = "cloud", .at = 0.3, .want = "0..7 x 0..15: 128"},  // flat band: zeros
    };
    for (const Row& row : rows) {
        Request r;
        r.rasterPath = files.at(row.file);
        r.boxes = row.box, r.textPrompt = row.text, r.textThreshold = row.at;
        r.clicks = row.click, r.clickRadius = row.radius;
        const AiPromptSegmentationResult result = Engine::segment(r);
        const std::string name = row.want + " " + row.text.toStdString();
        EXPECT_EQ(extent(result.result), row.want) << name;
        EXPECT_NEAR(result.confidence, row.confidence.value_or(result.confidence), 1e-12) << name;
        EXPECT_EQ(result.warnings.join("|"), row.warning) << name;
    }
}

TEST(PromptSelectionBound, DecidesTheDoubleComparisonInSinglePrecision) {
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    for (const double divisor : {1.0, 3.0}) {
        for (const double threshold : {0.5, 1.0 / 3.0, 0.7, -0.25, 2.0 / 3.0, 1e-40, 0.0}) {
            const float bound = selectionBound(threshold, divisor);
            float s = bound;
            for (int step = 0; step < 64; ++step) {
                s = std::nextafter(s, -kInfinity);
            }
            for (int step = 0; step < 128; ++step, s = std::nextafter(s, kInfinity)) {
                ASSERT_EQ(s > bound, static_cast<double>(s) / divisor > threshold)
                    << threshold << " / " << divisor;
            }
        }
    }
}

TEST_F(PromptSegmentation, EmbeddingCacheHitsMissesAndStartsAfresh) {
    const QString path = raster("a.tif");
    Request r;
    r.rasterPath = path;
    r.boxes = {{0, 0, 1, 1}};
    const AiPromptSegmentationResult first = Engine::segment(r);
    EXPECT_FALSE(first.cacheHit);
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{64}$").match(first.cacheKey).hasMatch());
    const AiPromptSegmentationResult second = Engine::segment(r);
    EXPECT_TRUE(second.cacheHit);
    EXPECT_EQ(second.cacheKey, first.cacheKey);

    // Each change makes a new key: the next prompt misses, the one after hits.
    TestRasterSpec wider;
    wider.width = 20;
    const std::vector<std::function<void()>> changes = {
        [&] { r.modelId = "other"; },
        [&] { r.modelSha256 = "feed"; },
        [&] {
            QFile file(path);
            EXPECT_TRUE(
                file.open(QIODevice::ReadWrite) &&
                file.setFileTime(QDateTime::fromSecsSinceEpoch(1'000'000'000), QFile::FileModificationTime));
        },
        [&] { raster("a.tif", wider); },
    };
    for (const auto& change : changes) {
        change();
        EXPECT_FALSE(Engine::segment(r).cacheHit);
        EXPECT_TRUE(Engine::segment(r).cacheHit);
    }
    EXPECT_EQ(Engine::segment(r).result.width, 20);  // not the stale embedding
    EXPECT_EQ(Engine::embeddingCacheSize(), 5);

    Engine::clearEmbeddingCache();
    EXPECT_EQ(Engine::embeddingCacheSize(), 0);
    EXPECT_EQ(extent(second.result), "0..1 x 0..1: 4");  // results keep their own data
    EXPECT_FALSE(Engine::segment(r).cacheHit);

    for (int file = 0; file < 7; ++file) {
        r.rasterPath = raster(QString::number(file) + ".tif");
        Engine::segment(r);
    }
    EXPECT_EQ(Engine::embeddingCacheSize(), 8);
    r.rasterPath = raster("ninth.tif");
    EXPECT_FALSE(Engine::segment(r).cacheHit);
    EXPECT_EQ(Engine::embeddingCacheSize(), 1);
    EXPECT_TRUE(Engine::segment(r).cacheHit);
}

TEST_F(PromptSegmentation, ErrorsInTheirOrder) {
    const QString good = raster("good.tif");
    const QString truncated = raster("truncated.tif", groupsRaster(4));
    ASSERT_TRUE(QFile::resize(truncated, QFileInfo(truncated).size() / 2));
    // A four-dimensional Zarr array opens as a container of two-dimensional slices, without bands of its own.
    const QString container = dir.filePath("slices.zarr");
    ASSERT_TRUE(QDir(dir.path()).mkpath("slices.zarr"));
    writeBytes(container + "/.zarray",
               R"({"chunks":[2,2,2,2],"compressor":null,"dtype":"|u1","fill_value":0,)"
               R"("filters":null,"order":"C","shape":[2,2,2,2],"zarr_format":2})");
    struct Row {
        std::function<void(Request&)> change;
        std::string message;
        bool invalid;
        int cachedAfter;
    };
    const std::vector<Row> rows = {
        {[](Request& r) { r.rasterPath = " ", r.boxes.clear(); }, "Prompt raster path is required.", true, 0},
        {[](Request& r) { r.boxes.clear(), r.textPrompt = "  ", r.clickRadius = 0; },
         "At least one click, box, or text prompt is required.", true, 0},
        {[](Request& r) { r.clickRadius = 0; }, "Click radius must be positive.", true, 0},
        {[&](Request& r) { r.rasterPath = dir.path(); }, "Prompt segmentation raster could not be opened.",
         false, 0},
        {[&](Request& r) { r.rasterPath = container; }, "Prompt segmentation raster has no readable pixels.",
         false, 0},
        {[&](Request& r) { r.rasterPath = truncated; },
         "Prompt segmentation raster band could not be encoded.", false, 0},
        {[](Request& r) { r.cancellationRequested = [] { return true; }; },
         "Prompt segmentation was cancelled.", false, 1},
    };
    for (const Row& row : rows) {
        Request r;
        r.rasterPath = good;
        r.boxes = {{0, 0, 1, 1}};
        row.change(r);
        const auto call = [&] { Engine::segment(r); };
        EXPECT_EQ(row.invalid ? errorOf<std::invalid_argument>(call) : errorOf<std::runtime_error>(call),
                  row.message);
        EXPECT_EQ(Engine::embeddingCacheSize(), row.cachedAfter) << row.message;
    }
}

TEST_F(PromptSegmentation, ResultCarriesGeoreferencingAndProvenance) {
    const TestRasterSpec spec;
    Request r;
    r.rasterPath = raster("geo.tif", spec);
    r.boxes = {{2, 3, 4, 5}};
    r.textPrompt = "roads";
    r.clicks = {{9, 9, 1}};
    r.modelSha256 = "ab12";
    const AiPromptSegmentationResult segmented = Engine::segment(r);
    const AiRasterInferenceResult& result = segmented.result;
    EXPECT_EQ(segmented.promptKinds, QList<QString>({"box", "text", "click"}));
    EXPECT_EQ(QList<qsizetype>(
                  {result.width, result.height, result.bandCount, result.processedTiles, result.data.size()}),
              QList<qsizetype>({16, 16, 1, 1, 16 * 16 * 4}));
    EXPECT_EQ(result.geoTransform, QList<double>(spec.geoTransform->begin(), spec.geoTransform->end()));
    EXPECT_TRUE(result.projectionWkt.contains(R"(AUTHORITY["EPSG","32633"]])"))
        << result.projectionWkt.toStdString();

    const AiInferenceExecutionProvenance& provenance = result.provenance;
    EXPECT_FALSE(provenance.executionId.isEmpty() || provenance.recordedAtUtc.isEmpty());
    AiInferenceExecutionProvenance expected;
    expected.executionId = provenance.executionId, expected.recordedAtUtc = provenance.recordedAtUtc;
    expected.modelId = "tarnivale-sam-style-baseline", expected.modelVersion = "1.0.0",
    expected.modelSha256 = "ab12";
    expected.sourcePath = QFileInfo(r.rasterPath).absoluteFilePath(),
    expected.sourceCrs = result.projectionWkt;
    expected.outputWidth = expected.outputHeight = 16, expected.outputBandCount = 1;
    expected.outputDataType = AiTensorDataType::Int32,
    expected.elapsedMilliseconds = result.elapsedMilliseconds;
    EXPECT_EQ(provenance.canonicalJson(), expected.canonicalJson());
}

}  // namespace
