// The SAM3 tracker on the generated tracker bundle, whose decoder selects the colour under the first click:
// selections, source-CRS clicks on a skewed transform, the prompt-token limit, the cache, refusals of
// requests, bundles and decoder outputs, and publication through the GIS writer.

#include <tarnivale/ai/sam3.h>

#include "sam3/sam3_fixture.h"
#include "support/expectations.h"
#include "support/raster_fixture.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

const std::array<double, 6> Skewed{1000.0, 2.0, 0.5, 2000.0, 0.3, -2.0};

/// Red left half, green right half; `change` adjusts the raster description.
QString halves(const QTemporaryDir& dir, const char* name,
               const std::function<void(TestRasterSpec&)>& change = {}) {
    TestRasterSpec spec;
    spec.width = spec.height = 64;
    spec.bands = 3;
    spec.dataType = GDT_Byte;
    spec.colorInterpretations = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand};
    spec.geoTransform = Skewed;
    spec.value = [](int band, int x, int) {
        return (band == 1 && x < 32) || (band == 2 && x >= 32) ? 255.0 : 0.0;
    };
    if (change) {
        change(spec);
    }
    const QString path = dir.filePath(QString::fromLatin1(name));
    writeTestRaster(path, spec);
    return path;
}

AiSamTrackerRequest click(const QString& raster, QList<AiSamPromptPoint> points) {
    AiSamTrackerRequest request;
    request.rasterPath = raster;
    request.points = std::move(points);
    return request;
}

std::vector<std::int32_t> selected(const AiSamTrackerResult& result) {
    return valuesOf<std::int32_t>(result.data);
}

}  // namespace

TEST(Sam3TrackerSession, AClickSelectsTheObjectUnderIt) {
    BundleCopy bundle(u"sam3-tracker"_s);
    QTemporaryDir dir;
    const QString raster = halves(dir, "halves.tif");
    const AiSamTrackerSession session(bundle.manifestPath(), {}, 1 << 30, 1 << 20);

    const AiSamTrackerResult red = session.segment(click(raster, {{10, 30, true}}));
    EXPECT_EQ(red.selectedCandidate, 0);
    EXPECT_EQ(red.qualityScores.size(), 3);
    EXPECT_EQ(red.objectScore, 2.0);
    EXPECT_FALSE(red.cacheHit);
    const std::vector<std::int32_t> left = selected(red);
    ASSERT_EQ(left.size(), 64U * 64U);
    EXPECT_EQ(left[20 * 64 + 5], 1);
    EXPECT_EQ(left[20 * 64 + 28], 1);
    EXPECT_EQ(left[20 * 64 + 36], 0);
    EXPECT_EQ(red.bandCount, 1);
    EXPECT_EQ(red.dataType, AiTensorDataType::Int32);

    const AiSamTrackerResult green = session.segment(click(raster, {{50, 30, true}}));
    EXPECT_EQ(green.selectedCandidate, 1);
    EXPECT_TRUE(green.cacheHit);
    EXPECT_EQ(green.cacheKey, red.cacheKey);
    EXPECT_EQ(selected(green)[20 * 64 + 5], 0);
    EXPECT_EQ(selected(green)[20 * 64 + 40], 1);
    EXPECT_EQ(session.embeddingCacheEntries(), 1);
    EXPECT_GT(session.embeddingCacheBytes(), 0);

    // The same click in source-CRS coordinates (the pixel centre through the skewed transform).
    AiSamTrackerRequest crs = click(raster, {{Skewed[0] + 50.5 * Skewed[1] + 30.5 * Skewed[2],
                                              Skewed[3] + 50.5 * Skewed[4] + 30.5 * Skewed[5], true}});
    crs.coordinateSpace = AiSamCoordinateSpace::SourceCrs;
    const AiSamTrackerResult viaCrs = session.segment(crs);
    EXPECT_EQ(viaCrs.qualityScores, green.qualityScores);
    EXPECT_EQ(viaCrs.data, green.data);
    // Source-CRS points are shifted by half a pixel to pixel centres: the last column's centre is inside,
    // a point a fifth of a pixel into the first column is left of the first centre, outside.
    const auto crsClick = [&](double px, double py) {
        AiSamTrackerRequest r = click(raster, {{Skewed[0] + px * Skewed[1] + py * Skewed[2],
                                                Skewed[3] + px * Skewed[4] + py * Skewed[5], true}});
        r.coordinateSpace = AiSamCoordinateSpace::SourceCrs;
        return errorOf<std::invalid_argument>([&] { session.segment(r); });
    };
    EXPECT_EQ(crsClick(63.5, 30.5), "no error");
    EXPECT_EQ(crsClick(0.2, 30.5), "Point is outside the raster.");
    session.clearEmbeddingCache();
    EXPECT_EQ(session.embeddingCacheEntries(), 0);

    // 64 prompt tokens are accepted, 65 refused; a negative click needs a box.
    const QList<AiSamPromptPoint> sixtyFour(64, AiSamPromptPoint{10, 30, true});
    EXPECT_EQ(session.segment(click(raster, sixtyFour)).selectedCandidate, 0);
    AiSamTrackerRequest boxed = click(raster, sixtyFour.mid(0, 63));
    boxed.hasBox = true;
    boxed.box = {0, 0, 32, 64};
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { session.segment(boxed); }),
              "Tracker accepts at most 64 prompt tokens.");
    boxed.points = {{50, 30, false}};
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { session.segment(boxed); }), "no error");
}

TEST(Sam3TrackerSession, RefusesRequestsBundlesAndDecoderOutputs) {
    BundleCopy bundle(u"sam3-tracker"_s);
    QTemporaryDir dir;
    const QString raster = halves(dir, "halves.tif", [](TestRasterSpec& s) {
        s.maskValid = [](int x, int y) { return !(x < 4 && y < 4); };
    });
    const QString plain = halves(dir, "plain.tif", [](TestRasterSpec& s) { s.geoTransform.reset(); });
    const QString invalid =
        halves(dir, "invalid.tif", [](TestRasterSpec& s) { s.maskValid = [](int, int) { return false; }; });
    const QString singular = halves(dir, "singular.tif", [](TestRasterSpec& s) {
        s.geoTransform = std::array<double, 6>{0.0, 1.0, 2.0, 0.0, 0.5, 1.0};
    });
    const AiSamTrackerSession session(bundle.manifestPath(), {}, 0, 1 << 20);
    const auto with = [&](const QString& path, const std::function<void(AiSamTrackerRequest&)>& change) {
        AiSamTrackerRequest request = click(path, {{10, 30, true}});
        change(request);
        return request;
    };
    const std::vector<std::pair<AiSamTrackerRequest, const char*>> rows{
        {with(raster, [](AiSamTrackerRequest& r) { r.rasterPath.clear(); }),
         "Tracker raster path is required."},
        {with(raster, [](AiSamTrackerRequest& r) { r.points.clear(); }),
         "At least one foreground point or box is required."},
        {with(raster, [](AiSamTrackerRequest& r) { r.points[0].positive = false; }),
         "Negative-only tracker prompts are ambiguous."},
        {with(invalid, [](AiSamTrackerRequest&) {}), "Tracker window has insufficient valid pixels."},
        {with(raster, [](AiSamTrackerRequest& r) { r.points[0].x = std::nan(""); }),
         "Prompt coordinates must be finite."},
        {with(plain, [](AiSamTrackerRequest& r) { r.coordinateSpace = AiSamCoordinateSpace::SourceCrs; }),
         "Source-CRS prompts require georeferencing."},
        {with(singular, [](AiSamTrackerRequest& r) { r.coordinateSpace = AiSamCoordinateSpace::SourceCrs; }),
         "Raster transform is singular."},
        {with(raster, [](AiSamTrackerRequest& r) { r.points[0].x = 64; }), "Point is outside the raster."},
        {with(raster,
              [](AiSamTrackerRequest& r) {
                  r.points[0] = {1, 1, true};
              }),
         "Foreground point is on an invalid pixel."},
        {with(raster,
              [](AiSamTrackerRequest& r) {
                  r.hasBox = true;
                  r.box = {10, 10, 10, 20};
              }),
         "Box is empty or outside the raster."},
        {with(raster,
              [](AiSamTrackerRequest& r) {
                  r.hasBox = true;
                  r.box = {10, 10, 65, 20};
              }),
         "Box is empty or outside the raster."},
    };
    for (const auto& [request, message] : rows) {
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { session.segment(request); }), message);
    }
    // A negative click on an invalid pixel is allowed (only foreground points must be valid).
    AiSamTrackerRequest negative = click(raster, {{1, 1, false}, {10, 30, true}});
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { session.segment(negative); }), "no error");

    for (const auto& [cache, pixels] :
         std::vector<std::pair<std::int64_t, std::int64_t>>{{-1, 1}, {0, 0}, {0, 67108865}}) {
        EXPECT_EQ(errorOf<std::invalid_argument>(
                      [&] { AiSamTrackerSession(u"/missing.json"_s, {}, cache, pixels); }),
                  "Invalid tracker cache or raster limit.");
    }
    BundleCopy text(u"sam3-text"_s);
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiSamTrackerSession(text.manifestPath(), {}, 0, 1); }),
              "Tracker package must pass parity validation first.");
    struct Graph {
        const char* file;
        const char* replacement;
        const char* message;
        bool atRun;
    };
    const Graph graphs[] = {
        {"tracker_encoder.onnx", "sam3-text/vision_encoder.onnx", "Tracker tensor count mismatch.", false},
        {"tracker_decoder.onnx", "sam3_tracker_decoder_float_labels.onnx",
         "Tracker tensor name/type mismatch.", false},
        {"tracker_encoder.onnx", "sam3_tracker_encoder_dynamic.onnx", "Tracker encoder RGB layout mismatch.",
         false},
        {"tracker_encoder.onnx", "sam3_tracker_encoder_flat.onnx", "Invalid tracker embedding shape.", true},
        {"tracker_decoder.onnx", "sam3_tracker_decoder_two.onnx",
         "Invalid tracker decoder output dimensions.", true},
        {"tracker_decoder.onnx", "sam3_tracker_decoder_nan_quality.onnx", "Nonfinite tracker mask quality.",
         true},
        {"tracker_decoder.onnx", "sam3_tracker_decoder_nan_object.onnx", "Nonfinite tracker object score.",
         true},
        {"tracker_decoder.onnx", "sam3_tracker_decoder_nan_logits.onnx", "Nonfinite tracker mask logits.",
         true},
    };
    for (const Graph& graph : graphs) {
        BundleCopy broken(u"sam3-tracker"_s);
        broken.replaceFile(QString::fromLatin1(graph.file),
                           testModelPath(QString::fromLatin1(graph.replacement)));
        EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                      const AiSamTrackerSession opened(broken.manifestPath(), {}, 0, 1 << 20);
                      if (graph.atRun) {
                          opened.segment(click(raster, {{10, 30, true}}));
                      }
                  }),
                  graph.message)
            << graph.replacement;
    }
}

TEST(Sam3TrackerSession, PublishesTheSelection) {
    BundleCopy bundle(u"sam3-tracker"_s);
    QTemporaryDir dir;
    const QString raster = halves(dir, "halves.tif");
    const AiSamTrackerSession session(bundle.manifestPath(), {}, 0, 1 << 20);
    AiSamGisOptions options;
    options.outputDirectory = dir.filePath(u"selection"_s);
    const AiSamGisResult result = session.segmentToGis(click(raster, {{50, 30, true}}), options);
    EXPECT_EQ(result.instances, 1);
    const std::vector<double> labels = readTestBand(result.rasterPath, 1);
    EXPECT_EQ(labels[20 * 64 + 40], 1.0);
    EXPECT_EQ(labels[20 * 64 + 5], 0.0);

    options.outputDirectory = dir.filePath(u"other"_s);
    options.execution.maximumMilliseconds = -1;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  session.segmentToGis(click(raster, {{50, 30, true}}), options);
              }),
              "Invalid tracker GIS deadline.");
    options.execution.maximumMilliseconds = 0;
    options.hasWindow = true;
    options.window = {0, 0, 0, 0, 8, 8};
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  session.segmentToGis(click(raster, {{50, 30, true}}), options);
              }),
              "Tracker GIS windows must agree.");
    options.hasWindow = false;
    options.execution.maximumHostBytes = 0;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  session.segmentToGis(click(raster, {{50, 30, true}}), options);
              }),
              "Invalid SAM3 execution budget.");
    options.execution.maximumHostBytes = 1 << 30;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  session.segmentToGis(click(u"missing.tif"_s, {{1, 1, true}}), options);
              }),
              "Cannot open SAM3 raster.");
    EXPECT_FALSE(QFileInfo::exists(options.outputDirectory));
}
