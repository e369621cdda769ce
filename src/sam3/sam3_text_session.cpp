#include <tarnivale/ai/sam3.h>

#include "runtime/errors.h"
#include "runtime/sha256.h"
#include "sam3/sam3_text_session_impl.h"
#include "sam3/sam_raster.h"

#include <QJsonDocument>

#include <algorithm>
#include <cmath>

namespace Tarnivale::AI {

namespace {

constexpr std::int64_t MaximumRasterPixels = 67108864;
constexpr std::int64_t TextSessionExtraBytes = 268435456;
constexpr int Queries = 200;
constexpr int Grid = SamRaster::GridSide;

std::int64_t millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

double sigmoid(float logit) {
    if (!std::isfinite(logit)) {
        throwInvalidArgument(QStringLiteral("Nonfinite SAM3 score."));
    }
    return 1.0 / (1.0 + std::exp(-std::clamp(static_cast<double>(logit), -80.0, 80.0)));
}

AiTensor int64Tensor(const QString& name, const QList<std::int64_t>& values) {
    AiTensor tensor{name, AiTensorDataType::Int64, AiTensorLayout::Unknown, {1, values.size()}, {}};
    tensor.data = QByteArray(reinterpret_cast<const char*>(values.constData()),
                             values.size() * static_cast<qsizetype>(sizeof(std::int64_t)));
    return tensor;
}

/// The five decoder outputs in contract order, with their shapes and types checked.
void checkDecoderOutputs(const QList<AiTensor>& outputs) {
    const QList<std::int64_t> masks{1, Queries, Grid, Grid};
    const QList<std::int64_t> boxes{1, Queries, 4};
    if (outputs.size() != 5 || outputs.at(0).shape != masks || outputs.at(1).shape != boxes ||
        outputs.at(2).elementCount() != Queries || outputs.at(3).elementCount() != 1) {
        throwInvalidArgument(QStringLiteral("SAM3 text decoder shape mismatch."));
    }
    for (const AiTensor& output : outputs) {
        if (output.dataType != AiTensorDataType::Float32 || output.data.size() != output.expectedByteSize()) {
            throwInvalidArgument(QStringLiteral("SAM3 text decoder type mismatch."));
        }
    }
}

const float* floats(const AiTensor& tensor) {
    return reinterpret_cast<const float*>(tensor.data.constData());
}

}  // namespace

AiSamTextSession SamTextSessionFactory::open(const QString& manifestPath, const AiSessionOptions& options,
                                             std::int64_t cacheLimitBytes, std::int64_t rasterPixelLimit,
                                             const QString& tokenizerSha256, const QString& processorSha256) {
    if (cacheLimitBytes < 0 || rasterPixelLimit < 1 || rasterPixelLimit > MaximumRasterPixels) {
        throwInvalidArgument(QStringLiteral("Invalid SAM3 text cache or raster limit."));
    }
    AiSamSession session(manifestPath, options);
    Sam3::Tokenizer tokenizer =
        Sam3::Tokenizer::load(session.package().processorDirectory(), tokenizerSha256, processorSha256);
    QString digest = Sha256::hex(QJsonDocument(session.package().manifest()).toJson(QJsonDocument::Compact));
    return AiSamTextSession(std::make_unique<AiSamTextSession::Impl>(
        std::move(session), std::move(tokenizer), cacheLimitBytes, rasterPixelLimit, std::move(digest)));
}

AiSamTextSession::AiSamTextSession(const QString& manifestPath, const AiSessionOptions& options,
                                   std::int64_t cacheLimitBytes, std::int64_t rasterPixelLimit)
    : AiSamTextSession(SamTextSessionFactory::open(manifestPath, options, cacheLimitBytes, rasterPixelLimit,
                                                   QString::fromLatin1(Sam3::PinnedTokenizerSha256),
                                                   QString::fromLatin1(Sam3::PinnedProcessorSha256))) {}

AiSamTextSession::AiSamTextSession(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}

AiSamTextSession::~AiSamTextSession() = default;
AiSamTextSession::AiSamTextSession(AiSamTextSession&& other) noexcept = default;
AiSamTextSession& AiSamTextSession::operator=(AiSamTextSession&& other) noexcept = default;

QList<std::int64_t> AiSamTextSession::tokenize(const QString& prompt) const {
    return d->tokenizer.encode(prompt).ids;
}

void AiSamTextSession::clearEmbeddingCache() const {
    const Sam3::PolledMutex::Hold lock = d->mutex.acquire();
    d->cache.clear();
}

AiSamTextResult AiSamTextSession::segment(const AiSamTextRequest& request) const {
    const auto start = std::chrono::steady_clock::now();
    const SamRaster::Budget budget(request.execution, request.cancellationRequested);
    budget.check();
    if (!std::isfinite(request.scoreThreshold) || request.scoreThreshold <= 0.0 ||
        request.scoreThreshold >= 1.0) {
        throwInvalidArgument(QStringLiteral("SAM3 score threshold must be between zero and one."));
    }
    if (request.maximumInstances < 1 || request.maximumInstances > Queries) {
        throwInvalidArgument(QStringLiteral("SAM3 instance limit must be 1..200."));
    }
    const Sam3::TokenizedPrompt tokens = d->tokenizer.encode(request.prompt);
    const Sam3::PolledMutex::Hold lock = d->lock(budget);

    const SamRaster::Prepared prepared =
        SamRaster::prepareWindow(request.rasterPath, d->rasterPixelLimit, request.rasterOptions, &budget,
                                 d->cache.bytes(), TextSessionExtraBytes);
    budget.check();
    AiSamTextResult result;
    result.width = prepared.width;
    result.height = prepared.height;
    result.geoTransform = QList<double>(prepared.geoTransform.begin(), prepared.geoTransform.end());
    result.projectionWkt = prepared.projectionWkt;
    result.window = prepared.window;
    result.validity = prepared.validity;
    result.validPixelCount = prepared.validPixelCount;
    result.workingBytes = prepared.workingBytes;
    result.provider = d->session.provider();
    const double pixels = static_cast<double>(prepared.width) * prepared.height;
    if (prepared.validPixelCount == 0 ||
        static_cast<double>(prepared.validPixelCount) / pixels < request.rasterOptions.minimumValidFraction) {
        result.skipped = true;
        result.elapsedMilliseconds = millisecondsSince(start);
        return result;
    }
    const QByteArray grid = SamRaster::validityGrid(prepared, &budget);

    result.cacheKey = Sam3::windowCacheKey(d->packageDigest, prepared);
    QList<AiTensor> vision = d->cache.find(result.cacheKey);
    result.cacheHit = !vision.isEmpty();
    if (!result.cacheHit) {
        AiTensor pixelsTensor{QStringLiteral("pixel_values"),
                              AiTensorDataType::Float32,
                              AiTensorLayout::NCHW,
                              {1, 3, SamRaster::EncoderSide, SamRaster::EncoderSide},
                              SamRaster::pixelValues(prepared, &budget)};
        const auto visionStart = std::chrono::steady_clock::now();
        vision =
            d->session.runGraph(QStringLiteral("vision_encoder.onnx"), {pixelsTensor}, budget.runControl())
                .outputs;
        result.visionMilliseconds = millisecondsSince(visionStart);
        d->cache.insert(result.cacheKey, vision);
    }

    const AiTensor attention = int64Tensor(QStringLiteral("attention_mask"), tokens.attentionMask);
    const auto textStart = std::chrono::steady_clock::now();
    const QList<AiTensor> text =
        d->session
            .runGraph(QStringLiteral("text_encoder.onnx"),
                      {int64Tensor(QStringLiteral("input_ids"), tokens.ids), attention}, budget.runControl())
            .outputs;
    result.textMilliseconds = millisecondsSince(textStart);

    QList<AiTensor> decoderInputs = vision;
    decoderInputs << text.value(0) << attention;
    const auto decoderStart = std::chrono::steady_clock::now();
    const QList<AiTensor> outputs =
        d->session.runGraph(QStringLiteral("decoder.onnx"), decoderInputs, budget.runControl()).outputs;
    result.decoderMilliseconds = millisecondsSince(decoderStart);
    checkDecoderOutputs(outputs);

    result.presenceScore = sigmoid(floats(outputs.at(3))[0]);
    struct Candidate {
        int query;
        double score;
    };
    std::vector<Candidate> candidates;
    for (int q = 0; q < Queries; ++q) {
        const double score = sigmoid(floats(outputs.at(2))[q]) * result.presenceScore;
        if (score > request.scoreThreshold) {
            candidates.push_back({q, score});
        }
    }
    result.candidateCount = static_cast<std::int64_t>(candidates.size());
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    candidates.resize(std::min(candidates.size(), static_cast<size_t>(request.maximumInstances)));

    const float* boxes = floats(outputs.at(1));
    const float* masks = floats(outputs.at(0));
    const auto* valid = reinterpret_cast<const std::uint8_t*>(grid.constData());
    for (const Candidate& candidate : candidates) {
        budget.check();
        AiSamTextInstance instance;
        instance.queryIndex = candidate.query;
        instance.score = candidate.score;
        for (int k = 0; k < 4; ++k) {
            const float value = boxes[candidate.query * 4 + k];
            if (!std::isfinite(value)) {
                throwInvalidArgument(QStringLiteral("Nonfinite SAM3 box."));
            }
            const double side = k % 2 == 0 ? prepared.width : prepared.height;
            instance.box[static_cast<size_t>(k)] = std::clamp(static_cast<double>(value) * side, 0.0, side);
        }
        instance.mask = QByteArray(Grid * Grid, Qt::Uninitialized);
        const float* logits = masks + static_cast<size_t>(candidate.query) * Grid * Grid;
        for (int i = 0; i < Grid * Grid; ++i) {
            if (!std::isfinite(logits[i])) {
                throwInvalidArgument(QStringLiteral("Nonfinite SAM3 mask."));
            }
            instance.mask[i] = static_cast<char>(valid[i] != 0 && logits[i] > 0.0F ? 1 : 0);
        }
        result.instances.append(instance);
    }
    result.elapsedMilliseconds = millisecondsSince(start);
    return result;
}

}  // namespace Tarnivale::AI
