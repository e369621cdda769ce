// Provenance, GeoTIFF output written and read back with GDAL, and class-mask post-processing.

#include <tarnivale/ai/raster.h>

#include "runtime/gdal_handles.h"
#include "runtime/sha256.h"
#include "support/expectations.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

AiRasterInferenceResult maskOf(std::int32_t width, std::int32_t height,
                               const std::vector<std::int32_t>& values) {
    AiRasterInferenceResult result;
    result.width = width;
    result.height = height;
    result.bandCount = 1;
    result.dataType = AiTensorDataType::Int32;
    result.data = QByteArray(reinterpret_cast<const char*>(values.data()),
                             static_cast<qsizetype>(values.size() * sizeof(std::int32_t)));
    return result;
}

}  // namespace

TEST(Provenance, DefaultsCanonicalFormAndDigest) {
    const AiInferenceExecutionProvenance defaults;
    const QJsonObject json = defaults.toJson();
    EXPECT_EQ(json.size(), 13);
    EXPECT_EQ(json.value(QStringLiteral("provider")).toString(), QStringLiteral("CPU"));
    const QJsonObject options = json.value(QStringLiteral("options")).toObject();
    EXPECT_EQ(options.value(QStringLiteral("outputMode")).toString(), QStringLiteral("classMask"));
    EXPECT_TRUE(options.value(QStringLiteral("inputBands")).toArray().isEmpty());
    EXPECT_EQ(json.value(QStringLiteral("output")).toObject().value(QStringLiteral("dataType")).toString(),
              QStringLiteral("Float32"));

    AiInferenceExecutionProvenance record;
    record.executionId = QStringLiteral("e");
    record.modelId = QStringLiteral("m\"odel «é»");
    record.inputBands = {3, 1};
    record.peakMemoryBytes = std::int64_t{1} << 40;
    record.cancelled = true;
    const QString canonical = record.canonicalJson();
    // Sorted keys, no whitespace, integers without fractions, escaped quotes, UTF-8 text.
    EXPECT_TRUE(canonical.startsWith(
        QStringLiteral("{\"cancelled\":true,\"elapsedMilliseconds\":0,\"executionId\":\"e\",")))
        << canonical.toStdString();
    EXPECT_TRUE(canonical.contains(QStringLiteral("\"peakMemoryBytes\":1099511627776,")));
    EXPECT_TRUE(canonical.contains(QStringLiteral("\"inputBands\":[3,1]")));
    EXPECT_TRUE(canonical.contains(QStringLiteral("\"id\":\"m\\\"odel «é»\"")));
    EXPECT_EQ(record.sha256(), Sha256::hex(canonical.toUtf8()));

    // The same content inserted in another order serialises identically.
    QJsonObject reordered;
    const QJsonObject original = record.toJson();
    for (auto it = original.end(); it != original.begin();) {
        --it;
        reordered.insert(it.key(), it.value());
    }
    EXPECT_EQ(QString::fromUtf8(QJsonDocument(reordered).toJson(QJsonDocument::Compact)), canonical);
    AiInferenceExecutionProvenance other = record;
    other.cancelled = false;
    EXPECT_NE(other.sha256(), record.sha256());
}

TEST(GeoTiffOutput, WrittenAndReadBackWithProvenance) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    TestRasterSpec spec;
    spec.width = 20;
    spec.height = 10;
    spec.bands = 3;
    const QString input = dir.filePath(QStringLiteral("in.tif"));
    writeTestRaster(input, spec);
    AiRasterInferenceRequest request;
    request.modelPath = testModelPath(QStringLiteral("add_one.onnx"));
    request.rasterPath = input;
    request.tiling = AiTileOptions{16, 16, 4, 4};
    request.outputMode = AiRasterOutputMode::FloatBands;
    const AiRasterInferenceResult result = AiRasterInferenceExecutor::run(request);

    const QString output = dir.filePath(QStringLiteral("out/result.tif"));
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("out"))));
    AiRasterInferenceExecutor::writeGeoTiff(result, output);
    // Nothing but the result is left in the folder.
    EXPECT_EQ(QDir(dir.filePath(QStringLiteral("out"))).entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral("result.tif")});

    const Gdal::Dataset dataset = Gdal::open(output, GDAL_OF_RASTER | GDAL_OF_READONLY);
    ASSERT_TRUE(dataset);
    EXPECT_EQ(GDALGetRasterCount(dataset.get()), 3);
    EXPECT_EQ(GDALGetRasterDataType(GDALGetRasterBand(dataset.get(), 1)), GDT_Float32);
    double transform[6];
    ASSERT_EQ(GDALGetGeoTransform(dataset.get(), transform), CE_None);
    EXPECT_EQ(QList<double>(std::begin(transform), std::end(transform)), result.geoTransform);
    OGRSpatialReferenceH srs = GDALGetSpatialRef(dataset.get());
    ASSERT_NE(srs, nullptr);
    EXPECT_STREQ(OSRGetAuthorityCode(srs, nullptr), "32633");
    int blockX = 0;
    int blockY = 0;
    GDALGetBlockSize(GDALGetRasterBand(dataset.get(), 1), &blockX, &blockY);
    EXPECT_EQ(blockX, 256);  // tiled
    EXPECT_STREQ(GDALGetMetadataItem(dataset.get(), "COMPRESSION", "IMAGE_STRUCTURE"), "DEFLATE");

    const QString canonical =
        QString::fromUtf8(GDALGetMetadataItem(dataset.get(), "TARNIVALE_PROVENANCE", nullptr));
    const QString digest =
        QString::fromUtf8(GDALGetMetadataItem(dataset.get(), "TARNIVALE_PROVENANCE_SHA256", nullptr));
    EXPECT_EQ(canonical, result.provenance.canonicalJson());
    EXPECT_EQ(digest, Sha256::hex(canonical.toUtf8()));
    const QJsonObject parsed = QJsonDocument::fromJson(canonical.toUtf8()).object();
    EXPECT_EQ(parsed.value(QStringLiteral("output")).toObject().value(QStringLiteral("bandCount")).toInt(),
              3);

    for (int band = 1; band <= 3; ++band) {
        const std::vector<double> values = readTestBand(output, band);
        for (int pixel = 0; pixel < 200; ++pixel) {
            ASSERT_NEAR(values[static_cast<size_t>(pixel)], spec.value(band, pixel % 20, pixel / 20) + 1.0,
                        1e-3);
        }
    }
}

TEST(GeoTiffOutput, RefusalsLeaveNoFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("x.tif"));
    AiRasterInferenceResult mask = maskOf(2, 2, {0, 1, 2, 3});
    mask.geoTransform = {1, 2, 3, 4, 5};  // five values: written without a geotransform

    AiRasterInferenceResult cancelled = mask;
    cancelled.cancelled = true;
    EXPECT_EQ(
        errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::writeGeoTiff(cancelled, path); }),
        "A cancelled AI inference result cannot be written.");
    EXPECT_EQ(errorOf<std::invalid_argument>(
                  [&] { AiRasterInferenceExecutor::writeGeoTiff(mask, QStringLiteral(" ")); }),
              "AI raster output path is required.");
    AiRasterInferenceResult empty = mask;
    empty.bandCount = 0;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::writeGeoTiff(empty, path); }),
              "AI raster output dimensions are invalid.");
    AiRasterInferenceResult wide = mask;
    wide.dataType = AiTensorDataType::Int64;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::writeGeoTiff(wide, path); }),
              "AI GeoTIFF output currently supports Float32 and Int32 data.");
    AiRasterInferenceResult shortData = mask;
    shortData.data.chop(1);
    EXPECT_EQ(
        errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::writeGeoTiff(shortData, path); }),
        "AI raster output buffer size does not match its dimensions.");
    AiRasterInferenceResult badProjection = mask;
    badProjection.projectionWkt = QStringLiteral("not a projection");
    const std::string projectionError =
        errorOf<std::runtime_error>([&] { AiRasterInferenceExecutor::writeGeoTiff(badProjection, path); });
    EXPECT_EQ(projectionError, "GDAL could not write the AI output projection.");
    EXPECT_EQ(errorOf<std::runtime_error>([&] {
                  AiRasterInferenceExecutor::writeGeoTiff(mask,
                                                          dir.filePath(QStringLiteral("no/such/dir/x.tif")));
              }),
              "GDAL could not create the AI GeoTIFF output.");
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());

    AiRasterInferenceExecutor::writeGeoTiff(mask, path);
    const Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    double transform[6];
    EXPECT_NE(GDALGetGeoTransform(dataset.get(), transform), CE_None);
    EXPECT_EQ(GDALGetRasterDataType(GDALGetRasterBand(dataset.get(), 1)), GDT_Int32);
    EXPECT_EQ(readTestBand(path, 1), (std::vector<double>{0, 1, 2, 3}));
}

TEST(ClassMask, RemapAndColorize) {
    AiRasterInferenceResult mask = maskOf(2, 2, {0, 1, 2, -1});
    AiRasterInferenceExecutor::remapClassMask(mask, {10, 20});
    EXPECT_EQ(valuesOf<std::int32_t>(mask.data), (std::vector<std::int32_t>{10, 20, 2, -1}));

    const AiRasterInferenceResult colored = AiRasterInferenceExecutor::colorizeClassMask(
        mask, {{10, 1, 2, 3}, {20, 4, 5, 6}, {10, 7, 8, 9}});  // code 10 twice: the first entry wins
    EXPECT_EQ(colored.bandCount, 3);
    EXPECT_EQ(colored.dataType, AiTensorDataType::Float32);
    EXPECT_EQ(valuesOf<float>(colored.data),
              (std::vector<float>{1, 4, 128, 128, 2, 5, 128, 128, 3, 6, 128, 128}));

    const AiRasterInferenceResult grey =
        AiRasterInferenceExecutor::colorizeClassMask(maskOf(1, 2, {5, 6}), {{0, 300, -1, 0}});
    EXPECT_EQ(valuesOf<float>(grey.data), std::vector<float>(6, 128.0f));
    EXPECT_EQ(valuesOf<float>(
                  AiRasterInferenceExecutor::colorizeClassMask(maskOf(1, 1, {0}), {{0, 300, -1, 0}}).data),
              (std::vector<float>{300, -1, 0}));  // not clamped

    AiRasterInferenceResult floats = mask;
    floats.dataType = AiTensorDataType::Float32;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::remapClassMask(floats, {1}); }),
              "Class-code remapping requires a single-band Int32 class mask.");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::remapClassMask(mask, {}); }),
              "At least one class code is required for class-mask remapping.");
    AiRasterInferenceResult truncated = mask;
    truncated.data.chop(4);
    EXPECT_EQ(
        errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::remapClassMask(truncated, {1}); }),
        "AI class-mask buffer size does not match its dimensions.");
    EXPECT_EQ(
        errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::colorizeClassMask(floats, {{}}); }),
        "Class-mask colorization requires a single-band Int32 class mask.");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::colorizeClassMask(mask, {}); }),
              "At least one class color is required for class-mask colorization.");
    EXPECT_EQ(errorOf<std::invalid_argument>(
                  [&] { AiRasterInferenceExecutor::colorizeClassMask(truncated, {{}}); }),
              "AI class-mask buffer size does not match its dimensions.");
}
