#include <tarnivale/ai/detection.h>

#include "runtime/errors.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

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

double intersectionOverUnion(const AiDetection& a, const AiDetection& b) {
    const double width = std::max(0.0, std::min(a.xMax, b.xMax) - std::max(a.xMin, b.xMin));
    const double height = std::max(0.0, std::min(a.yMax, b.yMax) - std::max(a.yMin, b.yMin));
    const double intersection = width * height;
    const double areaA = std::max(0.0, a.xMax - a.xMin) * std::max(0.0, a.yMax - a.yMin);
    const double areaB = std::max(0.0, b.xMax - b.xMin) * std::max(0.0, b.yMax - b.yMin);
    const double unionArea = areaA + areaB - intersection;
    return unionArea > 0.0 ? intersection / unionArea : 0.0;
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

void setCorners(AiDetection& detection, const float* box, const QString& format) {
    if (format == QLatin1String("xyxy")) {
        detection.xMin = box[0];
        detection.yMin = box[1];
        detection.xMax = box[2];
        detection.yMax = box[3];
    } else if (format == QLatin1String("xywh")) {
        detection.xMin = box[0];
        detection.yMin = box[1];
        detection.xMax = static_cast<double>(box[0] + box[2]);  // summed in single precision
        detection.yMax = static_cast<double>(box[1] + box[3]);
    } else if (format == QLatin1String("cxcywh")) {
        detection.xMin = static_cast<double>(box[0]) - static_cast<double>(box[2]) * 0.5;
        detection.yMin = static_cast<double>(box[1]) - static_cast<double>(box[3]) * 0.5;
        detection.xMax = static_cast<double>(box[0]) + static_cast<double>(box[2]) * 0.5;
        detection.yMax = static_cast<double>(box[1]) + static_cast<double>(box[3]) * 0.5;
    } else {
        throwInvalidArgument(QStringLiteral("AI detection boxFormat must be xyxy, xywh, or cxcywh."));
    }
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
    const QString format = options.boxFormat.trimmed().toLower();
    const auto* values = reinterpret_cast<const float*>(boxes.data.constData());
    QList<AiDetection> candidates;
    for (qsizetype i = 0; i < count; ++i) {
        const double score = elementAt(scores, i);
        if (!std::isfinite(score) || score < options.scoreThreshold) {
            continue;
        }
        AiDetection detection;
        detection.score = score;
        const double classValue = std::round(elementAt(classes, i));
        detection.classId = static_cast<std::int32_t>(
            std::clamp(classValue, static_cast<double>(std::numeric_limits<std::int32_t>::min()),
                       static_cast<double>(std::numeric_limits<std::int32_t>::max())));
        setCorners(detection, values + i * 4, format);
        if (options.normalizedCoordinates) {
            detection.xMin *= options.imageWidth;
            detection.xMax *= options.imageWidth;
            detection.yMin *= options.imageHeight;
            detection.yMax *= options.imageHeight;
        }
        if (detection.xMin > detection.xMax) {
            std::swap(detection.xMin, detection.xMax);
        }
        if (detection.yMin > detection.yMax) {
            std::swap(detection.yMin, detection.yMax);
        }
        if (detection.classId >= 0 && detection.classId < labels.size()) {
            detection.label = labels.at(detection.classId);
        }
        if (detection.xMin < detection.xMax && detection.yMin < detection.yMax) {
            candidates.append(detection);
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const AiDetection& a, const AiDetection& b) { return a.score > b.score; });
    QList<AiDetection> accepted;
    for (const AiDetection& candidate : candidates) {
        const bool suppressed = std::any_of(accepted.begin(), accepted.end(), [&](const AiDetection& kept) {
            return (options.classAgnosticNms || kept.classId == candidate.classId) &&
                   intersectionOverUnion(candidate, kept) > options.nmsThreshold;
        });
        if (!suppressed) {
            accepted.append(candidate);
            if (accepted.size() >= options.maximumDetections) {
                break;
            }
        }
    }
    return accepted;
}

}  // namespace Tarnivale::AI
