#include <tarnivale/ai/raster.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

using namespace Tarnivale::AI;

namespace {

AiTensor logits(const QList<std::int64_t>& shape, const QList<float>& values) {
    return AiTensor::fromFloat32(QStringLiteral("logits"), shape, values);
}

AiOutputDecoderSpec decoder(const QString& activation, std::int32_t channelAxis = 1,
                            const AiVariantMap& options = {}) {
    AiOutputDecoderSpec spec;
    spec.id = QStringLiteral("decoded");
    spec.activation = activation;
    spec.channelAxis = channelAxis;
    spec.options = options;
    return spec;
}

template <typename T>
std::vector<T> elements(const AiTensor& tensor) {
    std::vector<T> values(static_cast<size_t>(tensor.data.size()) / sizeof(T));
    std::memcpy(values.data(), tensor.data.constData(), static_cast<size_t>(tensor.data.size()));
    return values;
}

std::vector<float> decoded(const AiTensor& tensor, const AiOutputDecoderSpec& spec) {
    const AiTensor result = AiOutputDecoder::decode(tensor, spec);
    EXPECT_EQ(result.dataType, AiTensorDataType::Float32);
    EXPECT_TRUE(result.validationErrors().isEmpty());
    return elements<float>(result);
}

std::string decodeError(const AiTensor& tensor, const AiOutputDecoderSpec& spec) {
    try {
        AiOutputDecoder::decode(tensor, spec);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "no error";
}

std::string thresholdError(const AiTensor& tensor, double threshold) {
    try {
        AiOutputDecoder::threshold(tensor, threshold);
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "no error";
}

// Softmax of x[o, k, i] over k in double precision, independent of the decoder's blocking and float math.
double softmaxReference(const QList<float>& x, std::int64_t channels, std::int64_t inner, std::int64_t o,
                        std::int64_t k, std::int64_t i) {
    double sum = 0.0;
    for (std::int64_t j = 0; j < channels; ++j) {
        sum += std::exp(static_cast<double>(x[(o * channels + j) * inner + i]));
    }
    return std::exp(static_cast<double>(x[(o * channels + k) * inner + i])) / sum;
}

}  // namespace

TEST(OutputDecoder, SoftmaxOverTheChannelAxisAndSelectedChannel) {
    EXPECT_EQ(decoded(logits({1, 2, 1, 2}, {3.0f, -1.0f, 3.0f, -1.0f}), decoder(QStringLiteral("softmax"))),
              (std::vector<float>{0.5f, 0.5f, 0.5f, 0.5f}));

    const QList<float> x{0.5f, -2.0f, 4.0f, 1.5f, 0.0f, 3.0f};
    const std::vector<float> all = decoded(logits({1, 2, 1, 3}, x), decoder(QStringLiteral("softmax")));
    ASSERT_EQ(all.size(), 6u);
    for (int k = 0; k < 2; ++k) {
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(all[k * 3 + i], softmaxReference(x, 2, 3, 0, k, i), 1e-6) << k << "," << i;
        }
    }
    // One channel keeps its share of the two-channel distribution.
    const AiTensor second = AiOutputDecoder::decode(logits({1, 2, 1, 3}, x),
                                                    decoder(QStringLiteral("softmax"), 1, {{"channel", 1}}));
    EXPECT_EQ(second.shape, (QList<std::int64_t>{1, 1, 1, 3}));
    const std::vector<float> probability = elements<float>(second);
    ASSERT_EQ(probability.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(probability[i], softmaxReference(x, 2, 3, 0, 1, i), 1e-6) << i;
    }
}

TEST(OutputDecoder, SoftmaxAlongAMiddleAxisWithOuterAndInnerExtents) {
    const QList<float> x{0.1f, -0.4f, 2.0f, 0.3f, -1.0f, 1.2f, 5.0f, 4.0f, -3.0f, 0.0f, 2.5f, 2.5f};
    const std::vector<float> all = decoded(logits({2, 3, 2}, x), decoder(QStringLiteral("softmax")));
    ASSERT_EQ(all.size(), 12u);
    for (int o = 0; o < 2; ++o) {
        for (int k = 0; k < 3; ++k) {
            for (int i = 0; i < 2; ++i) {
                EXPECT_NEAR(all[(o * 3 + k) * 2 + i], softmaxReference(x, 3, 2, o, k, i), 1e-6);
            }
        }
    }
    const std::vector<float> last =
        decoded(logits({2, 3, 2}, x), decoder(QStringLiteral("softmax"), 1, {{"classIndex", 2}}));
    ASSERT_EQ(last.size(), 4u);
    for (int o = 0; o < 2; ++o) {
        for (int i = 0; i < 2; ++i) {
            EXPECT_NEAR(last[o * 2 + i], softmaxReference(x, 3, 2, o, 2, i), 1e-6);
        }
    }
}

TEST(OutputDecoder, LongRunsMatchTheReferenceEverywhere) {
    // Inner runs long enough to be processed in several pieces, with a ragged end.
    const std::int64_t inner = 1300;
    QList<float> x(2 * 3 * inner);
    for (qsizetype n = 0; n < x.size(); ++n) {
        x[n] = static_cast<float>((n * 7919) % 1000) / 50.0f - 10.0f;
    }
    const AiTensor input = logits({2, 3, inner}, x);
    const std::vector<float> all = decoded(input, decoder(QStringLiteral("softmax")));
    const std::vector<float> one = decoded(input, decoder(QStringLiteral("softmax"), 1, {{"channel", 1}}));
    const std::vector<float> sigmoid =
        decoded(input, decoder(QStringLiteral("sigmoid"), 1, {{"channel", 2}}));
    ASSERT_EQ(all.size(), static_cast<size_t>(x.size()));
    ASSERT_EQ(one.size(), static_cast<size_t>(2 * inner));
    ASSERT_EQ(sigmoid.size(), static_cast<size_t>(2 * inner));
    for (std::int64_t o = 0; o < 2; ++o) {
        for (std::int64_t i = 0; i < inner; ++i) {
            for (std::int64_t k = 0; k < 3; ++k) {
                ASSERT_NEAR(all[(o * 3 + k) * inner + i], softmaxReference(x, 3, inner, o, k, i), 1e-6);
            }
            ASSERT_NEAR(one[o * inner + i], softmaxReference(x, 3, inner, o, 1, i), 1e-6);
            const double value = x[(o * 3 + 2) * inner + i];
            ASSERT_NEAR(sigmoid[o * inner + i], 1.0 / (1.0 + std::exp(-value)), 1e-6);
        }
    }
}

TEST(OutputDecoder, NegativeChannelAxisCountsFromTheEndAndChannelOptionsPickOne) {
    QList<float> x(48);
    for (int i = 0; i < 48; ++i) {
        x[i] = static_cast<float>(i);
    }
    // Axis -1 of [1, 3, 4, 4] has four channels: channel 3 exists there, not on axis 1.
    const AiTensor last = AiOutputDecoder::decode(logits({1, 3, 4, 4}, x),
                                                  decoder(QStringLiteral("identity"), -1, {{"channel", 3}}));
    EXPECT_EQ(last.shape, (QList<std::int64_t>{1, 3, 4, 1}));
    const std::vector<float> column = elements<float>(last);
    ASSERT_EQ(column.size(), 12u);
    for (int row = 0; row < 12; ++row) {
        EXPECT_EQ(column[row], static_cast<float>(row * 4 + 3));
    }
    EXPECT_EQ(decodeError(logits({1, 3, 4, 4}, x), decoder(QStringLiteral("identity"), 1, {{"channel", 3}})),
              "AI output decoder channel is outside the tensor channel range.");
    EXPECT_EQ(decodeError(logits({1, 3, 4, 4}, x), decoder(QStringLiteral("softmax"), 4)),
              "AI output decoder channelAxis is outside the tensor rank.");
    EXPECT_EQ(decodeError(logits({1, 3, 4, 4}, x), decoder(QStringLiteral("softmax"), -5)),
              "AI output decoder channelAxis is outside the tensor rank.");

    // "channel" wins over "classIndex"; without either every channel is kept.
    const QList<float> y{1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
    EXPECT_EQ(decoded(logits({1, 3, 2}, y),
                      decoder(QStringLiteral("none"), 1, {{"channel", 2}, {"classIndex", 0}})),
              (std::vector<float>{5.0f, 6.0f}));
    EXPECT_EQ(decoded(logits({1, 3, 2}, y), decoder(QStringLiteral("none"), 1, {{"classIndex", 1}})),
              (std::vector<float>{3.0f, 4.0f}));
    EXPECT_EQ(decoded(logits({1, 3, 2}, y), decoder(QStringLiteral(" Identity "))),
              (std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f}));
}

TEST(OutputDecoder, ActivationsStayFiniteForExtremeLogits) {
    const QList<float> x{-1e30f, -100.0f, -1.0f, 0.0f, 2.0f, 100.0f, 1e30f};
    const std::vector<float> sigmoid = decoded(logits({1, 7}, x), decoder(QStringLiteral(" SIGMOID "), 0));
    const std::vector<float> tanh = decoded(logits({1, 7}, x), decoder(QStringLiteral("tanh"), 0));
    ASSERT_EQ(sigmoid.size(), 7u);
    ASSERT_EQ(tanh.size(), 7u);
    EXPECT_EQ(sigmoid[0], 0.0f);
    EXPECT_GT(sigmoid[1], 0.0f);
    EXPECT_LT(sigmoid[1], 1e-40f);
    for (int i = 2; i <= 4; ++i) {
        EXPECT_NEAR(sigmoid[i], 1.0 / (1.0 + std::exp(-static_cast<double>(x[i]))), 1e-6) << i;
        EXPECT_NEAR(tanh[i], std::tanh(static_cast<double>(x[i])), 1e-6) << i;
    }
    EXPECT_EQ(sigmoid[5], 1.0f);
    EXPECT_EQ(sigmoid[6], 1.0f);
    EXPECT_EQ(tanh[0], -1.0f);
    EXPECT_EQ(tanh[6], 1.0f);

    // Softmax along axis 1 of [1, 2, 7] mixes every extreme with every other.
    QList<float> pairs = x;
    for (auto it = x.crbegin(); it != x.crend(); ++it) {
        pairs.append(*it);
    }
    for (const char* name : {"none", "sigmoid", "tanh", "softmax"}) {
        for (const float value : decoded(logits({1, 2, 7}, pairs), decoder(QString::fromLatin1(name)))) {
            EXPECT_TRUE(std::isfinite(value)) << name;
        }
    }
    EXPECT_EQ(decoded(logits({1, 2, 1}, {-1e30f, -1e30f}), decoder(QStringLiteral("softmax"))),
              (std::vector<float>{0.5f, 0.5f}));
    EXPECT_EQ(decoded(logits({1, 4, 1}, {1e30f, 1e30f, 1e30f, 1e30f}), decoder(QStringLiteral("softmax"))),
              (std::vector<float>{0.25f, 0.25f, 0.25f, 0.25f}));
    EXPECT_EQ(decoded(logits({1, 2, 1}, {1e30f, -1e30f}), decoder(QStringLiteral("softmax"))),
              (std::vector<float>{1.0f, 0.0f}));
}

TEST(OutputDecoder, ResultTakesTheDecoderIdOrTheTensorName) {
    AiTensor input = logits({1, 2, 2}, {0.0f, 1.0f, 2.0f, 3.0f});
    input.layout = AiTensorLayout::NCHW;
    AiOutputDecoderSpec spec = decoder(QStringLiteral("sigmoid"));
    AiTensor result = AiOutputDecoder::decode(input, spec);
    EXPECT_EQ(result.name, QStringLiteral("decoded"));
    EXPECT_EQ(result.layout, AiTensorLayout::Unknown);
    EXPECT_EQ(result.shape, input.shape);
    spec.id.clear();
    EXPECT_EQ(AiOutputDecoder::decode(input, spec).name, QStringLiteral("logits"));
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
    EXPECT_EQ(elements<std::int32_t>(mask), (std::vector<std::int32_t>{1, 0, 0, 1, 1, 0}));
    // 0.7f lies just below the double 0.7: a comparison in float would call them equal.
    EXPECT_EQ(elements<std::int32_t>(AiOutputDecoder::threshold(input, 0.7)),
              (std::vector<std::int32_t>{0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(elements<std::int32_t>(AiOutputDecoder::threshold(input, 0.0)),
              (std::vector<std::int32_t>{1, 1, 1, 1, 1, 0}));
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
    EXPECT_EQ(decodeError(broken, decoder(QStringLiteral("softmax"))), invalid);
    broken.dataType = AiTensorDataType::Int32;
    EXPECT_EQ(decodeError(broken, decoder(QStringLiteral("softmax"))), invalid);
    EXPECT_EQ(decodeError(wide, decoder(QStringLiteral("softmax"))),
              "AI output decoding currently requires a Float32 tensor.");
    EXPECT_EQ(decodeError(valid, decoder(QStringLiteral("relu"), 1, {{"channel", 3}})),
              "AI output decoder channel is outside the tensor channel range.");
    EXPECT_EQ(decodeError(valid, decoder(QStringLiteral("relu"), 1, {{"classIndex", -2}})),
              "AI output decoder channel cannot be negative.");
    EXPECT_EQ(decodeError(valid, decoder(QStringLiteral(" ReLU "), 1, {{"channel", -1}})),
              "Unsupported AI output activation ' ReLU '.");

    // The threshold is judged before the tensor, and the data type before the tensor's own errors.
    EXPECT_EQ(thresholdError(broken, 1.5), "AI output threshold must be between 0 and 1.");
    EXPECT_NE(thresholdError(valid, -0.01), "no error");
    EXPECT_NE(thresholdError(valid, std::nan("")), "no error");
    EXPECT_EQ(thresholdError(broken, 1.0), "AI output thresholding requires a Float32 tensor.");
    broken.dataType = AiTensorDataType::Float32;
    EXPECT_EQ(thresholdError(broken, 1.0), invalid);
}
