// Several decoded outputs from one tiled run.

#include <tarnivale/ai/raster.h>

#include "support/expectations.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <stdexcept>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

AiOutputDecoderSpec decoder(const char* id, const char* tensor) {
    AiOutputDecoderSpec spec;
    spec.id = QString::fromLatin1(id);
    spec.tensor = QString::fromLatin1(tensor);
    return spec;
}

class MultiOutput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        spec.width = 12;
        spec.height = 8;
        writeTestRaster(dir.filePath(QStringLiteral("in.tif")), spec);
        request.modelPath = testModelPath(QStringLiteral("heads.onnx"));
        request.rasterPath = dir.filePath(QStringLiteral("in.tif"));
        request.tiling = AiTileOptions{8, 8, 4, 4};  // windows at x = 0 and x = 4
    }
    float value(int x, int y) const { return static_cast<float>(spec.value(1, x, y)); }
    QTemporaryDir dir;
    TestRasterSpec spec;
    AiRasterInferenceRequest request;
    std::vector<AiRasterInferenceProgress> reports;
    AiRasterProgressCallback progress = [this](const AiRasterInferenceProgress& p) { reports.push_back(p); };
};

}  // namespace

TEST_F(MultiOutput, DecodesEveryHeadPerWindow) {
    const QList<AiDecodedRasterOutput> outputs = AiRasterInferenceExecutor::runDecodedOutputs(
        request, {decoder("twice", "double"), decoder("around", "shifted")}, progress);
    ASSERT_EQ(outputs.size(), 2);
    EXPECT_EQ(outputs[0].id, QStringLiteral("twice"));
    EXPECT_EQ(outputs[1].id, QStringLiteral("around"));
    EXPECT_EQ(outputs[1].result.bandCount, 2);
    EXPECT_EQ(outputs[1].result.dataType, AiTensorDataType::Float32);
    EXPECT_EQ(outputs[0].result.processedTiles, 2);
    EXPECT_FALSE(outputs[0].result.cancelled);
    EXPECT_EQ(outputs[0].result.peakMemoryBytes, 12 * 8 * 4);
    EXPECT_EQ(outputs[1].result.provenance.peakMemoryBytes, 2 * 12 * 8 * 4);
    EXPECT_EQ(outputs[1].result.provenance.outputMode, AiRasterOutputMode::FloatBands);
    EXPECT_NE(outputs[0].result.provenance.executionId, outputs[1].result.provenance.executionId);
    EXPECT_EQ(outputs[0].result.geoTransform.size(), 6);
    const std::vector<float> twice = valuesOf<float>(outputs[0].result.data);
    const std::vector<float> around = valuesOf<float>(outputs[1].result.data);
    for (int pixel = 0; pixel < 96; ++pixel) {
        const float v = value(pixel % 12, pixel / 12);
        EXPECT_FLOAT_EQ(twice[static_cast<size_t>(pixel)], 2.0f * v);
        EXPECT_FLOAT_EQ(around[static_cast<size_t>(pixel)], v + 1.0f);
        EXPECT_FLOAT_EQ(around[static_cast<size_t>(96 + pixel)], v - 1.0f);
    }
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].percent, 50);
    EXPECT_EQ(reports[1].message, QStringLiteral("Processed AI tile 2 of 2 for 2 outputs."));
    EXPECT_EQ(reports[1].percent, 100);
}

TEST_F(MultiOutput, OverlapsTakeThePlainMean) {
    request.modelPath = testModelPath(QStringLiteral("tile_position.onnx"));
    const QList<AiDecodedRasterOutput> outputs =
        AiRasterInferenceExecutor::runDecodedOutputs(request, {decoder("position", "")});
    const std::vector<float> values = valuesOf<float>(outputs[0].result.data);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 12; ++x) {
            // Inside both windows the two tile positions x and x - 4 are averaged without weights.
            const double expected = (x < 4 ? x : x < 8 ? x - 2 : x - 4) + 10.0 * y;
            EXPECT_FLOAT_EQ(values[static_cast<size_t>(y * 12 + x)], static_cast<float>(expected))
                << x << "," << y;
        }
    }
}

TEST_F(MultiOutput, RefusalsInCheckOrder) {
    AiRasterInferenceRequest unopened = request;
    unopened.rasterPath = dir.filePath(QStringLiteral("missing.tif"));
    AiRasterInferenceRequest small = request;
    small.modelPath = testModelPath(QStringLiteral("half_size.onnx"));
    AiRasterInferenceRequest noModel = unopened;
    noModel.modelPath.clear();
    AiRasterInferenceRequest noRaster = unopened;
    noRaster.rasterPath = QStringLiteral(" ");
    struct Row {
        const AiRasterInferenceRequest& request;
        QList<AiOutputDecoderSpec> decoders;
        std::string error;
    };
    // Request and decoder problems are found before the raster is opened.
    const Row rows[] = {
        {noModel, {}, "AI model path is required."},
        {noRaster, {}, "AI raster path is required."},
        {unopened, {}, "At least one AI output decoder is required."},
        {unopened, {decoder(" ", "double")}, "Every AI output decoder must have an id."},
        {unopened,
         {decoder("water", "double"), decoder("water", "shifted")},
         "AI output decoder ids must be unique."},
        {unopened, {decoder("a", "double")}, "GDAL could not open the AI raster input."},
        {request, {decoder("a", "nothing")}, "ONNX output tensor was not found: nothing"},
        {small, {decoder("a", "")}, "Decoded raster output dimensions do not match the inference tile size."},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(errorOf<std::exception>(
                      [&] { AiRasterInferenceExecutor::runDecodedOutputs(row.request, row.decoders); }),
                  row.error);
    }
}

TEST_F(MultiOutput, CancellationKeepsWhatWasDone) {
    // Cancelled from the progress report of the first window: outputs averaged over that window.
    bool stop = false;
    request.cancellationRequested = [&stop] { return stop; };
    QList<AiDecodedRasterOutput> partial = AiRasterInferenceExecutor::runDecodedOutputs(
        request, {decoder("twice", "double")}, [&](const AiRasterInferenceProgress& p) {
            reports.push_back(p);
            stop = true;
        });
    ASSERT_EQ(partial.size(), 1);
    EXPECT_TRUE(partial[0].result.cancelled);
    EXPECT_TRUE(partial[0].result.provenance.cancelled);
    EXPECT_EQ(partial[0].result.processedTiles, 1);
    const std::vector<float> values = valuesOf<float>(partial[0].result.data);
    EXPECT_FLOAT_EQ(values[0], 2.0f * value(0, 0));
    EXPECT_FLOAT_EQ(values[7], 2.0f * value(7, 0));
    EXPECT_EQ(values[8], 0.0f);  // never covered
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports.back().message, QStringLiteral("AI raster inference cancelled."));
    EXPECT_EQ(reports.back().completedTiles, 1);
    EXPECT_EQ(reports.back().percent, 50);

    // Stopped before the first window: one empty output per decoder.
    stop = true;
    partial = AiRasterInferenceExecutor::runDecodedOutputs(request,
                                                           {decoder("a", "double"), decoder("b", "shifted")});
    ASSERT_EQ(partial.size(), 2);
    EXPECT_EQ(partial[1].result.bandCount, 0);
    EXPECT_TRUE(partial[1].result.data.isEmpty());
    EXPECT_TRUE(partial[1].result.cancelled);
}
