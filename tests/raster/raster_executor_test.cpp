// The tiled executor end to end: generated models over GeoTIFFs written by the fixtures.

#include <tarnivale/ai/raster.h>

#include "support/expectations.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using Tarnivale::Core::Operations::OperationResourceRefused;

namespace {

// The ramp of one axis, written out here rather than taken from the library.
double ramp(int position, int size, int overlap, bool nearEdge, bool farEdge) {
    double factor = 1.0;
    if (overlap > 0 && !nearEdge && position < overlap) {
        factor = std::min(1.0, (position + 1.0) / (overlap + 1.0));
    }
    if (overlap > 0 && !farEdge && position >= size - overlap) {
        factor = std::min(factor, (size - position) / (overlap + 1.0));
    }
    return factor;
}

class RasterExecutor : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString raster(const TestRasterSpec& spec, const char* name = "input.tif") {
        const QString path = dir.filePath(QString::fromLatin1(name));
        writeTestRaster(path, spec);
        return path;
    }
    static AiRasterInferenceRequest request(const char* model, const QString& rasterPath,
                                            AiTileOptions tiling) {
        AiRasterInferenceRequest request;
        request.modelPath = testModelPath(QString::fromLatin1(model));
        request.rasterPath = rasterPath;
        request.tiling = tiling;
        request.outputMode = AiRasterOutputMode::FloatBands;
        return request;
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
    EXPECT_FALSE(result.isolatedWorker);
    EXPECT_EQ(result.geoTransform, (QList<double>{500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0}));
    EXPECT_TRUE(result.projectionWkt.contains(QStringLiteral("UTM zone 33N")));
    const std::vector<float> values = valuesOf<float>(result.data);
    ASSERT_EQ(values.size(), 2u * 5 * 3);
    for (int band = 1; band <= 2; ++band) {
        for (int y = 0; y < 3; ++y) {
            for (int x = 0; x < 5; ++x) {
                EXPECT_EQ(values[static_cast<size_t>((band - 1) * 15 + y * 5 + x)],
                          spec.value(band, x, y) + 1.0);
            }
        }
    }
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].completedTiles, 1);
    EXPECT_EQ(reports[0].totalTiles, 1);
    EXPECT_EQ(reports[0].percent, 100);
    EXPECT_EQ(reports[0].message, QStringLiteral("Processed AI tile 1 of 1."));

    const AiInferenceExecutionProvenance& provenance = result.provenance;
    EXPECT_EQ(provenance.modelId, QStringLiteral("adder"));
    EXPECT_EQ(provenance.modelSha256.size(), 64);
    EXPECT_EQ(provenance.sourcePath, path);
    EXPECT_EQ(provenance.sdkVersion, QStringLiteral("1.5.38"));
    EXPECT_EQ(provenance.inputBands, (QList<std::int32_t>{1, 2}));
    EXPECT_EQ(provenance.outputMode, AiRasterOutputMode::FloatBands);
    EXPECT_EQ(provenance.outputBandCount, 2);
    EXPECT_EQ(provenance.peakMemoryBytes, result.peakMemoryBytes);
    EXPECT_GT(result.peakMemoryBytes, 0);
    EXPECT_EQ(provenance.executionId.size(), 36);
    EXPECT_TRUE(provenance.recordedAtUtc.endsWith(QLatin1Char('Z')));
}

TEST_F(RasterExecutor, BlendKeepsConstantsAndWeighsOverlaps) {
    TestRasterSpec spec;
    spec.width = 12;
    spec.height = 11;
    spec.bands = 3;
    const QString path = raster(spec);

    // Constant logits survive the feather blend wherever windows overlap.
    const AiRasterInferenceResult constant =
        AiRasterInferenceExecutor::run(request("constant_logits.onnx", path, {8, 8, 4, 4}));
    EXPECT_EQ(constant.processedTiles, 4);
    const std::vector<float> logits = valuesOf<float>(constant.data);
    for (size_t i = 0; i < 132; ++i) {
        ASSERT_NEAR(logits[i], 0.3f, 1e-6f);
        ASSERT_NEAR(logits[132 + i], 0.7f, 1e-6f);
    }

    // The same in class-mask form, over several window rows: channel 1 (0.7) everywhere.
    TestRasterSpec tall = spec;
    tall.height = 30;
    AiRasterInferenceRequest classes =
        request("constant_logits.onnx", raster(tall, "tall.tif"), {8, 8, 4, 4});
    classes.outputMode = AiRasterOutputMode::ClassMask;
    EXPECT_EQ(valuesOf<std::int32_t>(AiRasterInferenceExecutor::run(classes).data),
              std::vector<std::int32_t>(12 * 30, 1));

    // The model predicts its own tile position: a pixel under several windows gets their weighted mean.
    // Five window rows, so rows are finished while later windows are still being blended.
    TestRasterSpec single = spec;
    single.bands = 1;
    single.height = 21;
    const QString one = raster(single, "single.tif");
    const AiRasterInferenceResult blended =
        AiRasterInferenceExecutor::run(request("tile_position.onnx", one, {8, 8, 4, 4}));
    const std::vector<float> values = valuesOf<float>(blended.data);
    const QList<AiTileWindow> windows = AiTilePlanner::plan(12, 21, {8, 8, 4, 4});
    ASSERT_EQ(windows.size(), 10);  // x starts 0, 4; y starts 0, 4, 8, 12, 13
    for (int y = 0; y < 21; ++y) {
        for (int x = 0; x < 12; ++x) {
            double sum = 0.0;
            double weights = 0.0;
            for (const AiTileWindow& window : windows) {
                const int lx = x - window.x;
                const int ly = y - window.y;
                if (lx < 0 || ly < 0 || lx >= 8 || ly >= 8) {
                    continue;
                }
                const double w = std::max(ramp(lx, 8, 4, window.x == 0, window.x + 8 == 12) *
                                              ramp(ly, 8, 4, window.y == 0, window.y + 8 == 21),
                                          1e-6);
                sum += w * (lx + 10.0 * ly);
                weights += w;
            }
            ASSERT_NEAR(values[static_cast<size_t>(y * 12 + x)], sum / weights, 1e-4) << x << "," << y;
        }
    }
}

TEST_F(RasterExecutor, ClassMasksThresholdArgmaxAndTies) {
    TestRasterSpec spec;
    spec.width = 6;
    spec.height = 4;
    spec.bands = 2;
    // Band 1 decides the sign; band 2 equals band 1 on even columns (a tie) and exceeds it on odd ones.
    spec.value = [](int band, int x, int y) {
        return band == 1 ? (x < 3 ? -5.0 : 5.0) + y : (x < 3 ? -5.0 : 5.0) + y + (x % 2);
    };
    const QString path = raster(spec);

    AiRasterInferenceRequest argmax = request("add_one.onnx", path, {8, 8, 2, 2});
    argmax.outputMode = AiRasterOutputMode::ClassMask;
    const AiRasterInferenceResult classes = AiRasterInferenceExecutor::run(argmax);
    EXPECT_EQ(classes.dataType, AiTensorDataType::Int32);
    EXPECT_EQ(classes.bandCount, 1);
    const std::vector<std::int32_t> mask = valuesOf<std::int32_t>(classes.data);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 6; ++x) {
            EXPECT_EQ(mask[static_cast<size_t>(y * 6 + x)], x % 2) << "ties go to the lower channel";
        }
    }

    // One band, a sigmoid decoder with a threshold: a 0/1 mask. Without the decoder the single channel
    // always wins the argmax: all zero.
    AiRasterInferenceRequest thresholded = request("add_one.onnx", path, {8, 8, 2, 2});
    thresholded.bands = {1};
    thresholded.outputMode = AiRasterOutputMode::ClassMask;
    thresholded.outputDecoder.id = QStringLiteral("probability");
    thresholded.outputDecoder.activation = QStringLiteral("sigmoid");
    thresholded.outputDecoder.threshold = 0.5;
    const std::vector<std::int32_t> binary =
        valuesOf<std::int32_t>(AiRasterInferenceExecutor::run(thresholded).data);
    thresholded.outputDecoder = AiOutputDecoderSpec{};
    const std::vector<std::int32_t> zeros =
        valuesOf<std::int32_t>(AiRasterInferenceExecutor::run(thresholded).data);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 6; ++x) {
            const double value = (x < 3 ? -5.0 : 5.0) + y + 1.0;
            EXPECT_EQ(binary[static_cast<size_t>(y * 6 + x)], 1.0 / (1.0 + std::exp(-value)) >= 0.5 ? 1 : 0);
            EXPECT_EQ(zeros[static_cast<size_t>(y * 6 + x)], 0);
        }
    }
}

TEST_F(RasterExecutor, ThresholdComparesTheBlendedValueAsDouble) {
    TestRasterSpec spec;
    spec.width = 2;
    spec.height = 1;
    spec.value = [](int, int x, int) { return x == 0 ? -0.3 : -0.2; };  // plus one: 0.7f and 0.8f
    AiRasterInferenceRequest run = request("add_one.onnx", raster(spec), {4, 4, 0, 0});
    run.outputMode = AiRasterOutputMode::ClassMask;
    run.outputDecoder.id = QStringLiteral("identity");
    const float seventy = -0.3f + 1.0f;
    ASSERT_LT(static_cast<double>(seventy), 0.7);  // 0.7f lies just below 0.7
    run.outputDecoder.threshold = 0.7;
    EXPECT_EQ(valuesOf<std::int32_t>(AiRasterInferenceExecutor::run(run).data),
              (std::vector<std::int32_t>{0, 1}));
    run.outputDecoder.threshold = static_cast<double>(seventy);
    EXPECT_EQ(valuesOf<std::int32_t>(AiRasterInferenceExecutor::run(run).data),
              (std::vector<std::int32_t>{1, 1}));
}

TEST_F(RasterExecutor, NormalisationRules) {
    TestRasterSpec spec;
    spec.width = 4;
    spec.height = 4;
    spec.bands = 3;
    const QString path = raster(spec);
    AiRasterInferenceRequest run = request("add_one.onnx", path, {4, 4, 0, 0});
    // One mean for every band, per-band deviations, a common scale.
    run.normalization = AiNormalization{{100.0}, {2.0, 4.0, 8.0}, 0.5};
    const std::vector<float> values = valuesOf<float>(AiRasterInferenceExecutor::run(run).data);
    for (int band = 1; band <= 3; ++band) {
        const double deviation = band == 1 ? 2.0 : band == 2 ? 4.0 : 8.0;
        for (int pixel = 0; pixel < 16; ++pixel) {
            const double expected =
                static_cast<float>((spec.value(band, pixel % 4, pixel / 4) * 0.5 - 100.0) / deviation) + 1.0;
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
    const AiTileOptions tile{8, 8, 0, 0};
    const auto runError = [](const AiRasterInferenceRequest& r) {
        try {
            AiRasterInferenceExecutor::run(r);
        } catch (const std::exception& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };

    AiRasterInferenceRequest r = request("add_one.onnx", path, tile);
    r.modelPath = QStringLiteral("  ");
    EXPECT_EQ(runError(r), "AI model path is required.");
    r = request("add_one.onnx", QString(), tile);
    EXPECT_EQ(runError(r), "AI raster path is required.");
    r = request("add_one.onnx", dir.filePath(QStringLiteral("missing.tif")), tile);
    EXPECT_EQ(runError(r), "GDAL could not open the AI raster input.");
    const QString garbage =
        Testing::writeBytes(dir.filePath(QStringLiteral("garbage.tif")), "II*\0 this is not really a TIFF");
    EXPECT_EQ(runError(request("add_one.onnx", garbage, tile)), "GDAL could not open the AI raster input.");
    r = request("add_one.onnx", path, tile);
    r.bands = {0};
    EXPECT_EQ(runError(r), "AI raster input band is outside the dataset band range.");
    r.bands = {1, 3};
    EXPECT_EQ(runError(r), "AI raster input band is outside the dataset band range.");
    r.bands = {2, 2, 1};  // duplicates are allowed
    EXPECT_EQ(AiRasterInferenceExecutor::run(r).bandCount, 3);

    EXPECT_EQ(runError(request("half_size.onnx", path, tile)),
              "ONNX output tile dimensions do not match the configured inference tile size.");
    EXPECT_EQ(runError(request("int_output.onnx", path, tile)),
              "Raster inference currently requires a Float32 NCHW output tensor.");
    EXPECT_EQ(runError(request("flat_output.onnx", path, tile)),
              "Raster inference currently requires a Float32 NCHW output tensor.");
    EXPECT_EQ(runError(request("no_inputs.onnx", path, tile)), "The ONNX model has no input tensors.");
    r = request("add_one.onnx", path, tile);
    r.outputName = QStringLiteral("nope");
    EXPECT_EQ(runError(r), "ONNX output tensor was not found: nope");
    r = request("add_one.onnx", path, {8, 8, 8, 0});
    EXPECT_EQ(runError(r), "AI tile overlap must be non-negative and smaller than the tile size.");
    r = request("missing.onnx", path, tile);
    EXPECT_EQ(runError(r).rfind("ONNX model file does not exist: ", 0), 0u);
}

TEST_F(RasterExecutor, CancellationAtEveryCheckpoint) {
    TestRasterSpec spec;
    spec.width = 12;
    spec.height = 8;
    const QString path = raster(spec);
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
        const AiRasterInferenceProgress& last = reports.back();
        EXPECT_EQ(last.message, QStringLiteral("AI raster inference cancelled."));
        EXPECT_EQ(last.completedTiles, c.processed);
        EXPECT_EQ(last.totalTiles, c.total);
        EXPECT_EQ(last.percent, c.total == 0 ? 0 : c.processed * 100 / c.total);
        EXPECT_THROW(
            AiRasterInferenceExecutor::writeGeoTiff(result, dir.filePath(QStringLiteral("never.tif"))),
            std::invalid_argument);
    }
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("never.tif"))));

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
    const QString path = raster(spec);
    AiRasterInferenceRequest run = request("add_one.onnx", path, {32, 32, 8, 8});
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
    const QString path = raster(spec);
    const AiRasterInferenceRequest run = request("add_one.onnx", path, {8, 8, 0, 0});
    const AiRasterInferenceResult here = AiRasterInferenceExecutor::run(run);
    // FNV-1a 64 of the four bytes of this thread's id, least significant first, top bit cleared.
    std::uint64_t hash = 14695981039346656037ULL;
    const auto id = static_cast<std::uint32_t>(gettid());
    for (int byte = 0; byte < 4; ++byte) {
        hash = (hash ^ ((id >> (8 * byte)) & 0xFFu)) * 1099511628211ULL;
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

    AiRasterInferenceRequest blank = run;
    blank.rasterPath.clear();
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiRasterInferenceExecutor::runIsolated(blank); }),
              "AI raster path is required.");
}
