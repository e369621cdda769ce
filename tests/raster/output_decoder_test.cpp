// Output decoders, thresholds and class-mask remapping/colours against double-precision and hand-derived
// values.

#include <tarnivale/ai/raster.h>

#include "support/expectations.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

using namespace Tarnivale::AI;
using Testing::errorOf;
using Testing::valuesOf;
using Floats = std::vector<float>;
using Ints = std::vector<std::int32_t>;
using Executor = AiRasterInferenceExecutor;
using Result = AiRasterInferenceResult;

namespace {

AiTensor logits(const QList<std::int64_t>& shape, const QList<float>& values) {
    return AiTensor::fromFloat32("logits", shape, values);
}

AiOutputDecoderSpec decoder(const char* activation, std::int32_t axis = 1, const AiVariantMap& options = {}) {
    AiOutputDecoderSpec spec;
    spec.id = "decoded";
    spec.activation = activation;
    spec.channelAxis = axis;
    spec.options = options;
    return spec;
}

Floats decoded(const AiTensor& tensor, const AiOutputDecoderSpec& spec) {
    const AiTensor result = AiOutputDecoder::decode(tensor, spec);
    EXPECT_TRUE(result.dataType == AiTensorDataType::Float32 && result.validationErrors().isEmpty());
    return valuesOf<float>(result.data);
}

}  // namespace

TEST(OutputDecoder, ActivationsMatchADoublePrecisionReferenceStayFiniteAndSelectChannels) {
    // [2, 3, 1300]: inner runs of several blocks with a ragged end, logits between -10 and 10.
    const std::int64_t inner = 1300;
    QList<float> x(2 * 3 * inner);
    for (qsizetype n = 0; n < x.size(); ++n) {
        x[n] = static_cast<float>((n * 7919) % 1000) / 50.0f - 10.0f;
    }
    // Every channel, or one (which keeps its share of the whole softmax distribution).
    const std::pair<std::string, int> rows[] = {{"softmax", -1}, {"softmax", 1}, {"sigmoid", -1},
                                                {"sigmoid", 2},  {"tanh", 0},    {"identity", -1}};
    for (const auto& [activation, channel] : rows) {
        const AiVariantMap options = channel < 0 ? AiVariantMap{} : AiVariantMap{{"channel", channel}};
        const AiTensor result =
            AiOutputDecoder::decode(logits({2, 3, inner}, x), decoder(activation.c_str(), 1, options));
        const std::int64_t channels = channel < 0 ? 3 : 1;
        ASSERT_EQ(result.shape, (QList<std::int64_t>{2, channels, inner})) << activation;
        const Floats values = valuesOf<float>(result.data);
        for (std::int64_t n = 0; n < static_cast<std::int64_t>(values.size()); ++n) {
            const std::int64_t o = n / (channels * inner);
            const std::int64_t i = n % inner;
            const auto at = [&](std::int64_t k) { return static_cast<double>(x[(o * 3 + k) * inner + i]); };
            const double v = at(channel < 0 ? n / inner % 3 : channel);
            const double expected = activation == "softmax"
                                        ? std::exp(v) / (std::exp(at(0)) + std::exp(at(1)) + std::exp(at(2)))
                                    : activation == "sigmoid" ? 1.0 / (1.0 + std::exp(-v))
                                    : activation == "tanh"    ? std::tanh(v)
                                                              : v;
            ASSERT_NEAR(values[static_cast<size_t>(n)], expected, 1e-6)
                << activation << " " << channel << " " << n;
        }
    }
    const QList<float> extremes{-1e30f, -100.0f, 0.0f, 100.0f, 1e30f};
    Floats sigmoid = decoded(logits({1, 5}, extremes), decoder(" SIGMOID ", 0));
    EXPECT_TRUE(sigmoid[1] > 0.0f && sigmoid[1] < 1e-40f) << sigmoid[1];
    sigmoid[1] = 0.0f;
    EXPECT_EQ(sigmoid, (Floats{0.0f, 0.0f, 0.5f, 1.0f, 1.0f}));
    EXPECT_EQ(decoded(logits({1, 5}, extremes), decoder("tanh", 0)),
              (Floats{-1.0f, -1.0f, 0.0f, 1.0f, 1.0f}));
    // Softmax subtracts the largest logit first: no overflow, no 0 / 0.
    EXPECT_EQ(decoded(logits({1, 2, 1}, {-1e30f, -1e30f}), decoder("softmax")), (Floats{0.5f, 0.5f}));
    EXPECT_EQ(decoded(logits({1, 4, 1}, {1e30f, 1e30f, 1e30f, 1e30f}), decoder("softmax")), Floats(4, 0.25f));
    EXPECT_EQ(decoded(logits({1, 2, 1}, {1e30f, -1e30f}), decoder("softmax")), (Floats{1.0f, 0.0f}));
    // Channel selection along any axis; the result is named after the decoder, else after the tensor.
    QList<float> ramp(48);
    std::iota(ramp.begin(), ramp.end(), 0.0f);
    // Axis -1 of [1, 3, 4, 4] has four channels: channel 3 (every fourth value) exists there, not on axis 1.
    AiTensor input = logits({1, 3, 4, 4}, ramp);
    input.layout = AiTensorLayout::NCHW;
    const AiTensor last = AiOutputDecoder::decode(input, decoder("identity", -1, {{"channel", 3}}));
    EXPECT_EQ(last.shape, (QList<std::int64_t>{1, 3, 4, 1}));
    EXPECT_TRUE(last.name == "decoded" && last.layout == AiTensorLayout::Unknown);
    EXPECT_EQ(valuesOf<float>(last.data), (Floats{3, 7, 11, 15, 19, 23, 27, 31, 35, 39, 43, 47}));
    EXPECT_EQ(AiOutputDecoder::decode(input, AiOutputDecoderSpec{}).name,
              "logits");  // no id: the tensor's name
    // "channel" wins over "classIndex"; without either every channel is kept; names are trimmed, any case.
    const AiTensor y = logits({1, 3, 2}, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(decoded(y, decoder("none", 1, {{"channel", 2}, {"classIndex", 0}})), (Floats{5, 6}));
    EXPECT_EQ(decoded(y, decoder("none", 1, {{"classIndex", 1}})), (Floats{3, 4}));
    EXPECT_EQ(decoded(y, decoder(" Identity ", 1, {{"channel", -1}})), (Floats{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(decoded(y, decoder("none", -3, {{"channel", 0}})), (Floats{1, 2, 3, 4, 5, 6}));
}

TEST(OutputDecoder, ThresholdsAndErrorsInCheckOrder) {
    const AiTensor valid = logits({1, 3, 2}, {0, 1, 2, 3, 4, 5});
    AiTensor broken = valid;
    broken.name.clear();
    broken.data.chop(4);
    AiTensor brokenInt = broken;
    brokenInt.dataType = AiTensorDataType::Int32;
    AiTensor wide = valid;
    wide.dataType = AiTensorDataType::Float64;
    wide.data.append(valid.data);
    const std::string invalid =
        "Tensor name is required. Tensor byte size does not match its data type and shape.";
    const std::string rank = "AI output decoder channelAxis is outside the tensor rank.";
    const std::string range = "AI output decoder channel is outside the tensor channel range.";
    for (const auto& [tensor, spec, error] :
         std::vector<std::tuple<AiTensor, AiOutputDecoderSpec, std::string>>{
             {broken, decoder("softmax"), invalid},
             {brokenInt, decoder("softmax"), invalid},
             {wide, decoder("softmax"), "AI output decoding currently requires a Float32 tensor."},
             {valid, decoder("softmax", 3), rank},
             {valid, decoder("softmax", -4), rank},
             {valid, decoder("relu", 1, {{"channel", 3}}), range},
             {valid, decoder("relu", 1, {{"classIndex", -2}}),
              "AI output decoder channel cannot be negative."},
             {valid, decoder(" ReLU ", 1, {{"channel", -1}}),
              "Unsupported AI output activation ' ReLU '."}}) {
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiOutputDecoder::decode(tensor, spec); }), error);
    }
    // The threshold is judged before the tensor, and the data type before the tensor's own errors.
    const std::string bounds = "AI output threshold must be between 0 and 1.";
    for (const auto& [tensor, threshold, error] : std::vector<std::tuple<AiTensor, double, std::string>>{
             {brokenInt, 1.5, bounds},
             {valid, -0.01, bounds},
             {valid, std::nan(""), bounds},
             {brokenInt, 1.0, "AI output thresholding requires a Float32 tensor."},
             {broken, 1.0, invalid}}) {
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiOutputDecoder::threshold(tensor, threshold); }),
                  error);
    }
    // A threshold is compared in double precision and includes its boundary.
    AiTensor input = logits({1, 6}, {0.5f, 0.4999f, 0.0f, 1.0f, 0.7f, -3.0f});
    input.layout = AiTensorLayout::NHWC;
    const AiTensor mask = AiOutputDecoder::threshold(input, 0.5);
    EXPECT_TRUE(mask.name == input.name && mask.dataType == AiTensorDataType::Int32 &&
                mask.layout == AiTensorLayout::Unknown && mask.shape == input.shape &&
                mask.validationErrors().isEmpty());
    // 0.7f lies just below the double 0.7: a comparison in float would call them equal.
    for (const auto& [threshold, expected] :
         std::vector<std::pair<double, Ints>>{{0.5, {1, 0, 0, 1, 1, 0}},
                                              {0.7, {0, 0, 0, 1, 0, 0}},
                                              {0.0, {1, 1, 1, 1, 1, 0}},
                                              {1.0, {0, 0, 0, 1, 0, 0}}}) {
        EXPECT_EQ(valuesOf<std::int32_t>(AiOutputDecoder::threshold(input, threshold).data), expected)
            << threshold;
    }
}

TEST(ClassMask, RemapAndColorize) {
    const Ints classes{0, 1, 2, -1};
    Result mask;
    mask.width = mask.height = 2;
    mask.bandCount = 1;
    mask.dataType = AiTensorDataType::Int32;
    mask.data = QByteArray(reinterpret_cast<const char*>(classes.data()), 16);
    Executor::remapClassMask(mask, {10, 20});
    EXPECT_EQ(valuesOf<std::int32_t>(mask.data), (Ints{10, 20, 2, -1}));
    // Code 10 is listed twice: the first entry wins; unknown codes are grey; values are not clamped.
    const Result colored = Executor::colorizeClassMask(mask, {{10, 1, 2, 3}, {20, 4, 5, 6}, {10, 7, 8, 9}});
    EXPECT_TRUE(colored.bandCount == 3 && colored.dataType == AiTensorDataType::Float32);
    EXPECT_EQ(valuesOf<float>(colored.data), (Floats{1, 4, 128, 128, 2, 5, 128, 128, 3, 6, 128, 128}));
    EXPECT_EQ(valuesOf<float>(Executor::colorizeClassMask(mask, {{20, 300, -1, 0}}).data),
              (Floats{128, 300, 128, 128, 128, -1, 128, 128, 128, 0, 128, 128}));

    Result floats = mask;
    floats.dataType = AiTensorDataType::Float32;
    Result truncated = mask;
    truncated.data.chop(4);
    const auto remapError = [](Result r, const QList<std::int32_t>& codes) {
        return errorOf<std::invalid_argument>([&] { Executor::remapClassMask(r, codes); });
    };
    const auto colorError = [](const Result& r, const QList<AiClassColor>& palette) {
        return errorOf<std::invalid_argument>([&] { Executor::colorizeClassMask(r, palette); });
    };
    const std::string size = "AI class-mask buffer size does not match its dimensions.";
    EXPECT_EQ(remapError(floats, {1}), "Class-code remapping requires a single-band Int32 class mask.");
    EXPECT_EQ(remapError(mask, {}), "At least one class code is required for class-mask remapping.");
    EXPECT_EQ(remapError(truncated, {1}), size);
    EXPECT_EQ(colorError(floats, {{}}), "Class-mask colorization requires a single-band Int32 class mask.");
    EXPECT_EQ(colorError(mask, {}), "At least one class color is required for class-mask colorization.");
    EXPECT_EQ(colorError(truncated, {{}}), size);
}
