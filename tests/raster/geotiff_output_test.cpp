// Provenance, GeoTIFF output written and read back with GDAL, and class-mask post-processing.

#include <tarnivale/ai/raster.h>

#include "runtime/gdal_handles.h"
#include "runtime/sha256.h"
#include "support/expectations.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <functional>
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

TEST(Provenance, CanonicalFormAndDigest) {
    const QString defaults = AiInferenceExecutionProvenance{}.canonicalJson();
    EXPECT_TRUE(defaults.contains(QStringLiteral("\"outputMode\":\"classMask\"")));
    EXPECT_TRUE(defaults.contains(QStringLiteral("\"dataType\":\"Float32\"")));

    AiInferenceExecutionProvenance record;
    record.executionId = QStringLiteral("e");
    record.modelId = QStringLiteral("m\"odel «é»");
    record.inputBands = {3, 1};
    record.outputMode = AiRasterOutputMode::FloatBands;
    record.outputDataType = AiTensorDataType::Int32;
    record.peakMemoryBytes = std::int64_t{1} << 40;
    record.cancelled = true;
    // Sorted keys at every level, no whitespace, integers without fractions, escaped quotes, UTF-8 text.
    const QString canonical = QStringLiteral(
        "{\"cancelled\":true,\"elapsedMilliseconds\":0,\"executionId\":\"e\",\"model\":{\"id\":\"m\\\"odel "
        "«é»\","
        "\"path\":\"\",\"revision\":\"\",\"sha256\":\"\",\"version\":\"\"},\"options\":{\"inputBands\":[3,1],"
        "\"outputMode\":\"floatBands\",\"tiling\":{\"height\":512,\"overlapX\":32,\"overlapY\":32,\"width\":"
        "512}},"
        "\"output\":{\"bandCount\":0,\"dataType\":\"Int32\",\"height\":0,\"width\":0},"
        "\"peakMemoryBytes\":1099511627776,\"provider\":\"CPU\",\"recordedAtUtc\":\"\",\"runtimeVersion\":"
        "\"\","
        "\"schemaVersion\":\"1.0\",\"sdkVersion\":\"\",\"source\":{\"crs\":\"\",\"path\":\"\"}}");
    EXPECT_EQ(record.canonicalJson(), canonical);
    EXPECT_EQ(record.sha256(), Sha256::hex(canonical.toUtf8()));
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
    EXPECT_EQ(canonical, result.provenance.canonicalJson());
    EXPECT_TRUE(canonical.contains(QStringLiteral("\"bandCount\":3,")));
    EXPECT_EQ(QString::fromUtf8(GDALGetMetadataItem(dataset.get(), "TARNIVALE_PROVENANCE_SHA256", nullptr)),
              Sha256::hex(canonical.toUtf8()));
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
    struct Row {
        std::function<void(AiRasterInferenceResult&)> change;
        std::string error;
        QString path;
    };
    const Row rows[] = {
        {[](auto& r) { r.cancelled = true; }, "A cancelled AI inference result cannot be written.", path},
        {{}, "AI raster output path is required.", QStringLiteral(" ")},
        {[](auto& r) { r.bandCount = 0; }, "AI raster output dimensions are invalid.", path},
        {[](auto& r) { r.width = 0; }, "AI raster output dimensions are invalid.", path},
        {[](auto& r) { r.height = 0; }, "AI raster output dimensions are invalid.", path},
        {[](auto& r) { r.dataType = AiTensorDataType::Int64; },
         "AI GeoTIFF output currently supports Float32 and Int32 data.", path},
        {[](auto& r) { r.data.chop(1); }, "AI raster output buffer size does not match its dimensions.",
         path},
        {[](auto& r) { r.projectionWkt = QStringLiteral("not a projection"); },
         "GDAL could not write the AI output projection.", path},
        {{},
         "GDAL could not create the AI GeoTIFF output.",
         dir.filePath(QStringLiteral("no/such/dir/x.tif"))},
    };
    for (const Row& row : rows) {
        AiRasterInferenceResult changed = mask;
        if (row.change) {
            row.change(changed);
        }
        const auto write = [&] { AiRasterInferenceExecutor::writeGeoTiff(changed, row.path); };
        // Bad results are invalid arguments; what GDAL refuses is a runtime error.
        EXPECT_EQ(row.error.starts_with("GDAL") ? errorOf<std::runtime_error>(write)
                                                : errorOf<std::invalid_argument>(write),
                  row.error);
    }
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
    EXPECT_EQ(valuesOf<float>(
                  AiRasterInferenceExecutor::colorizeClassMask(maskOf(1, 1, {0}), {{0, 300, -1, 0}}).data),
              (std::vector<float>{300, -1, 0}));  // not clamped

    AiRasterInferenceResult floats = mask;
    floats.dataType = AiTensorDataType::Float32;
    AiRasterInferenceResult truncated = mask;
    truncated.data.chop(4);
    const auto remapError = [](AiRasterInferenceResult r, const QList<std::int32_t>& codes) {
        return errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::remapClassMask(r, codes); });
    };
    const auto colorError = [](const AiRasterInferenceResult& r, const QList<AiClassColor>& palette) {
        return errorOf<std::invalid_argument>(
            [&] { AiRasterInferenceExecutor::colorizeClassMask(r, palette); });
    };
    const std::string size = "AI class-mask buffer size does not match its dimensions.";
    EXPECT_EQ(remapError(floats, {1}), "Class-code remapping requires a single-band Int32 class mask.");
    EXPECT_EQ(remapError(mask, {}), "At least one class code is required for class-mask remapping.");
    EXPECT_EQ(remapError(truncated, {1}), size);
    EXPECT_EQ(colorError(floats, {{}}), "Class-mask colorization requires a single-band Int32 class mask.");
    EXPECT_EQ(colorError(mask, {}), "At least one class color is required for class-mask colorization.");
    EXPECT_EQ(colorError(truncated, {{}}), size);
}
