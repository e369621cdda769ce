// Raster detection through real GeoTIFFs and the generated square detector: one-shot runs (sizes,
// resampling, layouts, georeferencing, progress, checkpoints, refusals), sliced runs over window seams and
// the GeoPackage of footprints reopened with OGR.

#include <tarnivale/ai/detection.h>

#include "detection/detection_fixture.h"
#include "support/expectations.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <ogr_api.h>
#include <ogr_srs_api.h>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

QString makePackage(const QTemporaryDir& dir, const AiModelManifest& manifest, const QString& name = "pkg") {
    return AiModelPackage::create(dir.filePath(name), manifest, true).directoryPath();
}

AiRasterObjectDetectionRequest requestFor(const QString& package, const QString& raster) {
    AiRasterObjectDetectionRequest request;
    request.packagePath = package;
    request.rasterPath = raster;
    return request;
}

std::string boxes(const QList<AiDetection>& detections) {
    QStringList text;
    for (const AiDetection& d : detections) {
        text << QStringLiteral("%1,%2,%3,%4 %5").arg(d.xMin).arg(d.yMin).arg(d.xMax).arg(d.yMax).arg(d.label);
    }
    text.sort();
    return text.join(u' ').toStdString();
}

std::string progressText(const QList<AiRasterObjectDetectionProgress>& steps) {
    QStringList text;
    for (const auto& step : steps) {
        text << QStringLiteral("%1 %2").arg(step.percent).arg(step.message);
    }
    return text.join(u'|').toStdString();
}

}  // namespace

TEST(RasterDetection, OneShotDetectsGeoreferencesAndWritesAGeoPackage) {
    QTemporaryDir dir;
    const QString raster = dir.filePath("scene.tif");
    writeScene(raster, 64, 64, {{16, 8, 8, 8, 0}, {40, 30, 10, 6, 1}});
    AiRasterObjectDetectionRequest request = requestFor(makePackage(dir, squaresManifest()), raster);
    QList<AiRasterObjectDetectionProgress> steps;
    const AiRasterObjectDetectionResult result =
        AiRasterObjectDetectionExecutor::run(request, [&](const auto& step) { steps.append(step); });
    EXPECT_FALSE(result.cancelled);
    EXPECT_EQ(boxes(result.pixelDetections), "16,8,24,16 red 40,30,50,36 green");
    EXPECT_EQ(boxes(result.detection.detections), boxes(result.pixelDetections));
    EXPECT_EQ(progressText(steps),
              "5 Opening model package...|20 Preparing raster tensor...|55 Running object detection...|"
              "100 Object detection complete.");
    EXPECT_EQ(result.rasterWidth, 64);
    EXPECT_EQ(result.geoTransform, (QList<double>{500000, 10, 0, 4100000, 0, -10}));
    EXPECT_TRUE(result.projection.contains("32633"));
    ASSERT_EQ(result.georeferencedDetections.size(), 2);
    const AiGeoreferencedDetection& red =
        result.georeferencedDetections.at(result.georeferencedDetections.at(0).classId == 0 ? 0 : 1);
    EXPECT_EQ(red.footprint.at(2).x, 500240.0);  // (24, 16) → 500000 + 240, 4100000 − 160
    EXPECT_EQ(red.footprint.at(2).y, 4099840.0);

    // The GeoPackage: one polygon per detection with its fields, in the raster's CRS.
    const QString gpkg = dir.filePath("out/detections.gpkg");
    QDir(dir.path()).mkdir("out");
    EXPECT_EQ(AiDetectionVectorWriter::write(result, gpkg), 2);
    GDALDatasetH vectors = GDALOpenEx(gpkg.toUtf8().constData(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
    ASSERT_NE(vectors, nullptr);
    OGRLayerH layer = GDALDatasetGetLayerByName(vectors, "detections");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(OGR_L_GetFeatureCount(layer, TRUE), 2);
    EXPECT_EQ(OSRGetAuthorityCode(OGR_L_GetSpatialRef(layer), nullptr), std::string("32633"));
    OGR_L_SetAttributeFilter(layer, "label = 'red'");
    OGRFeatureH feature = OGR_L_GetNextFeature(layer);
    ASSERT_NE(feature, nullptr);
    EXPECT_EQ(OGR_F_GetFieldAsInteger(feature, OGR_F_GetFieldIndex(feature, "class_id")), 0);
    EXPECT_EQ(OGR_F_GetFieldAsDouble(feature, OGR_F_GetFieldIndex(feature, "score")), 1.0);
    OGREnvelope envelope;
    OGR_G_GetEnvelope(OGR_F_GetGeometryRef(feature), &envelope);
    EXPECT_EQ(envelope.MinX, 500160.0);
    EXPECT_EQ(envelope.MaxY, 4099920.0);
    EXPECT_EQ(OGR_G_Area(OGR_F_GetGeometryRef(feature)), 80.0 * 80.0);
    OGR_F_Destroy(feature);
    GDALClose(vectors);
    // Never replaced; nothing staged is left behind.
    EXPECT_EQ(errorOf<std::runtime_error>([&] { AiDetectionVectorWriter::write(result, gpkg); }),
              "Detection output already exists: " + gpkg.toStdString());
    EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"detections.gpkg"});
}

TEST(RasterDetection, StretchNhwcNoGeotransformAndCheckpoints) {
    QTemporaryDir dir;
    // 128 × 64 stretched to 64 × 64: x values come back doubled. NHWC input, normalised cxcywh boxes.
    const QString raster = dir.filePath("wide.tif");
    writeScene(raster, 128, 64, {{32, 8, 16, 8, 0}}, false);
    AiModelManifest manifest = squaresManifest(true);
    manifest.inputAdapters[0].resize = " Bilinear ";
    AiRasterObjectDetectionRequest request = requestFor(makePackage(dir, manifest), raster);
    const AiRasterObjectDetectionResult wide = AiRasterObjectDetectionExecutor::run(request);
    ASSERT_EQ(wide.pixelDetections.size(), 1);
    const AiDetection& box = wide.pixelDetections.first();
    EXPECT_NEAR(box.xMin, 32, 2);
    EXPECT_NEAR(box.xMax, 48, 2);
    EXPECT_EQ(std::fmod(box.xMin, 2.0), 0.0);  // a model pixel is two raster pixels wide
    EXPECT_NEAR(box.yMin, 8, 1);
    EXPECT_TRUE(wide.geoTransform.isEmpty());
    EXPECT_TRUE(wide.georeferencedDetections.isEmpty());

    // Checkpoints: an already cancelled context stops before the raster is opened; a callable that
    // answers true the second time stops after the tensor, with the raster's size known.
    // (Copies of a context share its state: the cancelled request gets a context of its own.)
    AiRasterObjectDetectionRequest cancelled = requestFor(request.packagePath, raster);
    cancelled.operationContext.requestCancellation();
    QList<AiRasterObjectDetectionProgress> steps;
    const auto record = [&](const auto& step) { steps.append(step); };
    AiRasterObjectDetectionResult stopped = AiRasterObjectDetectionExecutor::run(cancelled, record);
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_EQ(stopped.rasterWidth, 0);
    EXPECT_EQ(progressText(steps), "5 Opening model package...");
    int asked = 0;
    AiRasterObjectDetectionRequest later = request;
    later.cancellationRequested = [&asked] { return ++asked == 2; };
    steps.clear();
    stopped = AiRasterObjectDetectionExecutor::run(later, record);
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_EQ(stopped.rasterWidth, 128);
    EXPECT_TRUE(stopped.pixelDetections.isEmpty());
    EXPECT_EQ(steps.size(), 2);
}

TEST(RasterDetection, RefusalsInTheirOrder) {
    QTemporaryDir dir;
    const QString raster = dir.filePath("scene.tif");
    writeScene(raster, 64, 64, {});
    const QString other = dir.filePath("other.tif");
    writeScene(other, 60, 64, {});
    // A file cut short after its header: GDAL opens it, its pixels cannot be read.
    const QString truncated = dir.filePath("truncated.tif");
    writeScene(truncated, 64, 64, {});
    QFile::resize(truncated, 600);
    struct Row {
        std::function<void(AiModelManifest&)> change;
        QString raster;
        std::string message;
    };
    const auto none = [](AiModelManifest&) {};
    const std::vector<Row> rows{
        {none, " ", "Input raster path is required."},
        {none, dir.filePath("missing.tif"), "Input raster could not be opened."},
        {[](AiModelManifest& m) { m.task = AiTaskKind::SemanticSegmentation; }, raster,
         "AI manifest task must be object_detection."},
        {[](AiModelManifest& m) { m.inputAdapters[0].source = "text"; }, raster,
         "Object-detection manifest requires a raster input adapter."},
        {[](AiModelManifest& m) {
             m.inputs[0].shape = {1, 3, 4096};
         },
         raster, "Raster object detection currently requires a fixed four-dimensional Float32 input."},
        {[](AiModelManifest& m) { m.inputs[0].layout = AiTensorLayout::Unknown; }, raster,
         "Raster object detection input layout must be NCHW or NHWC."},
        {[](AiModelManifest& m) { m.inputs[0].shape[0] = 2; }, raster,
         "Raster object detection requires fixed positive input dimensions and batch size 1."},
        {[](AiModelManifest& m) { m.inputs[0].shape[2] = -1; }, raster,
         "Raster object detection requires fixed positive input dimensions and batch size 1."},
        {[](AiModelManifest& m) {
             m.inputs[0].shape = {1, 3, 1 << 20, 1 << 20};
         },
         raster, "AI tile buffers exceed the supported size."},
        {[](AiModelManifest& m) {
             m.inputAdapters[0].bands = {1, 2};
         },
         raster, "Raster input adapter band count must match the model channel count."},
        {[](AiModelManifest& m) { m.inputAdapters[0].resize = " Crop"; }, raster,
         "Unsupported raster object-detection resize mode: crop"},
        {none, other, "Resize mode 'none' requires raster dimensions to match the model input dimensions."},
        {[](AiModelManifest& m) {
             m.inputAdapters[0].bands = {1, 2, 4};
         },
         raster, "Raster input adapter references an unavailable band."},
        {none, truncated, "Raster pixels could not be read."},
    };
    int index = 0;
    for (const Row& row : rows) {
        AiModelManifest manifest = squaresManifest();
        row.change(manifest);
        QString package;
        try {
            package = makePackage(dir, manifest, QStringLiteral("p%1").arg(index++));
        } catch (const std::exception& error) {
            ADD_FAILURE() << "package refused: " << error.what() << " for " << row.message;
            continue;
        }
        EXPECT_EQ(errorOf<std::exception>(
                      [&] { AiRasterObjectDetectionExecutor::run(requestFor(package, row.raster)); }),
                  row.message);
    }
    EXPECT_EQ(errorOf<std::invalid_argument>(
                  [&] { AiRasterObjectDetectionExecutor::run(requestFor(" ", raster)); }),
              "AI model package path is required.");
}

TEST(SlicedDetection, FindsSmallObjectsAcrossWindowSeamsThatTheOneShotRunMisses) {
    QTemporaryDir dir;
    const QString raster = dir.filePath("scene.tif");
    // Windows of 64 every 48 pixels (overlap 16): columns start at 0, 48, 96, 144, 192, 236.
    // One square wholly in window 0, one across its right edge (whole in window 1), one across a row seam,
    // one against the raster's far corner.
    const std::vector<Square> squares{{20, 20, 10, 10, 0},
                                      {58, 10, 10, 10, 1},
                                      {150, 58, 10, 10, 0},
                                      {290, 190, 10, 10, 1},
                                      {100, 120, 9, 7, 0}};
    writeScene(raster, 300, 200, squares);
    AiModelManifest manifest = squaresManifest();
    manifest.inputAdapters[0].resize = "stretch";
    const AiRasterObjectDetectionRequest request = requestFor(makePackage(dir, manifest), raster);
    AiSlicedDetectionOptions options;
    options.overlapX = 16;
    options.overlapY = 16;
    QList<AiRasterObjectDetectionProgress> steps;
    const AiRasterObjectDetectionResult sliced =
        AiSlicedObjectDetectionExecutor::run(request, options, [&](const auto& step) { steps.append(step); });
    EXPECT_EQ(
        boxes(sliced.pixelDetections),
        "100,120,109,127 red 150,58,160,68 red 20,20,30,30 red 290,190,300,200 green 58,10,68,20 green");
    EXPECT_EQ(sliced.georeferencedDetections.size(), 5);
    // 6 columns × 4 rows of windows, one report each, rising to 100.
    EXPECT_EQ(steps.size(), 2 + 24 + 1);
    EXPECT_EQ(steps.at(2).message, "Detecting objects in window 1 of 24...");
    EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end(),
                               [](const auto& a, const auto& b) { return a.percent < b.percent; }));
    EXPECT_EQ(steps.last().percent, 100);
    // The one-shot run shrinks the scene to 64 × 64, where no square covers enough of a cell.
    EXPECT_TRUE(AiRasterObjectDetectionExecutor::run(request).pixelDetections.isEmpty());

    // Default overlap (20 % of 64 = 12) still sees each square whole somewhere; a cancellation between
    // windows returns no detections.
    EXPECT_EQ(AiSlicedObjectDetectionExecutor::run(request).pixelDetections.size(), 5);
    int asked = 0;
    AiRasterObjectDetectionRequest stop = request;
    stop.cancellationRequested = [&asked] { return ++asked == 4; };
    const AiRasterObjectDetectionResult stopped = AiSlicedObjectDetectionExecutor::run(stop, options);
    EXPECT_TRUE(stopped.cancelled);
    EXPECT_TRUE(stopped.pixelDetections.isEmpty());

    // Tiles: the overlap must stay below the tile; a tile other than the model's needs a resampling adapter.
    AiSlicedDetectionOptions wide = options;
    wide.overlapX = 64;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiSlicedObjectDetectionExecutor::run(request, wide); }),
              "Sliced detection needs a positive tile larger than its overlap.");
    const AiRasterObjectDetectionRequest fixed =
        requestFor(makePackage(dir, squaresManifest(), "fixed"), raster);
    AiSlicedDetectionOptions doubled;
    doubled.tileWidth = 128;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiSlicedObjectDetectionExecutor::run(fixed, doubled); }),
              "Sliced detection tiles must match the model input size when the resize mode is 'none'.");
    EXPECT_EQ(boxes(AiSlicedObjectDetectionExecutor::run(fixed, options).pixelDetections),
              boxes(sliced.pixelDetections));
    // Plain reads fill an NHWC tensor sample by sample: the same squares.
    const AiRasterObjectDetectionRequest interleaved =
        requestFor(makePackage(dir, squaresManifest(true), "nhwc"), raster);
    EXPECT_EQ(boxes(AiSlicedObjectDetectionExecutor::run(interleaved, options).pixelDetections),
              boxes(sliced.pixelDetections));
}
