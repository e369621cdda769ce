// Prompt segmentation over GeoTIFFs written by the fixture: box, keyword and click painting, the embedding
// cache, confidence, errors, and the result's georeferencing and provenance.

#include <tarnivale/ai/prompt.h>

#include "prompt/keyword_selection.h"
#include "runtime/gdal_handles.h"
#include "runtime/sha256.h"
#include "support/expectations.h"
#include "support/raster_fixture.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gdal_utils.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using Engine = AiPromptSegmentationEngine;
using Request = AiPromptSegmentationRequest;

namespace {

// The normalised value of each band (columns) in each quarter of the columns: water, vegetation, cloud
// and neutral pixels.
constexpr double kQuarters[4][4] = {{0, 1, 0, 0}, {0, 0, 0, 1}, {1, 1, 1, 1}, {0.5, 0.5, 0.5, 0.5}};

TestRasterSpec groupsRaster(int bands) {
    TestRasterSpec spec;
    spec.bands = bands;
    spec.value = [](int band, int x, int) { return 100.0 * band + 10.0 * band * kQuarters[x / 4][band - 1]; };
    return spec;
}

/// The selected pixels as their bounding rectangle and count: "columns x rows: count".
std::string extent(const AiRasterInferenceResult& result) {
    const std::vector<std::int32_t> mask = valuesOf<std::int32_t>(result.data);
    int x0 = result.width, x1 = -1, y0 = result.height, y1 = -1, count = 0;
    for (int y = 0; y < result.height; ++y) {
        for (int x = 0; x < result.width; ++x) {
            if (mask[static_cast<size_t>(y * result.width + x)] == 1) {
                x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
                ++count;
            }
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
    static Request request(const QString& path) {
        Request request;
        request.rasterPath = path;
        return request;
    }
    QTemporaryDir dir;
};

TEST_F(PromptSegmentation, BoxesAndClicksPaintInOrder) {
    const QString path = raster(QStringLiteral("plain.tif"));
    struct Row {
        QList<AiPromptBox> boxes;
        QList<AiPromptPoint> clicks;
        int radius;
        std::string expected;
    };
    const AiPromptBox whole{0, 0, 15, 15};
    const std::vector<Row> rows = {
        {{{10.2, 5.7, 3.9, 1.1}}, {}, 12, "3..11 x 1..6: 54"},
        {{{-5, 2.5, 40, -3}}, {}, 12, "0..15 x 0..3: 64"},  // clipped
        {{{20, 4, 30, 5}}, {}, 12, "15..15 x 4..5: 2"},     // each bound clamped
        {{{2, 2, 2, 2}, {3, 3, 3, 3}}, {}, 12, "2..3 x 2..3: 2"},
        {{}, {{6.5, 6.5, 1}}, 2, "5..9 x 5..9: 13"},  // halves away from zero
        {{}, {{-0.5, 3.2, 1}}, 2, "0..1 x 2..4: 4"},  // -0.5 rounds to -1
        {{}, {{8, 8, 1}}, 1, "7..9 x 7..9: 5"},
        {{}, {{8, 8, 0}}, 3, "none"},
        {{whole}, {{8, 8, 0}}, 2, "0..15 x 0..15: 243"},             // a negative click erases in the box
        {{whole}, {{8, 8, 0}, {8, 8, 7}}, 2, "0..15 x 0..15: 256"},  // later clicks override
        {{}, {{100, 100, 1}, {8, -40, 1}}, 3, "none"},
    };
    for (const Row& row : rows) {
        Request r = request(path);
        r.boxes = row.boxes;
        r.clicks = row.clicks;
        r.clickRadius = row.radius;
        EXPECT_EQ(extent(Engine::segment(r).result), row.expected) << row.expected;
    }
}

TEST_F(PromptSegmentation, KeywordGroupsSelectByBandIndices) {
    const QString four = raster(QStringLiteral("four.tif"), groupsRaster(4));
    const QString three = raster(QStringLiteral("three.tif"), groupsRaster(3));
    TestRasterSpec constant = groupsRaster(3);  // band 1 is 1 left of column 8, band 2 left of 4, band 3 flat
    constant.value = [](int band, int x, int) { return band == 3 ? 42.0 : double(x < 12 - 4 * band); };
    const QString flat = raster(QStringLiteral("constant.tif"), constant);
    const std::string warned = "Text prompt is unsupported for the available raster bands.";
    struct Row {
        QString path;
        QString text;
        double threshold;
        QList<AiPromptBox> boxes;
        std::string expected;
        std::string warning;
    };
    const std::vector<Row> rows = {
        {four, QStringLiteral("Water bodies"), 0.5, {}, "0..3 x 0..15: 64", ""},
        {four, QStringLiteral("sunny fields"), 0.5, {}, "0..3 x 0..15: 64", ""},
        {four, QStringLiteral("cloudy water"), 0.5, {}, "0..3 x 0..15: 64", ""},
        {four, QStringLiteral("  BRIGHT clouds "), 0.5, {}, "8..11 x 0..15: 64", ""},  // 0.5 is not above
        {four, QStringLiteral("bulut"), 0.5, {}, "8..11 x 0..15: 64", ""},
        {four, QStringLiteral("vegetation"), 0.5, {}, "4..7 x 0..15: 64", ""},
        {four, QStringLiteral("bitki"), 0.5, {}, "4..7 x 0..15: 64", ""},
        {four, QStringLiteral("water"), -0.5, {}, "0..15 x 0..15: 192", ""},
        {four, QStringLiteral("water"), 0.5, {{12, 0, 15, 15}}, "0..15 x 0..15: 128", ""},  // adds to boxes
        {four, QStringLiteral("roads"), 0.5, {{0, 0, 1, 1}}, "0..1 x 0..1: 4", warned},
        {three, QStringLiteral("water"), 0.5, {}, "none", warned},
        {three, QStringLiteral("vegetation"), 0.5, {}, "none", warned},
        {three, QStringLiteral("bright clouds"), 0.5, {}, "8..11 x 0..15: 64", ""},
        {flat, QStringLiteral("cloud"), 0.3, {}, "0..7 x 0..15: 128", ""},  // the flat band counts as 0
    };
    for (const Row& row : rows) {
        Request r = request(row.path);
        r.textPrompt = row.text;
        r.textThreshold = row.threshold;
        r.boxes = row.boxes;
        const AiPromptSegmentationResult result = Engine::segment(r);
        EXPECT_EQ(extent(result.result), row.expected) << row.text.toStdString();
        EXPECT_EQ(result.warnings.join(QLatin1Char('|')).toStdString(), row.warning)
            << row.text.toStdString();
    }
}

TEST(PromptSelectionBound, DecidesTheDoubleComparisonInSinglePrecision) {
    for (const double divisor : {1.0, 3.0}) {
        for (const double threshold : {0.5, 1.0 / 3.0, 0.7, -0.25, 2.0 / 3.0, 1e-40, 0.0}) {
            const float bound = selectionBound(threshold, divisor);
            float s = bound;
            for (int step = 0; step < 64; ++step) {
                s = std::nextafter(s, -std::numeric_limits<float>::infinity());
            }
            for (int step = 0; step < 128;
                 ++step, s = std::nextafter(s, std::numeric_limits<float>::infinity())) {
                ASSERT_EQ(s > bound, static_cast<double>(s) / divisor > threshold)
                    << threshold << " / " << divisor << " at " << s;
            }
        }
    }
}

TEST_F(PromptSegmentation, ConfidenceAndPromptKinds) {
    const QString path = raster(QStringLiteral("four.tif"), groupsRaster(4));
    struct Row {
        QList<AiPromptBox> boxes;
        QString text;
        QList<AiPromptPoint> clicks;
        double confidence;
        QString kinds;
    };
    const std::vector<Row> rows = {
        {{}, {}, {{8, 8, 0}}, 0.0, QStringLiteral("click")},
        {{{0, 0, 15, 15}}, {}, {}, 0.92, QStringLiteral("box")},
        {{{0, 0, 1, 1}}, {}, {}, 0.65 + 4.0 / 256 + 0.02, QStringLiteral("box")},
        {{{0, 0, 15, 15}}, QStringLiteral("water"), {{3, 3, 1}}, 0.95, QStringLiteral("box,text,click")},
        {{}, QStringLiteral("roads"), {}, 0.0, QStringLiteral("text")},
    };
    for (const Row& row : rows) {
        Request r = request(path);
        r.boxes = row.boxes;
        r.textPrompt = row.text;
        r.clicks = row.clicks;
        const AiPromptSegmentationResult result = Engine::segment(r);
        EXPECT_DOUBLE_EQ(result.confidence, row.confidence) << row.kinds.toStdString();
        EXPECT_EQ(result.promptKinds.join(QLatin1Char(',')), row.kinds);
    }
}

TEST_F(PromptSegmentation, EmbeddingCacheKeysHitsAndReset) {
    // "%2" in the path: the key text must take the path as it is.
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("run%2")));
    const QString path = raster(QStringLiteral("run%2/a.tif"));
    Request r = request(path);
    r.boxes = {{0, 0, 1, 1}};
    r.modelSha256 = QStringLiteral("feed");
    const QFileInfo info(path);
    const QString identity =
        info.absoluteFilePath() + QStringLiteral("|%1|%2|feed|tarnivale-sam-style-baseline")
                                      .arg(info.size())
                                      .arg(info.lastModified().toMSecsSinceEpoch());

    const AiPromptSegmentationResult first = Engine::segment(r);
    EXPECT_EQ(first.cacheKey, Sha256::hex(identity.toUtf8()));
    EXPECT_FALSE(first.cacheHit);
    EXPECT_EQ(Engine::embeddingCacheSize(), 1);
    const AiPromptSegmentationResult second = Engine::segment(r);
    EXPECT_TRUE(second.cacheHit);
    EXPECT_EQ(second.cacheKey, first.cacheKey);

    Request otherModel = r;
    otherModel.modelId = QStringLiteral("other");
    EXPECT_FALSE(Engine::segment(otherModel).cacheHit);
    EXPECT_EQ(Engine::embeddingCacheSize(), 2);

    Engine::clearEmbeddingCache();
    EXPECT_EQ(Engine::embeddingCacheSize(), 0);
    EXPECT_EQ(extent(second.result), "0..1 x 0..1: 4");  // results keep their own data
    EXPECT_FALSE(Engine::segment(r).cacheHit);

    // A rewritten file has a new size, hence a new key; eight entries make the next miss start afresh.
    TestRasterSpec wider;
    wider.width = 20;
    raster(QStringLiteral("run%2/a.tif"), wider);
    const AiPromptSegmentationResult rewritten = Engine::segment(r);
    EXPECT_FALSE(rewritten.cacheHit);
    EXPECT_EQ(rewritten.result.width, 20);
    for (int file = 0; file < 6; ++file) {
        r.rasterPath = raster(QStringLiteral("%1.tif").arg(file));
        Engine::segment(r);
    }
    EXPECT_EQ(Engine::embeddingCacheSize(), 8);
    r.rasterPath = raster(QStringLiteral("ninth.tif"));
    EXPECT_FALSE(Engine::segment(r).cacheHit);
    EXPECT_EQ(Engine::embeddingCacheSize(), 1);
    EXPECT_TRUE(Engine::segment(r).cacheHit);
}

TEST_F(PromptSegmentation, ErrorsInTheirOrder) {
    const QString good = raster(QStringLiteral("good.tif"));
    const QString truncated = raster(QStringLiteral("truncated.tif"), groupsRaster(4));
    ASSERT_TRUE(QFile::resize(truncated, QFileInfo(truncated).size() / 2));
    // A GeoPackage of two raster tables opens as a container of subdatasets, without bands of its own.
    const QString container = dir.filePath(QStringLiteral("two.gpkg"));
    {
        const Gdal::Dataset source = Gdal::open(good, GDAL_OF_RASTER);
        for (const char* table : {"RASTER_TABLE=a", "RASTER_TABLE=b"}) {
            const char* arguments[] = {
                "-of", "GPKG", "-ot", "Byte", "-co", table, "-co", "APPEND_SUBDATASET=YES", nullptr};
            const std::unique_ptr<GDALTranslateOptions, void (*)(GDALTranslateOptions*)> options(
                GDALTranslateOptionsNew(const_cast<char**>(arguments), nullptr), GDALTranslateOptionsFree);
            ASSERT_TRUE(Gdal::Dataset(
                GDALTranslate(container.toUtf8().constData(), source.get(), options.get(), nullptr)));
        }
    }
    using Invalid = std::invalid_argument;
    using Runtime = std::runtime_error;
    struct Row {
        std::function<void(Request&)> change;
        std::string message;
        bool invalid;
        int cachedAfter;
    };
    const std::vector<Row> rows = {
        {[](Request& r) { r.rasterPath = QStringLiteral(" "), r.boxes.clear(); },
         "Prompt raster path is required.", true, 0},
        {[](Request& r) { r.boxes.clear(), r.textPrompt = QStringLiteral("  "), r.clickRadius = 0; },
         "At least one click, box, or text prompt is required.", true, 0},
        {[](Request& r) { r.clickRadius = 0; }, "Click radius must be positive.", true, 0},
        {[&](Request& r) { r.rasterPath = dir.filePath(QStringLiteral("missing.tif")); },
         "Prompt segmentation raster could not be opened.", false, 0},
        {[&](Request& r) { r.rasterPath = container; }, "Prompt segmentation raster has no readable pixels.",
         false, 0},
        {[&](Request& r) { r.rasterPath = truncated; },
         "Prompt segmentation raster band could not be encoded.", false, 0},
        {[](Request& r) { r.cancellationRequested = [] { return true; }; },
         "Prompt segmentation was cancelled.", false, 1},
    };
    for (const Row& row : rows) {
        Request r = request(good);
        r.boxes = {{0, 0, 1, 1}};
        row.change(r);
        const auto call = [&] { Engine::segment(r); };
        EXPECT_EQ(row.invalid ? errorOf<Invalid>(call) : errorOf<Runtime>(call), row.message);
        EXPECT_EQ(Engine::embeddingCacheSize(), row.cachedAfter) << row.message;
    }
}

TEST_F(PromptSegmentation, ResultCarriesGeoreferencingAndProvenance) {
    const TestRasterSpec spec;
    const QString path = raster(QStringLiteral("geo.tif"), spec);
    Request r = request(path);
    r.boxes = {{2, 3, 4, 5}};
    r.modelSha256 = QStringLiteral("ab12");
    const AiRasterInferenceResult result = Engine::segment(r).result;

    EXPECT_EQ(QString::asprintf("%dx%dx%d %s %d tiles %d bytes", result.width, result.height,
                                result.bandCount, qPrintable(aiTensorDataTypeName(result.dataType)),
                                result.processedTiles, static_cast<int>(result.data.size())),
              QStringLiteral("16x16x1 Int32 1 tiles 1024 bytes"));
    EXPECT_EQ(result.geoTransform, QList<double>(spec.geoTransform->begin(), spec.geoTransform->end()));
    const Gdal::Dataset source = Gdal::open(path, GDAL_OF_RASTER);
    EXPECT_EQ(result.projectionWkt, QString::fromUtf8(GDALGetProjectionRef(source.get())));
    EXPECT_TRUE(result.projectionWkt.contains(QStringLiteral("32633")));

    const AiInferenceExecutionProvenance& provenance = result.provenance;
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}$"))
                    .match(provenance.executionId)
                    .hasMatch());
    const QDateTime recorded = QDateTime::fromString(provenance.recordedAtUtc, Qt::ISODateWithMs);
    EXPECT_TRUE(recorded.isValid() && recorded.timeSpec() == Qt::UTC &&
                provenance.recordedAtUtc.contains(QLatin1Char('.')));
    AiInferenceExecutionProvenance expected;
    expected.executionId = provenance.executionId;
    expected.recordedAtUtc = provenance.recordedAtUtc;
    expected.modelId = QStringLiteral("tarnivale-sam-style-baseline");
    expected.modelVersion = QStringLiteral("1.0.0");
    expected.modelSha256 = QStringLiteral("ab12");
    expected.sourcePath = QFileInfo(path).absoluteFilePath();
    expected.sourceCrs = result.projectionWkt;
    expected.outputWidth = expected.outputHeight = 16;
    expected.outputBandCount = 1;
    expected.outputDataType = AiTensorDataType::Int32;
    expected.elapsedMilliseconds = result.elapsedMilliseconds;
    EXPECT_EQ(provenance.canonicalJson(), expected.canonicalJson());
}

}  // namespace
