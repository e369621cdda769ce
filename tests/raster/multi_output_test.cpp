// Several decoded outputs from one tiled run.

#include <tarnivale/ai/raster.h>

#include "support/expectations.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstring>
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
        path = dir.filePath(QStringLiteral("in.tif"));
        writeTestRaster(path, spec);
        request.rasterPath = path;
        request.tiling = AiTileOptions{8, 8, 4, 4};
    }
    QTemporaryDir dir;
    TestRasterSpec spec;
    QString path;
    AiRasterInferenceRequest request;
};

}  // namespace

TEST_F(MultiOutput, DecodesEveryHeadPerWindow) {
    request.modelPath = testModelPath(QStringLiteral("heads.onnx"));
    std::vector<AiRasterInferenceProgress> reports;
    const QList<AiDecodedRasterOutput> outputs = AiRasterInferenceExecutor::runDecodedOutputs(
        request, {decoder("twice", "double"), decoder("around", "shifted")},
        [&](const AiRasterInferenceProgress& p) { reports.push_back(p); });
    ASSERT_EQ(outputs.size(), 2);
    EXPECT_EQ(outputs[0].id, QStringLiteral("twice"));
    EXPECT_EQ(outputs[1].result.bandCount, 2);
    EXPECT_EQ(outputs[1].result.dataType, AiTensorDataType::Float32);
    EXPECT_EQ(outputs[0].result.processedTiles, 2);
    EXPECT_FALSE(outputs[0].result.cancelled);
    EXPECT_EQ(outputs[0].result.peakMemoryBytes, 12 * 8 * 4);
    EXPECT_EQ(outputs[1].result.provenance.peakMemoryBytes, 2 * 12 * 8 * 4);
    EXPECT_NE(outputs[0].result.provenance.executionId, outputs[1].result.provenance.executionId);
    EXPECT_EQ(outputs[0].result.geoTransform.size(), 6);
    const std::vector<float> twice = valuesOf<float>(outputs[0].result.data);
    const std::vector<float> around = valuesOf<float>(outputs[1].result.data);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 12; ++x) {
            const auto value = static_cast<float>(spec.value(1, x, y));
            const size_t pixel = static_cast<size_t>(y * 12 + x);
            EXPECT_FLOAT_EQ(twice[pixel], 2.0f * value);
            EXPECT_FLOAT_EQ(around[pixel], value + 1.0f);
            EXPECT_FLOAT_EQ(around[96 + pixel], value - 1.0f);
        }
    }
    ASSERT_EQ(reports.size(), 2u);
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
            // Windows at x = 0 and x = 4: inside both, the two tile positions are averaged without weights.
            const double expected = (x >= 4 && x < 8) ? ((x + (x - 4)) / 2.0) : (x < 4 ? x : x - 4);
            EXPECT_FLOAT_EQ(values[static_cast<size_t>(y * 12 + x)], static_cast<float>(expected + 10.0 * y))
                << x << "," << y;
        }
    }
}

TEST_F(MultiOutput, RefusalsAndCancellation) {
    request.modelPath = testModelPath(QStringLiteral("heads.onnx"));
    AiRasterInferenceRequest unopened = request;
    unopened.rasterPath = dir.filePath(QStringLiteral("missing.tif"));
    const auto message = [&](const AiRasterInferenceRequest& r, const QList<AiOutputDecoderSpec>& decoders) {
        try {
            AiRasterInferenceExecutor::runDecodedOutputs(r, decoders);
        } catch (const std::exception& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    // Decoder problems are found before the raster is opened.
    EXPECT_EQ(message(unopened, {}), "At least one AI output decoder is required.");
    EXPECT_EQ(message(unopened, {decoder(" ", "double")}), "Every AI output decoder must have an id.");
    EXPECT_EQ(message(unopened, {decoder("water", "double"), decoder("water", "shifted")}),
              "AI output decoder ids must be unique.");
    EXPECT_EQ(message(unopened, {decoder("a", "double")}), "GDAL could not open the AI raster input.");
    EXPECT_EQ(message(request, {decoder("a", "nothing")}), "ONNX output tensor was not found: nothing");
    AiRasterInferenceRequest small = request;
    small.modelPath = testModelPath(QStringLiteral("half_size.onnx"));
    EXPECT_EQ(message(small, {decoder("a", "")}),
              "Decoded raster output dimensions do not match the inference tile size.");

    // Stopped after the first window: outputs averaged over that window, marked cancelled.
    int checks = 0;
    request.cancellationRequested = [&checks] { return ++checks > 1; };
    std::vector<AiRasterInferenceProgress> reports;
    QList<AiDecodedRasterOutput> partial = AiRasterInferenceExecutor::runDecodedOutputs(
        request, {decoder("twice", "double")},
        [&](const AiRasterInferenceProgress& p) { reports.push_back(p); });
    ASSERT_EQ(partial.size(), 1);
    EXPECT_TRUE(partial[0].result.cancelled);
    EXPECT_EQ(partial[0].result.processedTiles, 1);
    const std::vector<float> values = valuesOf<float>(partial[0].result.data);
    EXPECT_FLOAT_EQ(values[0], 2.0f * static_cast<float>(spec.value(1, 0, 0)));
    EXPECT_EQ(values[11], 0.0f);  // never covered
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports.back().message, QStringLiteral("AI raster inference cancelled."));
    EXPECT_EQ(reports.back().percent, 50);

    // Stopped before the first window: one empty output per decoder.
    request.cancellationRequested = [] { return true; };
    partial = AiRasterInferenceExecutor::runDecodedOutputs(request,
                                                           {decoder("a", "double"), decoder("b", "shifted")});
    ASSERT_EQ(partial.size(), 2);
    EXPECT_EQ(partial[1].result.bandCount, 0);
    EXPECT_TRUE(partial[1].result.data.isEmpty());
    EXPECT_TRUE(partial[1].result.cancelled);
}
