// The tiled executor end to end: generated models over GeoTIFFs written by the fixtures.

#include <tarnivale/ai/raster.h>

#include "support/expectations.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QTemporaryDir>

#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using Tarnivale::Core::Operations::OperationResourceRefused;

namespace {

class RasterExecutor : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString raster(const TestRasterSpec& spec, const char* name = "input.tif") {
        const QString path = dir.filePath(QString::fromLatin1(name));
        writeTestRaster(path, spec);
        return path;
    }
    static AiRasterInferenceRequest request(const char* model, const QString& rasterPath,
                                            AiTileOptions tiling,
                                            AiRasterOutputMode mode = AiRasterOutputMode::FloatBands) {
        AiRasterInferenceRequest request;
        request.modelPath = testModelPath(QString::fromLatin1(model));
        request.rasterPath = rasterPath;
        request.tiling = tiling;
        request.outputMode = mode;
        return request;
    }
    static std::vector<std::int32_t> classes(const AiRasterInferenceRequest& request) {
        const AiRasterInferenceResult result = AiRasterInferenceExecutor::run(request);
        EXPECT_EQ(result.dataType, AiTensorDataType::Int32);
        EXPECT_EQ(result.bandCount, 1);
        return valuesOf<std::int32_t>(result.data);
    }
    QTemporaryDir dir;
};

}  // namespace

TEST_F(RasterExecutor, SmallerThanTheTileIsPaddedAndCropped) {
    TestRasterSpec spec;
    spec.width = 5;
    spec.height = 3;
    spec.bands = 2;
    const QString path = raster(spec);
    AiRasterInferenceRequest run = request("add_one.onnx", path, {8, 8, 2, 2});
    run.modelId = QStringLiteral("adder");
    std::vector<AiRasterInferenceProgress> reports;
    const AiRasterInferenceResult result = AiRasterInferenceExecutor::run(
        run, [&](const AiRasterInferenceProgress& p) { reports.push_back(p); });

    EXPECT_EQ(result.width, 5);
    EXPECT_EQ(result.height, 3);
    EXPECT_EQ(result.bandCount, 2);
    EXPECT_EQ(result.dataType, AiTensorDataType::Float32);
    EXPECT_EQ(result.processedTiles, 1);
    EXPECT_FALSE(result.cancelled);
    EXPECT_EQ(result.geoTransform, (QList<double>{500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0}));
    EXPECT_TRUE(result.projectionWkt.contains(QStringLiteral("UTM zone 33N")));
    std::vector<float> expected;
    for (int pixel = 0; pixel < 30; ++pixel) {
        expected.push_back(static_cast<float>(spec.value(pixel / 15 + 1, pixel % 5, pixel % 15 / 5) + 1.0));
    }
    EXPECT_EQ(valuesOf<float>(result.data), expected);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].completedTiles, 1);
    EXPECT_EQ(reports[0].totalTiles, 1);
    EXPECT_EQ(reports[0].percent, 100);
    EXPECT_EQ(reports[0].message, QStringLiteral("Processed AI tile 1 of 1."));

    const AiInferenceExecutionProvenance& provenance = result.provenance;
    EXPECT_EQ(provenance.modelId, QStringLiteral("adder"));
    EXPECT_EQ(provenance.modelSha256.size(), 64);
    EXPECT_EQ(provenance.sourcePath, path);
    EXPECT_EQ(provenance.sourceCrs, result.projectionWkt);
    EXPECT_EQ(provenance.sdkVersion, QStringLiteral("1.5.38"));
    EXPECT_EQ(provenance.inputBands, (QList<std::int32_t>{1, 2}));
    EXPECT_EQ(provenance.outputMode, AiRasterOutputMode::FloatBands);
    EXPECT_EQ(provenance.outputBandCount, 2);
    EXPECT_EQ(provenance.peakMemoryBytes, result.peakMemoryBytes);
    EXPECT_GT(result.peakMemoryBytes, 0);
    EXPECT_EQ(provenance.executionId.size(), 36);
    EXPECT_TRUE(provenance.recordedAtUtc.endsWith(QLatin1Char('Z')));

    // A Byte raster without georeferencing: no transform, no CRS, values saturated by the fixture at 255.
    TestRasterSpec plain;
    plain.width = 16;
    plain.height = 1;
    plain.geoTransform.reset();
    plain.epsg = 0;
    plain.dataType = GDT_Byte;
    plain.value = [](int, int x, int) { return x * 20.0; };
    const AiRasterInferenceResult bytes =
        AiRasterInferenceExecutor::run(request("add_one.onnx", raster(plain, "plain.tif"), {16, 16, 0, 0}));
    EXPECT_TRUE(bytes.geoTransform.isEmpty());
    EXPECT_TRUE(bytes.projectionWkt.isEmpty());
    const std::vector<float> values = valuesOf<float>(bytes.data);
    EXPECT_EQ(values[12], 241.0f);
    EXPECT_EQ(values[13], 256.0f);
    EXPECT_EQ(values[15], 256.0f);
}

TEST_F(RasterExecutor, BlendKeepsConstantsAndWeighsOverlaps) {
    TestRasterSpec spec;
    spec.width = 12;
    spec.height = 11;
    spec.bands = 3;
    // Constant logits survive the feather blend wherever windows overlap.
    const AiRasterInferenceResult constant =
        AiRasterInferenceExecutor::run(request("constant_logits.onnx", raster(spec), {8, 8, 4, 4}));
    EXPECT_EQ(constant.processedTiles, 4);
    const std::vector<float> logits = valuesOf<float>(constant.data);
    ASSERT_EQ(logits.size(), 2u * 132);
    for (size_t i = 0; i < 132; ++i) {
        ASSERT_NEAR(logits[i], 0.3f, 1e-6f);
        ASSERT_NEAR(logits[132 + i], 0.7f, 1e-6f);
    }
    // The same as classes over several window rows: channel 1 (0.7) everywhere.
    spec.height = 30;
    EXPECT_EQ(classes(request("constant_logits.onnx", raster(spec, "tall.tif"), {8, 8, 4, 4},
                              AiRasterOutputMode::ClassMask)),
              std::vector<std::int32_t>(12 * 30, 1));

    // The model predicts its own tile position: a pixel under several windows gets their mean weighted by
    // the blender's feather weights. Five window rows, so rows are finished while later windows are blended.
    spec.bands = 1;
    spec.height = 21;
    const std::vector<float> values = valuesOf<float>(
        AiRasterInferenceExecutor::run(request("tile_position.onnx", raster(spec, "one.tif"), {8, 8, 4, 4}))
            .data);
    const QList<AiTileWindow> windows = AiTilePlanner::plan(12, 21, {8, 8, 4, 4});
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
    TestRasterSpec spec;
    spec.width = 6;
    spec.height = 4;
    spec.bands = 2;
    // Band 1 is negative left of x = 3; band 2 equals band 1 on even columns (a tie) and exceeds it on odd
    // ones.
    spec.value = [](int band, int x, int y) { return (x < 3 ? -5.0 : 5.0) + y + (band == 2 ? x % 2 : 0); };
    AiRasterInferenceRequest run =
        request("add_one.onnx", raster(spec), {8, 8, 2, 2}, AiRasterOutputMode::ClassMask);
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

    // The threshold compares the blended value as a double: 0.7f lies just below 0.7.
    spec.width = 2;
    spec.height = 1;
    spec.bands = 1;
    spec.value = [](int, int x, int) { return x == 0 ? -0.3 : -0.2; };  // plus one: 0.7f and 0.8f
    run = request("add_one.onnx", raster(spec, "two.tif"), {4, 4, 0, 0}, AiRasterOutputMode::ClassMask);
    run.outputDecoder.id = QStringLiteral("identity");
    run.outputDecoder.threshold = 0.7;
    EXPECT_EQ(classes(run), (std::vector<std::int32_t>{0, 1}));
    run.outputDecoder.threshold = static_cast<double>(-0.3f + 1.0f);
    EXPECT_EQ(classes(run), (std::vector<std::int32_t>{1, 1}));
}

TEST_F(RasterExecutor, NormalisationRules) {
    TestRasterSpec spec;
    spec.width = 4;
    spec.height = 4;
    spec.bands = 3;
    AiRasterInferenceRequest run = request("add_one.onnx", raster(spec), {4, 4, 0, 0});
    // One mean for every band, per-band deviations, a common scale.
    run.normalization = AiNormalization{{100.0}, {2.0, 4.0, 8.0}, 0.5};
    const std::vector<float> values = valuesOf<float>(AiRasterInferenceExecutor::run(run).data);
    for (int band = 1; band <= 3; ++band) {
        for (int pixel = 0; pixel < 16; ++pixel) {
            const double expected =
                (spec.value(band, pixel % 4, pixel / 4) * 0.5 - 100.0) / (1 << band) + 1.0;
            EXPECT_NEAR(values[static_cast<size_t>((band - 1) * 16 + pixel)], expected, 1e-4);
        }
    }
    run.normalization = AiNormalization{{1.0, 2.0}, {}, 1.0};
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::run(run); }),
              "AI normalization channel count does not match the selected raster bands.");
    run.normalization = AiNormalization{{}, {1.0, 0.0, 1.0}, 1.0};
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::run(run); }),
              "AI normalization standard deviation cannot be zero.");
}

TEST_F(RasterExecutor, RefusalsWithTheirMessages) {
    TestRasterSpec spec;
    spec.width = 8;
    spec.height = 8;
    spec.bands = 2;
    const QString path = raster(spec);
    const QString garbage =
        writeBytes(dir.filePath(QStringLiteral("garbage.tif")), QByteArray("II*\0 this is not a TIFF", 23));
    const std::string unopened = "GDAL could not open the AI raster input.";
    const std::string band = "AI raster input band is outside the dataset band range.";
    const std::string nchw = "Raster inference currently requires a Float32 NCHW output tensor.";
    struct Row {
        const char* model;
        QString raster;
        std::function<void(AiRasterInferenceRequest&)> change;
        std::string error;
    };
    const Row rows[] = {
        {"add_one.onnx", path, [](auto& r) { r.modelPath = QStringLiteral("  "); },
         "AI model path is required."},
        {"add_one.onnx", QStringLiteral(" "), {}, "AI raster path is required."},
        {"add_one.onnx", dir.filePath(QStringLiteral("missing.tif")), {}, unopened},
        {"add_one.onnx", garbage, {}, unopened},
        {"add_one.onnx", path, [](auto& r) { r.bands = {0}; }, band},
        {"add_one.onnx", path,
         [](auto& r) {
             r.bands = {1, 3};
         },
         band},
        {"half_size.onnx",
         path,
         {},
         "ONNX output tile dimensions do not match the configured inference tile size."},
        {"int_output.onnx", path, {}, nchw},
        {"flat_output.onnx", path, {}, nchw},
        {"no_inputs.onnx", path, {}, "The ONNX model has no input tensors."},
        {"add_one.onnx", path, [](auto& r) { r.outputName = QStringLiteral("nope"); },
         "ONNX output tensor was not found: nope"},
        {"add_one.onnx", path, [](auto& r) { r.tiling.overlapX = 8; },
         "AI tile overlap must be non-negative and smaller than the tile size."},
        {"missing.onnx",
         path,
         {},
         "ONNX model file does not exist: " + testModelPath("missing.onnx").toStdString()},
    };
    for (const Row& row : rows) {
        AiRasterInferenceRequest r = request(row.model, row.raster, {8, 8, 0, 0});
        if (row.change) {
            row.change(r);
        }
        EXPECT_EQ(errorOf<std::exception>([&] { AiRasterInferenceExecutor::run(r); }), row.error);
    }
    AiRasterInferenceRequest duplicates = request("add_one.onnx", path, {8, 8, 7, 7});
    duplicates.bands = {2, 2, 1};  // duplicates are allowed; so is the largest overlap
    EXPECT_EQ(AiRasterInferenceExecutor::run(duplicates).bandCount, 3);
}

TEST_F(RasterExecutor, CancellationAtEveryCheckpoint) {
    TestRasterSpec spec;
    spec.width = 12;
    spec.height = 8;
    const QString path = raster(spec);
    const QString never = dir.filePath(QStringLiteral("never.tif"));
    // Checks come in this order: before the session (1), before window 0 (2), before each of its 8 rows
    // (3..10), before window 1 (11), its rows (12..19).
    struct Case {
        int stopAt;
        std::int32_t processed;
        std::int32_t total;
    };
    for (const Case c : {Case{1, 0, 0}, Case{2, 0, 2}, Case{5, 0, 2}, Case{11, 1, 2}, Case{19, 1, 2}}) {
        AiRasterInferenceRequest run = request("add_one.onnx", path, {8, 8, 4, 4});
        int calls = 0;
        run.cancellationRequested = [&calls, c] { return ++calls >= c.stopAt; };
        std::vector<AiRasterInferenceProgress> reports;
        const AiRasterInferenceResult result = AiRasterInferenceExecutor::run(
            run, [&](const AiRasterInferenceProgress& p) { reports.push_back(p); });
        EXPECT_TRUE(result.cancelled) << c.stopAt;
        EXPECT_EQ(calls, c.stopAt);
        EXPECT_EQ(result.processedTiles, c.processed) << c.stopAt;
        EXPECT_EQ(result.bandCount, 0);
        EXPECT_TRUE(result.data.isEmpty());
        EXPECT_TRUE(result.provenance.cancelled);
        if (c.stopAt == 1) {
            EXPECT_EQ(result.elapsedMilliseconds, 0);
        }
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().message, QStringLiteral("AI raster inference cancelled."));
        EXPECT_EQ(reports.back().completedTiles, c.processed);
        EXPECT_EQ(reports.back().totalTiles, c.total);
        EXPECT_EQ(reports.back().percent, c.total == 0 ? 0 : c.processed * 50);
        EXPECT_EQ(
            errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::writeGeoTiff(result, never); }),
            "A cancelled AI inference result cannot be written.");
    }
    EXPECT_FALSE(QFileInfo::exists(never));

    // The host context is asked first.
    AiRasterInferenceRequest hosted = request("add_one.onnx", path, {8, 8, 4, 4});
    hosted.operationContext.requestCancellation();
    bool callbackAsked = false;
    hosted.cancellationRequested = [&] { return callbackAsked = true; };
    EXPECT_TRUE(AiRasterInferenceExecutor::run(hosted).cancelled);
    EXPECT_FALSE(callbackAsked);
}

TEST_F(RasterExecutor, RefusingContextEndsTheRunWithItsException) {
    TestRasterSpec spec;
    spec.width = 64;
    spec.height = 64;
    AiRasterInferenceRequest run = request("add_one.onnx", raster(spec), {32, 32, 8, 8});
    // The weight plane alone (64 x 64 x 4 bytes) is allowed; the accumulation planes are not.
    run.operationContext.setMemoryBudgetBytes(64 * 64 * 4);
    int reports = 0;
    EXPECT_THROW(AiRasterInferenceExecutor::run(run, [&](const AiRasterInferenceProgress&) { ++reports; }),
                 OperationResourceRefused);
    EXPECT_EQ(reports, 0);
    EXPECT_THROW(AiRasterInferenceExecutor::runIsolated(run), OperationResourceRefused);
}

TEST_F(RasterExecutor, IsolatedRunsOnAnotherThread) {
    TestRasterSpec spec;
    spec.width = 6;
    spec.height = 6;
    AiRasterInferenceRequest run = request("add_one.onnx", raster(spec), {8, 8, 0, 0});
    const AiRasterInferenceResult here = AiRasterInferenceExecutor::run(run);
    // The documented id: FNV-1a 64 of the four bytes of the thread id, least significant first, top bit
    // cleared.
    std::uint64_t hash = 14695981039346656037ULL;
    for (const std::uint32_t id = static_cast<std::uint32_t>(gettid()); const int shift : {0, 8, 16, 24}) {
        hash = (hash ^ ((id >> shift) & 0xFFu)) * 1099511628211ULL;
    }
    EXPECT_EQ(here.workerThreadId, static_cast<std::int64_t>(hash & 0x7FFFFFFFFFFFFFFFULL));
    std::thread::id progressThread;
    const AiRasterInferenceResult isolated = AiRasterInferenceExecutor::runIsolated(
        run, [&](const AiRasterInferenceProgress&) { progressThread = std::this_thread::get_id(); });
    EXPECT_TRUE(isolated.isolatedWorker);
    EXPECT_FALSE(here.isolatedWorker);
    EXPECT_NE(isolated.workerThreadId, here.workerThreadId);
    EXPECT_GE(isolated.workerThreadId, 0);
    EXPECT_NE(progressThread, std::this_thread::get_id());
    EXPECT_EQ(isolated.data, here.data);
    run.rasterPath.clear();
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::runIsolated(run); }),
              "AI raster path is required.");
}
