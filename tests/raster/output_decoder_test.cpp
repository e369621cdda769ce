// Output decoders and thresholds against double-precision references and hand-derived values.

#include <tarnivale/ai/raster.h>

#include "support/expectations.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace Tarnivale::AI;
using Testing::errorOf;
using Testing::valuesOf;

namespace {

AiTensor logits(const QList<std::int64_t>& shape, const QList<float>& values) {
    return AiTensor::fromFloat32(QStringLiteral("logits"), shape, values);
}

AiOutputDecoderSpec decoder(const char* activation, std::int32_t axis = 1, const AiVariantMap& options = {}) {
    AiOutputDecoderSpec spec;
    spec.id = QStringLiteral("decoded");
    spec.activation = QString::fromLatin1(activation);
    spec.channelAxis = axis;
    spec.options = options;
    return spec;
}

std::vector<float> decoded(const AiTensor& tensor, const AiOutputDecoderSpec& spec) {
    const AiTensor result = AiOutputDecoder::decode(tensor, spec);
    EXPECT_EQ(result.dataType, AiTensorDataType::Float32);
    EXPECT_TRUE(result.validationErrors().isEmpty());
    return valuesOf<float>(result.data);
}

std::string decodeError(const AiTensor& tensor, const AiOutputDecoderSpec& spec) {
    return errorOf<std::invalid_argument>([&] { AiOutputDecoder::decode(tensor, spec); });
}

}  // namespace

TEST(OutputDecoder, ActivationsMatchADoublePrecisionReference) {
    // [2, 3, 1300]: inner runs of several blocks with a ragged end, logits between -10 and 10.
    const std::int64_t inner = 1300;
    QList<float> x(2 * 3 * inner);
    for (qsizetype n = 0; n < x.size(); ++n) {
        x[n] = static_cast<float>((n * 7919) % 1000) / 50.0f - 10.0f;
    }
    const auto at = [&](std::int64_t o, std::int64_t k, std::int64_t i) {
        return static_cast<double>(x[(o * 3 + k) * inner + i]);
    };
    const auto softmax = [&](std::int64_t o, std::int64_t k, std::int64_t i) {
        return std::exp(at(o, k, i)) /
               (std::exp(at(o, 0, i)) + std::exp(at(o, 1, i)) + std::exp(at(o, 2, i)));
    };
    struct Row {
        const char* activation;
        int channel;  // -1: every channel
        std::function<double(std::int64_t, std::int64_t, std::int64_t)> expected;
    };
    const Row rows[] = {
        {"softmax", -1, softmax},
        {"softmax", 1, softmax},
        {"sigmoid", -1, [&](auto o, auto k, auto i) { return 1.0 / (1.0 + std::exp(-at(o, k, i))); }},
        {"sigmoid", 2, [&](auto o, auto k, auto i) { return 1.0 / (1.0 + std::exp(-at(o, k, i))); }},
        {"tanh", 0, [&](auto o, auto k, auto i) { return std::tanh(at(o, k, i)); }},
        {"identity", -1, at},
    };
    for (const Row& row : rows) {
        const AiVariantMap options =
            row.channel < 0 ? AiVariantMap{} : AiVariantMap{{QStringLiteral("channel"), row.channel}};
        const AiTensor result =
            AiOutputDecoder::decode(logits({2, 3, inner}, x), decoder(row.activation, 1, options));
        const std::int64_t channels = row.channel < 0 ? 3 : 1;
        ASSERT_EQ(result.shape, (QList<std::int64_t>{2, channels, inner})) << row.activation;
        const std::vector<float> values = valuesOf<float>(result.data);
        for (std::int64_t o = 0; o < 2; ++o) {
            for (std::int64_t c = 0; c < channels; ++c) {
                for (std::int64_t i = 0; i < inner; ++i) {
                    const std::int64_t k = row.channel < 0 ? c : row.channel;
                    ASSERT_NEAR(values[static_cast<size_t>((o * channels + c) * inner + i)],
                                row.expected(o, k, i), 1e-6)
                        << row.activation << " " << o << "," << k << "," << i;
                }
            }
        }
    }
}

TEST(OutputDecoder, ExtremeLogitsStayFinite) {
    const QList<float> x{-1e30f, -100.0f, 0.0f, 100.0f, 1e30f};
    std::vector<float> sigmoid = decoded(logits({1, 5}, x), decoder(" SIGMOID ", 0));
    EXPECT_GT(sigmoid[1], 0.0f);
    EXPECT_LT(sigmoid[1], 1e-40f);
    sigmoid[1] = 0.0f;
    EXPECT_EQ(sigmoid, (std::vector<float>{0.0f, 0.0f, 0.5f, 1.0f, 1.0f}));
    EXPECT_EQ(decoded(logits({1, 5}, x), decoder("tanh", 0)),
              (std::vector<float>{-1.0f, -1.0f, 0.0f, 1.0f, 1.0f}));
    // Softmax along axis 1 of [1, 2, 5] mixes every extreme with every other.
    QList<float> pairs = x;
    pairs << 1e30f << 100.0f << 0.0f << -100.0f << -1e30f;
    for (const float value : decoded(logits({1, 2, 5}, pairs), decoder("softmax"))) {
        EXPECT_TRUE(std::isfinite(value));
    }
    EXPECT_EQ(decoded(logits({1, 2, 1}, {-1e30f, -1e30f}), decoder("softmax")),
              (std::vector<float>{0.5f, 0.5f}));
    EXPECT_EQ(decoded(logits({1, 4, 1}, {1e30f, 1e30f, 1e30f, 1e30f}), decoder("softmax")),
              (std::vector<float>(4, 0.25f)));
    EXPECT_EQ(decoded(logits({1, 2, 1}, {1e30f, -1e30f}), decoder("softmax")),
              (std::vector<float>{1.0f, 0.0f}));
}

TEST(OutputDecoder, ChannelSelectionAxesAndNames) {
    QList<float> x(48);
    for (int i = 0; i < 48; ++i) {
        x[i] = static_cast<float>(i);
    }
    // Axis -1 of [1, 3, 4, 4] has four channels: channel 3 exists there, not on axis 1.
    AiTensor input = logits({1, 3, 4, 4}, x);
    input.layout = AiTensorLayout::NCHW;
    const AiTensor last = AiOutputDecoder::decode(input, decoder("identity", -1, {{"channel", 3}}));
    EXPECT_EQ(last.shape, (QList<std::int64_t>{1, 3, 4, 1}));
    EXPECT_EQ(last.name, QStringLiteral("decoded"));
    EXPECT_EQ(last.layout, AiTensorLayout::Unknown);
    std::vector<float> column;
    for (int row = 0; row < 12; ++row) {
        column.push_back(static_cast<float>(row * 4 + 3));
    }
    EXPECT_EQ(valuesOf<float>(last.data), column);
    AiOutputDecoderSpec unnamed = decoder("sigmoid");
    unnamed.id.clear();
    EXPECT_EQ(AiOutputDecoder::decode(input, unnamed).name, QStringLiteral("logits"));

    // "channel" wins over "classIndex"; without either every channel is kept; names are trimmed, any case.
    const AiTensor y = logits({1, 3, 2}, {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f});
    EXPECT_EQ(decoded(y, decoder("none", 1, {{"channel", 2}, {"classIndex", 0}})),
              (std::vector<float>{5.0f, 6.0f}));
    EXPECT_EQ(decoded(y, decoder("none", 1, {{"classIndex", 1}})), (std::vector<float>{3.0f, 4.0f}));
    EXPECT_EQ(decoded(y, decoder(" Identity ", 1, {{"channel", -1}})),
              (std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f}));
    EXPECT_EQ(decoded(y, decoder("none", -3, {{"channel", 0}})),
              (std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f}));
}

TEST(OutputDecoder, ErrorsInCheckOrder) {
    const AiTensor valid = logits({1, 3, 2}, {0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f});
    AiTensor broken = valid;
    broken.name.clear();
    broken.data.chop(4);
    AiTensor wide = valid;
    wide.dataType = AiTensorDataType::Float64;
    wide.data.append(valid.data);
    const std::string invalid =
        "Tensor name is required. Tensor byte size does not match its data type and shape.";
    const std::string rank = "AI output decoder channelAxis is outside the tensor rank.";
    const std::string range = "AI output decoder channel is outside the tensor channel range.";
    struct Row {
        const AiTensor& tensor;
        AiOutputDecoderSpec spec;
        std::string error;
    };
    AiTensor brokenInt = broken;
    brokenInt.dataType = AiTensorDataType::Int32;
    const Row rows[] = {
        {broken, decoder("softmax"), invalid},
        {brokenInt, decoder("softmax"), invalid},
        {wide, decoder("softmax"), "AI output decoding currently requires a Float32 tensor."},
        {valid, decoder("softmax", 3), rank},
        {valid, decoder("softmax", -4), rank},
        {valid, decoder("relu", 1, {{"channel", 3}}), range},
        {valid, decoder("relu", 1, {{"classIndex", -2}}), "AI output decoder channel cannot be negative."},
        {valid, decoder(" ReLU ", 1, {{"channel", -1}}), "Unsupported AI output activation ' ReLU '."},
        {valid, decoder("softmax", -3, {{"channel", 0}}), "no error"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(decodeError(row.tensor, row.spec), row.error);
    }

    // The threshold is judged before the tensor, and the data type before the tensor's own errors.
    const auto thresholdError = [](const AiTensor& tensor, double threshold) {
        return errorOf<std::invalid_argument>([&] { AiOutputDecoder::threshold(tensor, threshold); });
    };
    const std::string bounds = "AI output threshold must be between 0 and 1.";
    EXPECT_EQ(thresholdError(brokenInt, 1.5), bounds);
    EXPECT_EQ(thresholdError(valid, -0.01), bounds);
    EXPECT_EQ(thresholdError(valid, std::nan("")), bounds);
    EXPECT_EQ(thresholdError(brokenInt, 1.0), "AI output thresholding requires a Float32 tensor.");
    EXPECT_EQ(thresholdError(broken, 1.0), invalid);
}

TEST(OutputDecoder, ThresholdWidensToDoubleAndIncludesTheBoundary) {
    AiTensor input = logits({1, 6}, {0.5f, 0.4999f, 0.0f, 1.0f, 0.7f, -3.0f});
    input.layout = AiTensorLayout::NHWC;
    const AiTensor mask = AiOutputDecoder::threshold(input, 0.5);
    EXPECT_EQ(mask.name, QStringLiteral("logits"));
    EXPECT_EQ(mask.dataType, AiTensorDataType::Int32);
    EXPECT_EQ(mask.layout, AiTensorLayout::Unknown);
    EXPECT_EQ(mask.shape, input.shape);
    EXPECT_TRUE(mask.validationErrors().isEmpty());
    EXPECT_EQ(valuesOf<std::int32_t>(mask.data), (std::vector<std::int32_t>{1, 0, 0, 1, 1, 0}));
    // 0.7f lies just below the double 0.7: a comparison in float would call them equal.
    EXPECT_EQ(valuesOf<std::int32_t>(AiOutputDecoder::threshold(input, 0.7).data),
              (std::vector<std::int32_t>{0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(valuesOf<std::int32_t>(AiOutputDecoder::threshold(input, 0.0).data),
              (std::vector<std::int32_t>{1, 1, 1, 1, 1, 0}));
    EXPECT_EQ(valuesOf<std::int32_t>(AiOutputDecoder::threshold(input, 1.0).data),
              (std::vector<std::int32_t>{0, 0, 0, 1, 0, 0}));
}
