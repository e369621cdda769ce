#include <tarnivale/ai/raster.h>

#include "raster/output_decoding.h"
#include "runtime/errors.h"
#include "runtime/huge_pages.h"

#include <QVariant>

#include <algorithm>
#include <cmath>

namespace Tarnivale::AI {

namespace {

enum class Activation { Identity, Sigmoid, Tanh, Softmax };

// Elements per block of the inner extent. Blocks of a fixed length let -O2 vectorise the plain arithmetic
// loops (it only does so when no scalar remainder is left), and keep the scratch rows in L1.
constexpr std::int64_t kBlock = 512;

std::int64_t selectedChannel(const AiVariantMap& options) {
    auto entry = options.constFind(QStringLiteral("channel"));
    if (entry == options.constEnd()) {
        entry = options.constFind(QStringLiteral("classIndex"));
    }
    return entry == options.constEnd() ? -1 : entry->toLongLong();
}

Activation parseActivation(const QString& text) {
    const QString name = text.trimmed().toLower();
    if (name == QLatin1String("none") || name == QLatin1String("identity")) {
        return Activation::Identity;
    }
    if (name == QLatin1String("sigmoid")) {
        return Activation::Sigmoid;
    }
    if (name == QLatin1String("tanh")) {
        return Activation::Tanh;
    }
    if (name == QLatin1String("softmax")) {
        return Activation::Softmax;
    }
    throwInvalidArgument(QStringLiteral("Unsupported AI output activation '%1'.").arg(text));
}

// exp(-|x|) never overflows, so both halves of the logistic function stay finite for any finite x:
// 1 / (1 + exp(-x)) for x >= 0 and exp(x) / (exp(x) + 1) below. The output is always a fresh buffer; saying
// so (__restrict__) spares the alias check that would otherwise keep -O2 from vectorising the division.
template <std::int64_t N>
void sigmoidBlock(const float* __restrict__ in, float* __restrict__ out, std::int64_t length) {
    const std::int64_t n = N > 0 ? N : length;
    float decay[kBlock];
    for (std::int64_t i = 0; i < n; ++i) {
        decay[i] = std::exp(-std::fabs(in[i]));
    }
    for (std::int64_t i = 0; i < n; ++i) {
        const float e = decay[i];
        const float numerator = in[i] >= 0.0f ? 1.0f : e;
        out[i] = numerator / (1.0f + e);
    }
}

void applyElementwise(Activation activation, const float* in, float* out, std::int64_t count) {
    switch (activation) {
        case Activation::Identity:
            std::copy(in, in + count, out);
            return;
        case Activation::Tanh:
            for (std::int64_t i = 0; i < count; ++i) {
                out[i] = std::tanh(in[i]);
            }
            return;
        case Activation::Sigmoid: {
            std::int64_t start = 0;
            for (; start + kBlock <= count; start += kBlock) {
                sigmoidBlock<kBlock>(in + start, out + start, kBlock);
            }
            if (start < count) {
                sigmoidBlock<0>(in + start, out + start, count - start);
            }
            return;
        }
        case Activation::Softmax:
            // Needs every channel of a position at once; see applySoftmax.
            break;
    }
}

// Softmax over `channels` rows of one block, `stride` elements apart in both input and output. The maximum
// is subtracted before exponentiating so that large logits cannot overflow; the sum always runs over every
// channel, so a selected channel keeps its share of the full distribution. With `selected` >= 0 only that
// channel is written, to the single row at `out`.
template <std::int64_t N>
void softmaxBlock(const float* in, float* out, std::int64_t channels, std::int64_t stride,
                  std::int64_t selected, std::int64_t length) {
    const std::int64_t n = N > 0 ? N : length;
    float maximum[kBlock];
    float sum[kBlock];
    std::copy(in, in + n, maximum);
    for (std::int64_t k = 1; k < channels; ++k) {
        const float* x = in + k * stride;
        for (std::int64_t i = 0; i < n; ++i) {
            const float value = x[i];
            const float current = maximum[i];
            maximum[i] = value > current ? value : current;
        }
    }
    std::fill(sum, sum + n, 0.0f);
    for (std::int64_t k = 0; k < channels; ++k) {
        const float* x = in + k * stride;
        if (selected < 0 || k == selected) {
            float* y = selected < 0 ? out + k * stride : out;
            for (std::int64_t i = 0; i < n; ++i) {
                const float e = std::exp(x[i] - maximum[i]);
                y[i] = e;
                sum[i] += e;
            }
        } else {
            for (std::int64_t i = 0; i < n; ++i) {
                sum[i] += std::exp(x[i] - maximum[i]);
            }
        }
    }
    const std::int64_t rows = selected < 0 ? channels : 1;
    for (std::int64_t k = 0; k < rows; ++k) {
        float* y = out + k * stride;
        for (std::int64_t i = 0; i < n; ++i) {
            y[i] /= sum[i];
        }
    }
}

void applySoftmax(const float* in, float* out, std::int64_t outer, std::int64_t channels, std::int64_t inner,
                  std::int64_t selected) {
    const std::int64_t outChannels = selected < 0 ? channels : 1;
    for (std::int64_t o = 0; o < outer; ++o) {
        const float* x = in + o * channels * inner;
        float* y = out + o * outChannels * inner;
        std::int64_t start = 0;
        for (; start + kBlock <= inner; start += kBlock) {
            softmaxBlock<kBlock>(x + start, y + start, channels, inner, selected, kBlock);
        }
        if (start < inner) {
            softmaxBlock<0>(x + start, y + start, channels, inner, selected, inner - start);
        }
    }
}

}  // namespace

AiTensor AiOutputDecoder::decode(const AiTensor& tensor, const AiOutputDecoderSpec& spec) {
    AiTensor result;
    decodeInto(tensor, spec, result);
    return result;
}

void decodeInto(const AiTensor& tensor, const AiOutputDecoderSpec& spec, AiTensor& result) {
    const QList<QString> errors = tensor.validationErrors();
    if (!errors.isEmpty()) {
        throwInvalidArgument(joinMessages(errors));
    }
    if (tensor.dataType != AiTensorDataType::Float32) {
        throwInvalidArgument(QStringLiteral("AI output decoding currently requires a Float32 tensor."));
    }
    const std::int64_t rank = tensor.shape.size();
    if (rank == 0) {
        throwInvalidArgument(QStringLiteral("AI output decoding requires a ranked tensor."));
    }
    const std::int64_t axis = spec.channelAxis < 0 ? spec.channelAxis + rank : spec.channelAxis;
    if (axis < 0 || axis >= rank) {
        throwInvalidArgument(QStringLiteral("AI output decoder channelAxis is outside the tensor rank."));
    }
    const std::int64_t channels = tensor.shape[axis];
    if (channels < 1) {
        throwInvalidArgument(QStringLiteral("AI output decoder requires a fixed positive channel count."));
    }
    const std::int64_t selected = selectedChannel(spec.options);
    if (selected >= channels) {
        throwInvalidArgument(
            QStringLiteral("AI output decoder channel is outside the tensor channel range."));
    }
    if (selected < -1) {
        throwInvalidArgument(QStringLiteral("AI output decoder channel cannot be negative."));
    }
    const Activation activation = parseActivation(spec.activation);

    std::int64_t outer = 1;
    std::int64_t inner = 1;
    for (std::int64_t d = 0; d < rank; ++d) {
        if (d < axis) {
            outer *= tensor.shape[d];
        } else if (d > axis) {
            inner *= tensor.shape[d];
        }
    }

    result.name = spec.id.isEmpty() ? tensor.name : spec.id;
    result.dataType = AiTensorDataType::Float32;
    result.layout = AiTensorLayout::Unknown;
    result.shape = tensor.shape;
    if (selected >= 0) {
        result.shape[axis] = 1;
    }
    const std::int64_t outChannels = selected < 0 ? channels : 1;
    const std::int64_t outCount = outer * outChannels * inner;
    const auto bytes = static_cast<qsizetype>(outCount * sizeof(float));
    if (result.data.size() != bytes || !result.data.isDetached()) {
        result.data = hugePageByteArray(bytes);
    }

    const float* in = reinterpret_cast<const float*>(tensor.data.constData());
    float* out = reinterpret_cast<float*>(result.data.data());
    if (activation == Activation::Softmax) {
        applySoftmax(in, out, outer, channels, inner, selected);
    } else if (selected < 0) {
        applyElementwise(activation, in, out, outCount);
    } else {
        for (std::int64_t o = 0; o < outer; ++o) {
            applyElementwise(activation, in + (o * channels + selected) * inner, out + o * inner, inner);
        }
    }
}

AiTensor AiOutputDecoder::threshold(const AiTensor& tensor, double threshold) {
    // Written so that NaN fails as well.
    if (!(threshold >= 0.0 && threshold <= 1.0)) {
        throwInvalidArgument(QStringLiteral("AI output threshold must be between 0 and 1."));
    }
    if (tensor.dataType != AiTensorDataType::Float32) {
        throwInvalidArgument(QStringLiteral("AI output thresholding requires a Float32 tensor."));
    }
    const QList<QString> errors = tensor.validationErrors();
    if (!errors.isEmpty()) {
        throwInvalidArgument(joinMessages(errors));
    }

    AiTensor result;
    result.name = tensor.name;
    result.dataType = AiTensorDataType::Int32;
    result.layout = AiTensorLayout::Unknown;
    result.shape = tensor.shape;
    const std::int64_t count = tensor.elementCount();
    result.data = QByteArray(static_cast<qsizetype>(count * sizeof(std::int32_t)), Qt::Uninitialized);
    const float* in = reinterpret_cast<const float*>(tensor.data.constData());
    std::int32_t* out = reinterpret_cast<std::int32_t*>(result.data.data());
    for (std::int64_t i = 0; i < count; ++i) {
        out[i] = static_cast<double>(in[i]) >= threshold ? 1 : 0;
    }
    return result;
}

}  // namespace Tarnivale::AI
