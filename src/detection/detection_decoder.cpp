#include <tarnivale/ai/detection.h>

#include "detection/box_overlap.h"
#include "runtime/errors.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace Tarnivale::AI {

namespace {

/// Element i of a tensor in flat row-major order, widened to double.
double elementAt(const AiTensor& tensor, qsizetype i) {
    const char* data = tensor.data.constData();
    const auto read = [&](auto sample) {
        decltype(sample) value;
        std::memcpy(&value, data + i * static_cast<qsizetype>(sizeof value), sizeof value);
        return static_cast<double>(value);
    };
    switch (tensor.dataType) {
        case AiTensorDataType::Float32:
            return read(float{});
        case AiTensorDataType::Float64:
            return read(double{});
        case AiTensorDataType::Int32:
            return read(std::int32_t{});
        case AiTensorDataType::Int64:
            return read(std::int64_t{});
        case AiTensorDataType::UInt8:
            return read(std::uint8_t{});
    }
    throwInvalidArgument(QStringLiteral("Unsupported AI detection tensor data type."));
}

/// A candidate kept for suppression: corners in pixels, the widened score and the class.
struct Candidate {
    double xMin = 0.0;
    double yMin = 0.0;
    double xMax = 0.0;
    double yMax = 0.0;
    double score = 0.0;
    std::int32_t classId = -1;
};

/// A candidate's place in the score order: best first, equal scores in input order.
struct RankKey {
    double score;
    qsizetype index;  ///< in the input tensors
};

bool ranksBefore(const RankKey& a, const RankKey& b) {
    return a.score != b.score ? a.score > b.score : a.index < b.index;
}

/// The box count of a [N, 4] or [1, N, 4] tensor.
qsizetype boxCount(const AiTensor& boxes) {
    const QList<std::int64_t>& shape = boxes.shape;
    if (shape.size() == 2 && shape[1] == 4) {
        return static_cast<qsizetype>(shape[0]);
    }
    if (shape.size() == 3 && shape[0] == 1 && shape[2] == 4) {
        return static_cast<qsizetype>(shape[1]);
    }
    throwInvalidArgument(QStringLiteral("AI detection boxes must have shape [N,4] or [1,N,4]."));
}

enum class BoxFormat { Xyxy, Xywh, Cxcywh, Unknown };

BoxFormat boxFormatOf(const QString& format) {
    if (format == QLatin1String("xyxy")) {
        return BoxFormat::Xyxy;
    }
    if (format == QLatin1String("xywh")) {
        return BoxFormat::Xywh;
    }
    if (format == QLatin1String("cxcywh")) {
        return BoxFormat::Cxcywh;
    }
    return BoxFormat::Unknown;
}

void setCorners(Candidate& candidate, const float* box, BoxFormat format) {
    switch (format) {
        case BoxFormat::Xyxy:
            candidate.xMin = box[0];
            candidate.yMin = box[1];
            candidate.xMax = box[2];
            candidate.yMax = box[3];
            return;
        case BoxFormat::Xywh:
            candidate.xMin = box[0];
            candidate.yMin = box[1];
            candidate.xMax = static_cast<double>(box[0] + box[2]);  // summed in single precision
            candidate.yMax = static_cast<double>(box[1] + box[3]);
            return;
        case BoxFormat::Cxcywh:
            candidate.xMin = static_cast<double>(box[0]) - static_cast<double>(box[2]) * 0.5;
            candidate.yMin = static_cast<double>(box[1]) - static_cast<double>(box[3]) * 0.5;
            candidate.xMax = static_cast<double>(box[0]) + static_cast<double>(box[2]) * 0.5;
            candidate.yMax = static_cast<double>(box[1]) + static_cast<double>(box[3]) * 0.5;
            return;
        case BoxFormat::Unknown:
            break;
    }
    throwInvalidArgument(QStringLiteral("AI detection boxFormat must be xyxy, xywh, or cxcywh."));
}

}  // namespace

QList<AiDetection> AiObjectDetectionDecoder::decode(const AiTensor& boxes, const AiTensor& scores,
                                                    const AiTensor& classes,
                                                    const AiObjectDetectionOptions& options,
                                                    const QList<QString>& labels) {
    for (const AiTensor* tensor : {&boxes, &scores, &classes}) {
        // A model with no candidates returns tensors with a zero dimension and no bytes: a valid empty set.
        const bool emptySet =
            tensor->data.isEmpty() && tensor->shape.contains(0) &&
            std::none_of(tensor->shape.begin(), tensor->shape.end(), [](std::int64_t d) { return d < 0; });
        const QList<QString> errors = emptySet ? QList<QString>{} : tensor->validationErrors();
        if (!errors.isEmpty()) {
            throwInvalidArgument(joinMessages(errors));
        }
    }
    if (boxes.dataType != AiTensorDataType::Float32) {
        throwInvalidArgument(QStringLiteral("AI detection boxes currently require a Float32 tensor."));
    }
    const auto unit = [](double value) { return value >= 0.0 && value <= 1.0; };
    if (!unit(options.scoreThreshold) || !unit(options.nmsThreshold)) {
        throwInvalidArgument(
            QStringLiteral("AI detection score and NMS thresholds must be between 0 and 1."));
    }
    if (options.maximumDetections < 1) {
        throwInvalidArgument(QStringLiteral("AI detection maximumDetections must be positive."));
    }
    if (options.normalizedCoordinates && (options.imageWidth < 1 || options.imageHeight < 1)) {
        throwInvalidArgument(
            QStringLiteral("Normalized AI detection coordinates require positive image dimensions."));
    }
    const qsizetype count = boxCount(boxes);
    if (scores.elementCount() != count || classes.elementCount() != count) {
        throwInvalidArgument(QStringLiteral(
            "AI detection boxes, scores, and classes must contain the same number of detections."));
    }
    // The format is resolved once; an unknown one is refused at the first candidate above the threshold.
    const BoxFormat format = boxFormatOf(options.boxFormat.trimmed().toLower());
    const auto* values = reinterpret_cast<const float*>(boxes.data.constData());
    // Candidate i's class and corners, computed the same way each time they are needed.
    const auto candidateAt = [&](qsizetype i, double score) {
        Candidate candidate;
        candidate.score = score;
        const double classValue = std::round(elementAt(classes, i));
        candidate.classId = static_cast<std::int32_t>(
            std::clamp(classValue, static_cast<double>(std::numeric_limits<std::int32_t>::min()),
                       static_cast<double>(std::numeric_limits<std::int32_t>::max())));
        setCorners(candidate, values + i * 4, format);
        if (options.normalizedCoordinates) {
            candidate.xMin *= options.imageWidth;
            candidate.xMax *= options.imageWidth;
            candidate.yMin *= options.imageHeight;
            candidate.yMax *= options.imageHeight;
        }
        if (candidate.xMin > candidate.xMax) {
            std::swap(candidate.xMin, candidate.xMax);
        }
        if (candidate.yMin > candidate.yMax) {
            std::swap(candidate.yMin, candidate.yMax);
        }
        return candidate;
    };
    // Only a rank key is kept per candidate; corners and class are recomputed for those suppression reaches.
    std::vector<RankKey> order;
    order.reserve(static_cast<size_t>(count));
    for (qsizetype i = 0; i < count; ++i) {
        const double score = elementAt(scores, i);
        if (!std::isfinite(score) || score < options.scoreThreshold) {
            continue;
        }
        const Candidate candidate = candidateAt(i, score);
        if (candidate.xMin < candidate.xMax && candidate.yMin < candidate.yMax) {
            order.push_back({score, i});
        }
    }

    // Greedy suppression in score order. The order is produced in batches (the best batch selected, then
    // sorted), since suppression usually stops at maximumDetections long before the last candidate: the
    // common case costs linear time, and batches double so the worst case stays N log N.
    const auto limit = static_cast<qsizetype>(options.maximumDetections);
    std::vector<Candidate> accepted;
    accepted.reserve(static_cast<size_t>(std::min(limit, static_cast<qsizetype>(order.size()))));
    auto begin = order.begin();
    qsizetype batch = std::max<qsizetype>(1024, 2 * limit);
    while (begin != order.end() && static_cast<qsizetype>(accepted.size()) < limit) {
        const qsizetype remaining = order.end() - begin;
        const auto end = batch * 2 >= remaining ? order.end() : begin + batch;
        if (end != order.end()) {
            std::nth_element(begin, end, order.end(), ranksBefore);
        }
        std::sort(begin, end, ranksBefore);
        for (auto key = begin; key != end; ++key) {
            const Candidate candidate = candidateAt(key->index, key->score);
            const bool suppressed = std::any_of(accepted.begin(), accepted.end(), [&](const Candidate& kept) {
                return (options.classAgnosticNms || kept.classId == candidate.classId) &&
                       intersectionOverUnion(candidate, kept) > options.nmsThreshold;
            });
            if (!suppressed) {
                accepted.push_back(candidate);
                if (static_cast<qsizetype>(accepted.size()) >= limit) {
                    break;
                }
            }
        }
        begin = end;
        batch *= 2;
    }

    // Labels are attached to the kept detections only.
    QList<AiDetection> detections;
    detections.reserve(static_cast<qsizetype>(accepted.size()));
    for (const Candidate& candidate : accepted) {
        AiDetection detection;
        detection.xMin = candidate.xMin;
        detection.yMin = candidate.yMin;
        detection.xMax = candidate.xMax;
        detection.yMax = candidate.yMax;
        detection.score = candidate.score;
        detection.classId = candidate.classId;
        if (detection.classId >= 0 && detection.classId < labels.size()) {
            detection.label = labels.at(detection.classId);
        }
        detections.append(std::move(detection));
    }
    return detections;
}

}  // namespace Tarnivale::AI
