#include <tarnivale/ai/sam3.h>

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"
#include "runtime/huge_pages.h"
#include "runtime/sha256.h"
#include "sam3/embedding_cache.h"
#include "sam3/polled_mutex.h"
#include "sam3/sam3_graph_options.h"
#include "sam3/sam_raster.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gdal.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace Tarnivale::AI {

namespace {

constexpr std::int64_t MaximumRasterPixels = 67108864;
constexpr std::int64_t TrackerExtraBytes = 67108864;
constexpr int MaximumTokens = 64;
constexpr int Grid = SamRaster::GridSide;
constexpr double Side = SamRaster::EncoderSide;

struct ContractTensor {
    const char* name;
    AiTensorDataType type;
};

void checkTensors(const QList<AiTensorSpec>& declared, const std::vector<ContractTensor>& expected) {
    if (declared.size() != static_cast<qsizetype>(expected.size())) {
        throwInvalidArgument(QStringLiteral("Tracker tensor count mismatch."));
    }
    for (size_t i = 0; i < expected.size(); ++i) {
        const AiTensorSpec& spec = declared.at(static_cast<qsizetype>(i));
        if (spec.name != QLatin1String(expected[i].name) || spec.dataType != expected[i].type) {
            throwInvalidArgument(QStringLiteral("Tracker tensor name/type mismatch."));
        }
    }
}

std::int64_t millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

/// Maps source-CRS coordinates into window pixels through the inverse of the window's geotransform.
struct InverseTransform {
    explicit InverseTransform(const std::vector<double>& t) {
        if (t.size() != 6) {
            throwInvalidArgument(QStringLiteral("Source-CRS prompts require georeferencing."));
        }
        const double determinant = t[1] * t[5] - t[2] * t[4];
        if (!std::isfinite(determinant) || determinant == 0.0) {
            throwInvalidArgument(QStringLiteral("Raster transform is singular."));
        }
        m_t = t;
        m_determinant = determinant;
    }
    std::pair<double, double> operator()(double x, double y) const {
        const double dx = x - m_t[0];
        const double dy = y - m_t[3];
        return {(m_t[5] * dx - m_t[2] * dy) / m_determinant, (m_t[1] * dy - m_t[4] * dx) / m_determinant};
    }

private:
    std::vector<double> m_t;
    double m_determinant = 1.0;
};

}  // namespace

struct AiSamTrackerSession::Impl {
    Impl(AiSamModelPackage bundle, std::int64_t cacheLimit, std::int64_t pixelLimit)
        : package(std::move(bundle)), cache(cacheLimit), rasterPixelLimit(pixelLimit) {}

    AiSamModelPackage package;
    std::vector<AiSession> graphs;  // encoder, decoder
    mutable Sam3::PolledMutex mutex;
    Sam3::EmbeddingCache cache;
    std::int64_t rasterPixelLimit;
    QString packageDigest;
};

AiSamTrackerSession::AiSamTrackerSession(const QString& manifestPath, const AiSessionOptions& options,
                                         std::int64_t cacheLimitBytes, std::int64_t rasterPixelLimit) {
    if (cacheLimitBytes < 0 || rasterPixelLimit < 1 || rasterPixelLimit > MaximumRasterPixels) {
        throwInvalidArgument(QStringLiteral("Invalid tracker cache or raster limit."));
    }
    AiSamModelPackage package = AiSamModelPackage::load(manifestPath);
    const QJsonObject manifest = package.manifest();
    if (manifest.value(QStringLiteral("profile")) != QJsonValue(QStringLiteral("tracker-rgb-1008")) ||
        manifest.value(QStringLiteral("status")) != QJsonValue(QStringLiteral("validated_tracker_profile"))) {
        throwInvalidArgument(QStringLiteral("Tracker package must pass parity validation first."));
    }
    auto impl = std::make_unique<Impl>(std::move(package), cacheLimitBytes, rasterPixelLimit);
    impl->packageDigest = Sha256::hex(QJsonDocument(manifest).toJson(QJsonDocument::Compact));
    impl->graphs.emplace_back(impl->package.graphPath(QStringLiteral("tracker_encoder.onnx")),
                              Sam3::graphSessionOptions(options, 6442450944));
    impl->graphs.emplace_back(impl->package.graphPath(QStringLiteral("tracker_decoder.onnx")),
                              Sam3::graphSessionOptions(options, 1073741824));
    constexpr AiTensorDataType F32 = AiTensorDataType::Float32;
    checkTensors(impl->graphs[0].inputs(), {{"pixel_values", F32}});
    checkTensors(impl->graphs[0].outputs(), {{"high0", F32}, {"high1", F32}, {"embedding", F32}});
    checkTensors(impl->graphs[1].inputs(), {{"high0", F32},
                                            {"high1", F32},
                                            {"embedding", F32},
                                            {"point_coords", F32},
                                            {"point_labels", AiTensorDataType::Int64}});
    checkTensors(impl->graphs[1].outputs(),
                 {{"pred_masks", F32}, {"iou_scores", F32}, {"object_score_logits", F32}});
    if (impl->graphs[0].inputs().at(0).shape != QList<std::int64_t>{1, 3, 1008, 1008}) {
        throwInvalidArgument(QStringLiteral("Tracker encoder RGB layout mismatch."));
    }
    d = std::move(impl);
}

AiSamTrackerSession::~AiSamTrackerSession() = default;
AiSamTrackerSession::AiSamTrackerSession(AiSamTrackerSession&& other) noexcept = default;
AiSamTrackerSession& AiSamTrackerSession::operator=(AiSamTrackerSession&& other) noexcept = default;

std::int64_t AiSamTrackerSession::embeddingCacheBytes() const {
    const Sam3::PolledMutex::Hold lock = d->mutex.acquire();
    return d->cache.bytes();
}

int AiSamTrackerSession::embeddingCacheEntries() const {
    const Sam3::PolledMutex::Hold lock = d->mutex.acquire();
    return d->cache.entries();
}

void AiSamTrackerSession::clearEmbeddingCache() const {
    const Sam3::PolledMutex::Hold lock = d->mutex.acquire();
    d->cache.clear();
}

AiSamTrackerResult AiSamTrackerSession::segment(const AiSamTrackerRequest& request) const {
    const auto start = std::chrono::steady_clock::now();
    const SamRaster::Budget budget(request.execution, request.cancellationRequested);
    budget.check();
    if (request.rasterPath.isEmpty()) {
        throwInvalidArgument(QStringLiteral("Tracker raster path is required."));
    }
    if (request.points.isEmpty() && !request.hasBox) {
        throwInvalidArgument(QStringLiteral("At least one foreground point or box is required."));
    }
    if (request.points.size() + (request.hasBox ? 2 : 0) > MaximumTokens) {
        throwInvalidArgument(QStringLiteral("Tracker accepts at most 64 prompt tokens."));
    }
    if (!request.hasBox && std::none_of(request.points.begin(), request.points.end(),
                                        [](const AiSamPromptPoint& p) { return p.positive; })) {
        throwInvalidArgument(QStringLiteral("Negative-only tracker prompts are ambiguous."));
    }
    const Sam3::PolledMutex::Hold lock = d->mutex.acquire([&budget] { budget.check(); });
    const SamRaster::Prepared prepared =
        SamRaster::prepareWindow(request.rasterPath, d->rasterPixelLimit, request.rasterOptions, &budget,
                                 d->cache.bytes(), TrackerExtraBytes);
    const double width = prepared.width;
    const double height = prepared.height;
    if (prepared.validPixelCount == 0 || static_cast<double>(prepared.validPixelCount) / (width * height) <
                                             request.rasterOptions.minimumValidFraction) {
        throwInvalidArgument(QStringLiteral("Tracker window has insufficient valid pixels."));
    }

    // Prompts in window pixels: points at pixel centres, box corners as given.
    const bool sourceCrs = request.coordinateSpace == AiSamCoordinateSpace::SourceCrs;
    const auto finite = [](double value) { return std::isfinite(value); };
    for (const AiSamPromptPoint& point : request.points) {
        if (!finite(point.x) || !finite(point.y)) {
            throwInvalidArgument(QStringLiteral("Prompt coordinates must be finite."));
        }
    }
    if (request.hasBox && !std::all_of(request.box.begin(), request.box.end(), finite)) {
        throwInvalidArgument(QStringLiteral("Prompt coordinates must be finite."));
    }
    std::optional<InverseTransform> inverse;
    if (sourceCrs) {
        inverse.emplace(prepared.geoTransform);
    }
    const auto* valid = reinterpret_cast<const std::uint8_t*>(prepared.validity.constData());
    QList<float> coordinates;
    QList<std::int64_t> labels;
    for (const AiSamPromptPoint& point : request.points) {
        auto [x, y] = sourceCrs ? (*inverse)(point.x, point.y) : std::pair<double, double>{point.x, point.y};
        if (sourceCrs) {
            x -= 0.5;
            y -= 0.5;
        }
        if (!(x >= 0.0 && x < width && y >= 0.0 && y < height)) {
            throwInvalidArgument(QStringLiteral("Point is outside the raster."));
        }
        const auto column = std::min<std::int64_t>(prepared.width - 1, static_cast<std::int64_t>(x + 0.5));
        const auto row = std::min<std::int64_t>(prepared.height - 1, static_cast<std::int64_t>(y + 0.5));
        if (point.positive && valid[row * prepared.width + column] == 0) {
            throwInvalidArgument(QStringLiteral("Foreground point is on an invalid pixel."));
        }
        coordinates << static_cast<float>(x * Side / width) << static_cast<float>(y * Side / height);
        labels << (point.positive ? 1 : 0);
    }
    if (request.hasBox) {
        double minimumX = request.box[0], minimumY = request.box[1], maximumX = request.box[2],
               maximumY = request.box[3];
        if (sourceCrs) {
            std::vector<std::pair<double, double>> corners;
            for (const double cx : {request.box[0], request.box[2]}) {
                for (const double cy : {request.box[1], request.box[3]}) {
                    corners.push_back((*inverse)(cx, cy));
                }
            }
            const auto [left, right] =
                std::minmax_element(corners.begin(), corners.end(),
                                    [](const auto& a, const auto& b) { return a.first < b.first; });
            const auto [top, bottom] =
                std::minmax_element(corners.begin(), corners.end(),
                                    [](const auto& a, const auto& b) { return a.second < b.second; });
            minimumX = left->first;
            maximumX = right->first;
            minimumY = top->second;
            maximumY = bottom->second;
        }
        if (!(minimumX >= 0.0 && minimumY >= 0.0 && maximumX <= width && maximumY <= height &&
              maximumX > minimumX && maximumY > minimumY)) {
            throwInvalidArgument(QStringLiteral("Box is empty or outside the raster."));
        }
        coordinates << static_cast<float>(minimumX * Side / width)
                    << static_cast<float>(minimumY * Side / height)
                    << static_cast<float>(maximumX * Side / width)
                    << static_cast<float>(maximumY * Side / height);
        labels << 2 << 3;
    }

    AiSamTrackerResult result;
    result.cacheKey = Sam3::windowCacheKey(d->packageDigest, prepared);
    QList<AiTensor> features = d->cache.find(result.cacheKey);
    result.cacheHit = !features.isEmpty();
    if (!result.cacheHit) {
        const AiTensor pixels{QStringLiteral("pixel_values"),
                              AiTensorDataType::Float32,
                              AiTensorLayout::NCHW,
                              {1, 3, SamRaster::EncoderSide, SamRaster::EncoderSide},
                              SamRaster::pixelValues(prepared, &budget)};
        features = d->graphs[0].run({pixels}, budget.runControl()).outputs;
        if (features.size() != 3 || features[0].name != QLatin1String("high0") ||
            features[1].name != QLatin1String("high1") || features[2].name != QLatin1String("embedding")) {
            throwInvalidArgument(QStringLiteral("Tracker encoder output mismatch."));
        }
        for (const AiTensor& feature : features) {
            if (feature.dataType != AiTensorDataType::Float32 || feature.shape.size() != 4 ||
                feature.shape.front() != 1 || feature.data.size() != feature.expectedByteSize()) {
                throwInvalidArgument(QStringLiteral("Invalid tracker embedding shape."));
            }
        }
        d->cache.insert(result.cacheKey, features);
    }

    const auto count = static_cast<std::int64_t>(labels.size());
    AiTensor pointCoords{
        QStringLiteral("point_coords"),
        AiTensorDataType::Float32,
        AiTensorLayout::Unknown,
        {1, 1, count, 2},
        QByteArray(reinterpret_cast<const char*>(coordinates.constData()), coordinates.size() * 4)};
    AiTensor pointLabels{QStringLiteral("point_labels"),
                         AiTensorDataType::Int64,
                         AiTensorLayout::Unknown,
                         {1, 1, count},
                         QByteArray(reinterpret_cast<const char*>(labels.constData()), labels.size() * 8)};
    QList<AiTensor> inputs = features;
    inputs << pointCoords << pointLabels;
    const QList<AiTensor> outputs = d->graphs[1].run(inputs, budget.runControl()).outputs;
    if (outputs.size() != 3 || outputs[0].shape != QList<std::int64_t>{1, 1, 3, Grid, Grid} ||
        outputs[1].elementCount() != 3 || outputs[2].elementCount() != 1) {
        throwInvalidArgument(QStringLiteral("Invalid tracker decoder output dimensions."));
    }
    for (const AiTensor& output : outputs) {
        if (output.dataType != AiTensorDataType::Float32 || output.data.size() != output.expectedByteSize()) {
            throwInvalidArgument(QStringLiteral("Invalid tracker decoder data type."));
        }
    }
    const auto* quality = reinterpret_cast<const float*>(outputs[1].data.constData());
    result.selectedCandidate = 0;
    for (int k = 0; k < 3; ++k) {
        if (!std::isfinite(quality[k])) {
            throwInvalidArgument(QStringLiteral("Nonfinite tracker mask quality."));
        }
        result.qualityScores << quality[k];
        if (quality[k] > quality[result.selectedCandidate]) {
            result.selectedCandidate = k;
        }
    }
    result.objectScore = reinterpret_cast<const float*>(outputs[2].data.constData())[0];
    if (!std::isfinite(result.objectScore)) {
        throwInvalidArgument(QStringLiteral("Nonfinite tracker object score."));
    }
    const float* logits = reinterpret_cast<const float*>(outputs[0].data.constData()) +
                          static_cast<size_t>(result.selectedCandidate) * Grid * Grid;
    if (!std::all_of(logits, logits + Grid * Grid, [](float v) { return std::isfinite(v); })) {
        throwInvalidArgument(QStringLiteral("Nonfinite tracker mask logits."));
    }

    // The selection: the 288 x 288 logits sampled bilinearly at every valid pixel's centre.
    const std::int64_t w = prepared.width;
    const std::int64_t h = prepared.height;
    result.width = prepared.width;
    result.height = prepared.height;
    result.bandCount = 1;
    result.dataType = AiTensorDataType::Int32;
    result.data = hugePageByteArray(static_cast<qsizetype>(w * h * 4));
    auto* selection = reinterpret_cast<std::int32_t*>(result.data.data());
    std::vector<int> left(static_cast<size_t>(w)), right(static_cast<size_t>(w));
    std::vector<double> across(static_cast<size_t>(w));
    for (std::int64_t x = 0; x < w; ++x) {
        const double sx = std::clamp((x + 0.5) * Grid / width - 0.5, 0.0, Grid - 1.0);
        left[static_cast<size_t>(x)] = static_cast<int>(sx);
        right[static_cast<size_t>(x)] = std::min(left[static_cast<size_t>(x)] + 1, Grid - 1);
        across[static_cast<size_t>(x)] = sx - left[static_cast<size_t>(x)];
    }
    std::vector<double> row(Grid);  // the logits interpolated to this output row, one per grid column
    for (std::int64_t y = 0; y < h; ++y) {
        if (y % 64 == 0) {
            budget.check();
        }
        const double sy = std::clamp((y + 0.5) * Grid / height - 0.5, 0.0, Grid - 1.0);
        const int top = static_cast<int>(sy);
        const int bottom = std::min(top + 1, Grid - 1);
        const double down = sy - top;
        for (int c = 0; c < Grid; ++c) {
            row[static_cast<size_t>(c)] = logits[top * Grid + c] * (1.0 - down) + logits[bottom * Grid + c] * down;
        }
        for (std::int64_t x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y * w + x);
            const double a = across[static_cast<size_t>(x)];
            const double value = row[static_cast<size_t>(left[static_cast<size_t>(x)])] * (1.0 - a) +
                                 row[static_cast<size_t>(right[static_cast<size_t>(x)])] * a;
            selection[i] = valid[i] != 0 && static_cast<float>(value) > 0.0F ? 1 : 0;
        }
    }
    result.geoTransform = QList<double>(prepared.geoTransform.begin(), prepared.geoTransform.end());
    result.projectionWkt = prepared.projectionWkt;
    result.processedTiles = 1;
    result.provider = d->graphs[0].provider();
    result.validity = prepared.validity;
    result.window = prepared.window;
    result.validPixelCount = prepared.validPixelCount;
    result.workingBytes = prepared.workingBytes;
    result.elapsedMilliseconds = millisecondsSince(start);
    return result;
}

AiSamGisResult AiSamTrackerSession::segmentToGis(const AiSamTrackerRequest& request,
                                                 const AiSamGisOptions& options) const {
    if (options.execution.maximumMilliseconds < 0) {
        throwInvalidArgument(QStringLiteral("Invalid tracker GIS deadline."));
    }
    std::int64_t deadline = 0;
    for (const std::int64_t candidate :
         {request.execution.maximumMilliseconds, options.execution.maximumMilliseconds}) {
        if (candidate > 0 && (deadline == 0 || candidate < deadline)) {
            deadline = candidate;
        }
    }
    const AiSamRasterOptions& raster = request.rasterOptions;
    if (options.hasWindow != raster.hasWindow ||
        (options.hasWindow &&
         (options.window.x != raster.window.x || options.window.y != raster.window.y ||
          options.window.width != raster.window.width || options.window.height != raster.window.height))) {
        throwInvalidArgument(QStringLiteral("Tracker GIS windows must agree."));
    }
    AiSamTrackerRequest bounded = request;
    bounded.execution.maximumMilliseconds = deadline;
    const SamRaster::Budget budget(bounded.execution);  // "Invalid SAM3 execution budget." for a bad one
    AiSamTiledSummary summary;
    {
        const Gdal::Dataset dataset = Gdal::open(request.rasterPath, GDAL_OF_RASTER | GDAL_OF_READONLY);
        if (!dataset) {
            throwInvalidArgument(QStringLiteral("Cannot open SAM3 raster."));
        }
        summary.rasterWidth = GDALGetRasterXSize(dataset.get());
        summary.rasterHeight = GDALGetRasterYSize(dataset.get());
    }
    const QJsonObject manifest = d->package.manifest();
    QJsonObject provenance = options.provenance;
    QJsonArray points;
    for (const AiSamPromptPoint& point : request.points) {
        points.append(QJsonObject{{QStringLiteral("x"), point.x},
                                  {QStringLiteral("y"), point.y},
                                  {QStringLiteral("positive"), point.positive}});
    }
    provenance.insert(QStringLiteral("run"), QStringLiteral("interactive-selection"));
    provenance.insert(QStringLiteral("model"), manifest.value(QStringLiteral("model")));
    provenance.insert(QStringLiteral("revision"), manifest.value(QStringLiteral("revision")));
    provenance.insert(QStringLiteral("package_sha256"), d->packageDigest);
    provenance.insert(QStringLiteral("points"), points);
    provenance.insert(QStringLiteral("source_crs_coordinates"),
                      request.coordinateSpace == AiSamCoordinateSpace::SourceCrs);
    provenance.insert(QStringLiteral("prompt"), options.prompt);
    if (request.hasBox) {
        provenance.insert(QStringLiteral("box"),
                          QJsonArray{request.box[0], request.box[1], request.box[2], request.box[3]});
    }
    AiSamGisOptions writerOptions = options;
    writerOptions.provenance = provenance;
    writerOptions.execution.maximumMilliseconds = deadline;
    if (!writerOptions.cancellationRequested) {
        writerOptions.cancellationRequested = request.cancellationRequested;
    }
    AiSamGisWriter writer(request.rasterPath, writerOptions);
    writer.consume(segment(bounded));
    summary.totalTiles = summary.completedTiles = 1;
    summary.instances = 1;
    summary.completed = true;
    return writer.finish(summary);
}

}  // namespace Tarnivale::AI
