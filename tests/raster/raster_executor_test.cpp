// The tiled executors end to end over GeoTIFFs written by the fixtures and generated models: single-output,
// isolated and multi-output runs, GeoTIFF output with its provenance, and block reads counted by a driver.

#include <tarnivale/ai/raster.h>

#include "runtime/gdal_handles.h"
#include "runtime/sha256.h"
#include "support/expectations.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <gdal_priv.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using Executor = AiRasterInferenceExecutor;
using Request = AiRasterInferenceRequest;
using Result = AiRasterInferenceResult;

namespace {

// Size, type, tiles and state of a result as one comparable line.
QString summary(const Result& r) {
    return QString::asprintf("%dx%dx%d %s, %d tiles%s", r.width, r.height, r.bandCount,
                             qPrintable(aiTensorDataTypeName(r.dataType)), r.processedTiles,
                             r.cancelled ? ", cancelled" : "");
}

AiOutputDecoderSpec decoder(const char* id, const char* tensor) {
    AiOutputDecoderSpec spec;
    spec.id = QString::fromLatin1(id);
    spec.tensor = QString::fromLatin1(tensor);
    return spec;
}

class RasterExecutor : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString raster(const TestRasterSpec& spec, const char* name = "input.tif") {
        writeTestRaster(dir.filePath(QString::fromLatin1(name)), spec);
        return dir.filePath(QString::fromLatin1(name));
    }
    // An empty model name leaves the model path blank.
    static Request request(const char* model, const QString& rasterPath, AiTileOptions tiling,
                           AiRasterOutputMode mode = AiRasterOutputMode::FloatBands) {
        Request request;
        request.modelPath = *model == '\0' ? QStringLiteral(" ") : testModelPath(QString::fromLatin1(model));
        request.rasterPath = rasterPath;
        request.tiling = tiling;
        request.outputMode = mode;
        return request;
    }
    static std::vector<std::int32_t> classes(const Request& request) {
        const Result result = Executor::run(request);
        EXPECT_TRUE(result.dataType == AiTensorDataType::Int32 && result.bandCount == 1);
        return valuesOf<std::int32_t>(result.data);
    }
    QTemporaryDir dir;
    QStringList reports;
    AiRasterProgressCallback progress = [this](const AiRasterInferenceProgress& p) {
        reports << QString::asprintf("%d/%d %d%%: %s", p.completedTiles, p.totalTiles, p.percent,
                                     qPrintable(p.message));
    };
};

TEST_F(RasterExecutor, SmallerThanTheTileIsPaddedCroppedAndWrittenAsGeoTiff) {
    const TestRasterSpec spec{.width = 5, .height = 3, .bands = 2};
    const QString path = raster(spec);
    Request run = request("add_one.onnx", path, {8, 8, 2, 2});
    run.modelId = QStringLiteral("adder");
    const Result result = Executor::run(run, progress);
    EXPECT_EQ(summary(result), "5x3x2 Float32, 1 tiles");
    EXPECT_EQ(reports, QStringList{"1/1 100%: Processed AI tile 1 of 1."});
    std::vector<double> expected;
    for (int pixel = 0; pixel < 30; ++pixel) {
        expected.push_back(spec.value(pixel / 15 + 1, pixel % 5, pixel % 15 / 5) + 1.0);
    }
    EXPECT_EQ(valuesOf<float>(result.data), std::vector<float>(expected.begin(), expected.end()));
    const AiInferenceExecutionProvenance& p = result.provenance;
    EXPECT_EQ((QStringList{p.modelId, p.sourcePath, p.sourceCrs, p.sdkVersion}),
              (QStringList{"adder", path, result.projectionWkt, "1.5.38"}));
    EXPECT_EQ((QList<qint64>{p.modelSha256.size(), p.executionId.size(), p.peakMemoryBytes}),
              (QList<qint64>{64, 36, result.peakMemoryBytes}));
    EXPECT_GT(result.peakMemoryBytes, 0);
    EXPECT_TRUE(p.recordedAtUtc.endsWith(QLatin1Char('Z')));

    // Written beside its destination and renamed into place, then read back with GDAL.
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("out")));
    const QString output = dir.filePath(QStringLiteral("out/result.tif"));
    Executor::writeGeoTiff(result, output);
    EXPECT_EQ(QDir(dir.filePath(QStringLiteral("out"))).entryList(QDir::Files | QDir::Hidden),
              QStringList{"result.tif"});
    const Gdal::Dataset dataset = Gdal::open(output, GDAL_OF_RASTER | GDAL_OF_READONLY);
    ASSERT_TRUE(dataset);
    double transform[6];
    ASSERT_EQ(GDALGetGeoTransform(dataset.get(), transform), CE_None);
    EXPECT_EQ(QList<double>(std::begin(transform), std::end(transform)),
              (QList<double>{500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0}));
    EXPECT_STREQ(OSRGetAuthorityCode(GDALGetSpatialRef(dataset.get()), nullptr), "32633");
    int blockX = 0, blockY = 0;
    GDALGetBlockSize(GDALGetRasterBand(dataset.get(), 1), &blockX, &blockY);
    EXPECT_EQ(blockX, 256);  // tiled
    EXPECT_STREQ(GDALGetMetadataItem(dataset.get(), "COMPRESSION", "IMAGE_STRUCTURE"), "DEFLATE");
    EXPECT_EQ(GDALGetRasterDataType(GDALGetRasterBand(dataset.get(), 2)), GDT_Float32);
    const QString canonical = GDALGetMetadataItem(dataset.get(), "TARNIVALE_PROVENANCE", nullptr);
    EXPECT_EQ(canonical, p.canonicalJson());
    EXPECT_TRUE(
        canonical.contains(QString(R"("inputBands":[1,2],"outputMode":"floatBands","tiling":{"height":8,)"
                                   R"("overlapX":2,"overlapY":2,"width":8}},"output":{"bandCount":2,)"
                                   R"("dataType":"Float32","height":3,"width":5})")));
    EXPECT_EQ(QString(GDALGetMetadataItem(dataset.get(), "TARNIVALE_PROVENANCE_SHA256", nullptr)),
              Sha256::hex(canonical.toUtf8()));
    std::vector<double> written = readTestBand(output, 1);
    for (const double value : readTestBand(output, 2)) {
        written.push_back(value);
    }
    EXPECT_EQ(written, expected);

    // A Byte raster without georeferencing: no transform, no CRS, values saturated by the fixture at 255.
    const TestRasterSpec plain{.width = 16,
                               .height = 1,
                               .dataType = GDT_Byte,
                               .geoTransform = std::nullopt,
                               .epsg = 0,
                               .value = [](int, int x, int) { return x * 20.0; }};
    const Result bytes = Executor::run(request("add_one.onnx", raster(plain, "plain.tif"), {16, 16, 0, 0}));
    EXPECT_TRUE(bytes.geoTransform.isEmpty() && bytes.projectionWkt.isEmpty() &&
                bytes.provenance.sourceCrs.isEmpty());
    const std::vector<float> values = valuesOf<float>(bytes.data);
    EXPECT_EQ(std::vector<float>(values.begin() + 11, values.end()),
              (std::vector<float>{221, 241, 256, 256, 256}));
}

TEST_F(RasterExecutor, GeoTiffRefusalsLeaveNoFile) {
    Result mask;
    mask.width = mask.height = mask.bandCount = 1;
    mask.dataType = AiTensorDataType::Int32;
    mask.data = QByteArray(4, '\1');
    mask.geoTransform = {1, 2, 3, 4, 5};  // five values: written without a geotransform
    const QString path = dir.filePath("x.tif");
    const std::string size = "AI raster output dimensions are invalid.";
    // Bad results are invalid arguments; what GDAL refuses is a runtime error.
    for (const auto& [change, error, target] :
         std::vector<std::tuple<std::function<void(Result&)>, std::string, QString>>{
             {[](auto& r) { r.cancelled = true; }, "A cancelled AI inference result cannot be written.",
              path},
             {[](auto&) {}, "AI raster output path is required.", QStringLiteral(" ")},
             {[](auto& r) { r.bandCount = 0; }, size, path},
             {[](auto& r) { r.width = 0; }, size, path},
             {[](auto& r) { r.height = 0; }, size, path},
             {[](auto& r) { r.dataType = AiTensorDataType::Int64; },
              "AI GeoTIFF output currently supports Float32 and Int32 data.", path},
             {[](auto& r) { r.data.chop(1); }, "AI raster output buffer size does not match its dimensions.",
              path},
             {[](auto& r) { r.projectionWkt = "not a projection"; },
              "GDAL could not write the AI output projection.", path},
             {[](auto&) {}, "GDAL could not create the AI GeoTIFF output.", dir.filePath("no/x.tif")}}) {
        Result changed = mask;
        change(changed);
        const auto write = [&] { Executor::writeGeoTiff(changed, target); };
        EXPECT_EQ(error.starts_with("GDAL") ? errorOf<std::runtime_error>(write)
                                            : errorOf<std::invalid_argument>(write),
                  error);
    }
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    Executor::writeGeoTiff(mask, path);
    const Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    double transform[6];
    EXPECT_NE(GDALGetGeoTransform(dataset.get(), transform), CE_None);
    EXPECT_EQ(GDALGetRasterDataType(GDALGetRasterBand(dataset.get(), 1)), GDT_Int32);
    EXPECT_EQ(readTestBand(path, 1), std::vector<double>{0x01010101});
}

TEST(Provenance, CanonicalFormAndDigest) {
    EXPECT_TRUE(AiInferenceExecutionProvenance{}.canonicalJson().contains(R"("outputMode":"classMask")"));
    AiInferenceExecutionProvenance record;
    record.executionId = QStringLiteral("e");
    record.modelId = QString::fromUtf8("m\"odel «é»");
    record.inputBands = {3, 1};
    record.outputMode = AiRasterOutputMode::FloatBands;
    record.outputDataType = AiTensorDataType::Int32;
    record.peakMemoryBytes = std::int64_t{1} << 40;
    record.cancelled = true;
    // Sorted keys at every level, no whitespace, integers without fractions, escaped quotes, UTF-8 text.
    const QString canonical = QString::fromUtf8(
        R"({"cancelled":true,"elapsedMilliseconds":0,"executionId":"e","model":{"id":"m\"odel «é»","path":"",)"
        R"("revision":"","sha256":"","version":""},"options":{"inputBands":[3,1],"outputMode":"floatBands",)"
        R"("tiling":{"height":512,"overlapX":32,"overlapY":32,"width":512}},"output":{"bandCount":0,)"
        R"("dataType":"Int32","height":0,"width":0},"peakMemoryBytes":1099511627776,"provider":"CPU",)"
        R"("recordedAtUtc":"","runtimeVersion":"","schemaVersion":"1.0","sdkVersion":"","source":{"crs":"",)"
        R"("path":""}})");
    EXPECT_EQ(record.canonicalJson(), canonical);
    EXPECT_EQ(record.sha256(), Sha256::hex(canonical.toUtf8()));
}

TEST_F(RasterExecutor, BlendKeepsConstantsAndWeighsOverlaps) {
    TestRasterSpec spec{.width = 12, .height = 11, .bands = 3};
    // Constant logits survive the feather blend wherever windows overlap, as values and as classes.
    const Result constant = Executor::run(request("constant_logits.onnx", raster(spec), {8, 8, 4, 4}));
    EXPECT_EQ(summary(constant), "12x11x2 Float32, 4 tiles");
    const std::vector<float> logits = valuesOf<float>(constant.data);
    for (size_t i = 0; i < 132; ++i) {
        ASSERT_TRUE(std::abs(logits[i] - 0.3f) < 1e-6f && std::abs(logits[132 + i] - 0.7f) < 1e-6f) << i;
    }
    spec.height = 30;  // several window rows
    EXPECT_EQ(classes(request("constant_logits.onnx", raster(spec, "tall.tif"), {8, 8, 4, 4},
                              AiRasterOutputMode::ClassMask)),
              std::vector<std::int32_t>(12 * 30, 1));

    // The model predicts its own tile position: a pixel under several windows gets their mean weighted by
    // the blender's feather weights. Five window rows, so rows are finished while later windows are blended.
    spec.bands = 1;
    spec.height = 21;
    const AiTileOptions tiling{8, 8, 4, 4};
    const std::vector<float> values =
        valuesOf<float>(Executor::run(request("tile_position.onnx", raster(spec, "one.tif"), tiling)).data);
    const QList<AiTileWindow> windows = AiTilePlanner::plan(12, 21, tiling);
    ASSERT_EQ(windows.size(), 10);  // x starts 0, 4; y starts 0, 4, 8, 12, 13
    for (int y = 0; y < 21; ++y) {
        for (int x = 0; x < 12; ++x) {
            double sum = 0.0;
            double weights = 0.0;
            for (const AiTileWindow& w : windows) {
                const double weight = AiTileBlender::featherWeight(x - w.x, y - w.y, 8, 8, 4, 4, w.x == 0,
                                                                   w.x + 8 == 12, w.y == 0, w.y + 8 == 21);
                sum += weight * ((x - w.x) + 10.0 * (y - w.y));
                weights += weight;
            }
            ASSERT_NEAR(values[static_cast<size_t>(y * 12 + x)], sum / weights, 1e-4) << x << "," << y;
        }
    }
}

TEST_F(RasterExecutor, ClassMasksArgmaxTiesAndThresholds) {
    // Band 1 is negative left of x = 3; band 2 equals it on even columns (a tie) and exceeds it on odd ones.
    TestRasterSpec spec{.width = 6, .height = 4, .bands = 2, .value = [](int band, int x, int y) {
                            return (x < 3 ? -5.0 : 5.0) + y + (band == 2 ? x % 2 : 0);
                        }};
    Request run = request("add_one.onnx", raster(spec), {8, 8, 2, 2}, AiRasterOutputMode::ClassMask);
    std::vector<std::int32_t> odd;
    std::vector<std::int32_t> right;
    for (int pixel = 0; pixel < 24; ++pixel) {
        odd.push_back(pixel % 2);  // ties go to the lower channel
        right.push_back(pixel % 6 >= 3 ? 1 : 0);
    }
    EXPECT_EQ(classes(run), odd);
    // One band through a sigmoid decoder with a threshold: a 0/1 mask. Without the decoder the single
    // channel always wins the argmax.
    run.bands = {1};
    run.outputDecoder.id = QStringLiteral("probability");
    run.outputDecoder.activation = QStringLiteral("sigmoid");
    run.outputDecoder.threshold = 0.5;
    EXPECT_EQ(classes(run), right);
    run.outputDecoder = AiOutputDecoderSpec{};
    EXPECT_EQ(classes(run), std::vector<std::int32_t>(24, 0));

    // The threshold compares the blended value as a double: 0.7f (-0.3 plus one) lies just below 0.7.
    spec = {.width = 2, .height = 1, .value = [](int, int x, int) { return x == 0 ? -0.3 : -0.2; }};
    run = request("add_one.onnx", raster(spec, "two.tif"), {4, 4, 0, 0}, AiRasterOutputMode::ClassMask);
    run.outputDecoder.id = QStringLiteral("identity");
    run.outputDecoder.threshold = 0.7;
    EXPECT_EQ(classes(run), (std::vector<std::int32_t>{0, 1}));
    run.outputDecoder.threshold = static_cast<double>(-0.3f + 1.0f);
    EXPECT_EQ(classes(run), (std::vector<std::int32_t>{1, 1}));
}

TEST_F(RasterExecutor, NormalisationRules) {
    const TestRasterSpec spec{.width = 4, .height = 4, .bands = 3};
    Request run = request("add_one.onnx", raster(spec), {4, 4, 0, 0});
    // One mean for every band, per-band deviations (2, 4, 8), a common scale.
    run.normalization = AiNormalization{{100.0}, {2.0, 4.0, 8.0}, 0.5};
    const std::vector<float> values = valuesOf<float>(Executor::run(run).data);
    for (int pixel = 0; pixel < 48; ++pixel) {
        const int band = pixel / 16 + 1;
        const double expected =
            (spec.value(band, pixel % 4, pixel % 16 / 4) * 0.5 - 100.0) / (1 << band) + 1.0;
        EXPECT_NEAR(values[static_cast<size_t>(pixel)], expected, 1e-4);
    }
    run.normalization = AiNormalization{{1.0, 2.0}, {}, 1.0};
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { Executor::run(run); }),
              "AI normalization channel count does not match the selected raster bands.");
    run.normalization = AiNormalization{{}, {1.0, 0.0, 1.0}, 1.0};
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { Executor::run(run); }),
              "AI normalization standard deviation cannot be zero.");
}

TEST_F(RasterExecutor, RefusalsWithTheirMessages) {
    const QString path = raster({.width = 8, .height = 8, .bands = 2});
    const QString garbage = writeBytes(dir.filePath("bad.tif"), QByteArray("II*\0 no TIFF", 12));
    const std::string unopened = "GDAL could not open the AI raster input.";
    const std::string band = "AI raster input band is outside the dataset band range.";
    const std::string nchw = "Raster inference currently requires a Float32 NCHW output tensor.";
    const std::string tile = "ONNX output tile dimensions do not match the configured inference tile size.";
    const std::string noModel =
        "ONNX model file does not exist: " + testModelPath("missing.onnx").toStdString();
    for (const auto& [model, source, bands, output, error] :
         std::vector<std::tuple<const char*, QString, QList<std::int32_t>, QString, std::string>>{
             {"", path, {}, "", "AI model path is required."},
             {"add_one.onnx", QStringLiteral(" "), {}, "", "AI raster path is required."},
             {"add_one.onnx", dir.filePath("missing.tif"), {}, "", unopened},
             {"add_one.onnx", garbage, {}, "", unopened},
             {"add_one.onnx", path, {0}, "", band},
             {"add_one.onnx", path, {1, 3}, "", band},
             {"half_size.onnx", path, {}, "", tile},
             {"int_output.onnx", path, {}, "", nchw},
             {"flat_output.onnx", path, {}, "", nchw},
             {"no_inputs.onnx", path, {}, "", "The ONNX model has no input tensors."},
             {"add_one.onnx", path, {}, "nope", "ONNX output tensor was not found: nope"},
             {"missing.onnx", path, {}, "", noModel}}) {
        Request r = request(model, source, {8, 8, 0, 0});
        r.bands = bands;
        r.outputName = output;
        EXPECT_EQ(errorOf<std::exception>([&] { Executor::run(r); }), error);
    }
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  Executor::run(request("add_one.onnx", path, {8, 8, 8, 0}));
              }),
              "AI tile overlap must be non-negative and smaller than the tile size.");
    Request duplicates = request("add_one.onnx", path, {8, 8, 7, 7});
    duplicates.bands = {2, 2, 1};  // duplicates are allowed; so is the largest overlap
    EXPECT_EQ(summary(Executor::run(duplicates)), "8x8x3 Float32, 1 tiles");
}

TEST_F(RasterExecutor, CancellationAtEveryCheckpoint) {
    const QString path = raster({.width = 12, .height = 8});
    // Checks come in this order: before the session (1), before window 0 (2), before each of its 8 rows
    // (3..10), before window 1 (11), its rows (12..19).
    for (const auto& [stopAt, report] : std::vector<std::pair<int, QString>>{
             {1, "0/0 0%"}, {2, "0/2 0%"}, {5, "0/2 0%"}, {11, "1/2 50%"}, {19, "1/2 50%"}}) {
        Request run = request("add_one.onnx", path, {8, 8, 4, 4});
        int calls = 0;
        run.cancellationRequested = [&calls, stopAt = stopAt] { return ++calls >= stopAt; };
        const Result result = Executor::run(run, progress);
        EXPECT_EQ(calls, stopAt);
        EXPECT_EQ(summary(result),
                  QStringLiteral("12x8x0 Float32, %1 tiles, cancelled").arg(stopAt < 11 ? 0 : 1));
        EXPECT_TRUE(result.data.isEmpty() && result.provenance.cancelled) << stopAt;
        EXPECT_TRUE(stopAt > 1 || result.elapsedMilliseconds == 0);
        EXPECT_EQ(reports.back(), report + QStringLiteral(": AI raster inference cancelled."));
    }
    // The host context is asked first.
    Request hosted = request("add_one.onnx", path, {8, 8, 4, 4});
    hosted.operationContext.requestCancellation();
    bool callbackAsked = false;
    hosted.cancellationRequested = [&] { return callbackAsked = true; };
    EXPECT_TRUE(Executor::run(hosted).cancelled);
    EXPECT_FALSE(callbackAsked);
}

TEST_F(RasterExecutor, RefusingContextEndsTheRunWithItsException) {
    using Tarnivale::Core::Operations::OperationResourceRefused;
    Request run = request("add_one.onnx", raster({.width = 64, .height = 64}), {32, 32, 8, 8});
    // The weight plane alone (64 x 64 x 4 bytes) is allowed; the accumulation planes are not.
    run.operationContext.setMemoryBudgetBytes(64 * 64 * 4);
    EXPECT_THROW(Executor::run(run, progress), OperationResourceRefused);
    EXPECT_TRUE(reports.isEmpty());
    EXPECT_THROW(Executor::runIsolated(run), OperationResourceRefused);
}

TEST_F(RasterExecutor, IsolatedRunsOnAnotherThread) {
    Request run = request("add_one.onnx", raster({.width = 6, .height = 6}), {8, 8, 0, 0});
    const Result here = Executor::run(run);
    std::thread::id progressThread;
    const Result isolated = Executor::runIsolated(
        run, [&](const AiRasterInferenceProgress&) { progressThread = std::this_thread::get_id(); });
    EXPECT_TRUE(isolated.isolatedWorker && !here.isolatedWorker);
    EXPECT_TRUE(isolated.workerThreadId != here.workerThreadId && isolated.workerThreadId >= 0 &&
                here.workerThreadId >= 0);
    EXPECT_NE(progressThread, std::this_thread::get_id());
    EXPECT_EQ(isolated.data, here.data);
    run.rasterPath.clear();
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { Executor::runIsolated(run); }),
              "AI raster path is required.");
}

TEST_F(RasterExecutor, MultiOutputAveragesEveryHeadAndKeepsWhatACancelledRunDid) {
    const TestRasterSpec spec{.width = 12, .height = 8};
    Request run = request("heads.onnx", raster(spec), {8, 8, 4, 4});  // windows at x = 0, 4
    const QList<AiDecodedRasterOutput> outputs = Executor::runDecodedOutputs(
        run, {decoder("twice", "double"), decoder("around", "shifted")}, progress);
    ASSERT_EQ(outputs.size(), 2);
    EXPECT_EQ(outputs[0].id + outputs[1].id, QStringLiteral("twicearound"));
    EXPECT_EQ(summary(outputs[0].result) + "; " + summary(outputs[1].result),
              "12x8x1 Float32, 2 tiles; 12x8x2 Float32, 2 tiles");
    EXPECT_EQ(reports, (QStringList{"1/2 50%: Processed AI tile 1 of 2 for 2 outputs.",
                                    "2/2 100%: Processed AI tile 2 of 2 for 2 outputs."}));
    EXPECT_EQ(outputs[0].result.peakMemoryBytes, 12 * 8 * 4);
    EXPECT_EQ(outputs[1].result.provenance.peakMemoryBytes, 2 * 12 * 8 * 4);
    EXPECT_EQ(outputs[1].result.provenance.outputMode, AiRasterOutputMode::FloatBands);
    EXPECT_NE(outputs[0].result.provenance.executionId, outputs[1].result.provenance.executionId);
    EXPECT_EQ(outputs[0].result.geoTransform.size(), 6);
    const std::vector<float> twice = valuesOf<float>(outputs[0].result.data);
    const std::vector<float> around = valuesOf<float>(outputs[1].result.data);
    for (size_t pixel = 0; pixel < 96; ++pixel) {
        const auto value = static_cast<float>(spec.value(1, pixel % 12, pixel / 12));
        EXPECT_EQ((std::vector<float>{twice[pixel], around[pixel], around[96 + pixel]}),
                  (std::vector<float>{2.0f * value, value + 1.0f, value - 1.0f}));
    }
    // Inside both windows (x = 4..7) the tile positions x and x - 4 are averaged without weights.
    run.modelPath = testModelPath("tile_position.onnx");
    const std::vector<float> positions =
        valuesOf<float>(Executor::runDecodedOutputs(run, {decoder("p", "")})[0].result.data);
    for (int pixel = 0; pixel < 96; ++pixel) {
        const int x = pixel % 12;
        EXPECT_EQ(positions[static_cast<size_t>(pixel)],
                  10 * (pixel / 12) + x - (x >= 4 ? 2 : 0) - (x >= 8 ? 2 : 0));
    }
    // Cancelled from the progress report of the first window: outputs averaged over that window.
    run.modelPath = testModelPath("heads.onnx");
    reports.clear();
    bool stop = false;
    run.cancellationRequested = [&stop] { return stop; };
    QList<AiDecodedRasterOutput> partial = Executor::runDecodedOutputs(
        run, {decoder("twice", "double")}, [&](const AiRasterInferenceProgress& p) {
            progress(p);
            stop = true;
        });
    ASSERT_EQ(partial.size(), 1);
    EXPECT_EQ(summary(partial[0].result), "12x8x1 Float32, 1 tiles, cancelled");
    EXPECT_TRUE(partial[0].result.provenance.cancelled);
    const std::vector<float> values = valuesOf<float>(partial[0].result.data);
    EXPECT_EQ(values[7], 2.0f * static_cast<float>(spec.value(1, 7, 0)));
    EXPECT_EQ(values[8], 0.0f);  // never covered
    EXPECT_EQ(reports.back(), "1/2 50%: AI raster inference cancelled.");
    // Stopped before the first window: one empty output per decoder.
    partial = Executor::runDecodedOutputs(run, {decoder("a", "double"), decoder("b", "shifted")});
    ASSERT_EQ(partial.size(), 2);
    EXPECT_EQ(summary(partial[1].result), "12x8x0 Float32, 0 tiles, cancelled");
    EXPECT_TRUE(partial[1].result.data.isEmpty());
}

TEST_F(RasterExecutor, MultiOutputRefusalsInCheckOrder) {
    const QString path = raster({.width = 12, .height = 8});
    const QString missing = dir.filePath("missing.tif");
    const std::string size = "Decoded raster output dimensions do not match the inference tile size.";
    // Request and decoder problems are found before the raster is opened.
    for (const auto& [model, source, decoders, error] :
         std::vector<std::tuple<const char*, QString, QList<AiOutputDecoderSpec>, std::string>>{
             {"", missing, {}, "AI model path is required."},
             {"heads.onnx", QStringLiteral(" "), {}, "AI raster path is required."},
             {"heads.onnx", missing, {}, "At least one AI output decoder is required."},
             {"heads.onnx", missing, {decoder(" ", "double")}, "Every AI output decoder must have an id."},
             {"heads.onnx",
              missing,
              {decoder("w", "double"), decoder("w", "")},
              "AI output decoder ids must be unique."},
             {"heads.onnx", missing, {decoder("a", "double")}, "GDAL could not open the AI raster input."},
             {"heads.onnx", path, {decoder("a", "nothing")}, "ONNX output tensor was not found: nothing"},
             {"half_size.onnx", path, {decoder("a", "")}, size}}) {
        const Request r = request(model, source, {8, 8, 4, 4});
        EXPECT_EQ(errorOf<std::exception>([&] { Executor::runDecodedOutputs(r, decoders); }), error);
    }
}

// Reads of each (band, block column, block row) through the counting driver; block (x, y) of band b holds
// b + x + y.
std::mutex g_readsMutex;
std::map<std::tuple<int, int, int>, int> g_reads;

struct CountingBand : GDALRasterBand {
    CountingBand(GDALDataset* dataset, int band, int block) {
        poDS = dataset;
        nBand = band;
        eDataType = GDT_Float32;
        nBlockXSize = nBlockYSize = block;
        nRasterXSize = dataset->GetRasterXSize();
        nRasterYSize = dataset->GetRasterYSize();
    }
    CPLErr IReadBlock(int blockX, int blockY, void* data) override {
        const std::lock_guard lock(g_readsMutex);
        ++g_reads[{nBand, blockX, blockY}];
        std::fill_n(static_cast<float*>(data), nBlockXSize * nBlockYSize,
                    static_cast<float>(nBand + blockX + blockY));
        return CE_None;
    }
};

// "counting:W:H:BLOCK:BANDS" opens a synthetic raster whose block reads are counted.
struct CountingDataset : GDALDataset {
    static GDALDataset* open(GDALOpenInfo* info) {
        int width = 0, height = 0, block = 0, bands = 0;
        if (std::sscanf(info->pszFilename, "counting:%d:%d:%d:%d", &width, &height, &block, &bands) != 4) {
            return nullptr;
        }
        auto* dataset = new CountingDataset();  // GDAL owns datasets its drivers open
        dataset->nRasterXSize = width;
        dataset->nRasterYSize = height;
        for (int band = 1; band <= bands; ++band) {
            dataset->SetBand(band, new CountingBand(dataset, band, block));
        }
        return dataset;
    }
};

TEST_F(RasterExecutor, EachSourceBlockIsDecodedOncePerRun) {
    GDALAllRegister();
    auto* driver = new GDALDriver();  // the driver manager owns registered drivers
    driver->SetDescription("TarnivaleCountingTest");
    driver->SetMetadataItem(GDAL_DCAP_RASTER, "YES");
    driver->pfnOpen = CountingDataset::open;
    GetGDALDriverManager()->RegisterDriver(driver);
    // 3 bands of 600 x 520 in 64-pixel blocks; 128-pixel tiles overlapping by 32 straddle block edges, and
    // raster rows are finished in two halves at once.
    const Result result =
        Executor::run(request("add_one.onnx", QStringLiteral("counting:600:520:64:3"), {128, 128, 32, 32}));
    EXPECT_EQ(summary(result), "600x520x3 Float32, 36 tiles");
    const std::lock_guard lock(g_readsMutex);
    EXPECT_EQ(g_reads.size(), 3u * 10 * 9);  // ceil(600 / 64) x ceil(520 / 64) blocks per band
    for (const auto& [block, reads] : g_reads) {
        EXPECT_EQ(reads, 1) << std::get<0>(block) << ": " << std::get<1>(block) << "," << std::get<2>(block);
    }
    // The values reached the result: band 1, block (9, 0) holds 10, plus one; band 3, block (9, 8) 20.
    const std::vector<float> values = valuesOf<float>(result.data);
    EXPECT_EQ(values[599], 11.0f);
    EXPECT_EQ(values[2 * 600 * 520 + 519 * 600 + 599], 21.0f);
}

}  // namespace
