#include <tarnivale/ai/runtime.h>

#include <limits>

namespace Tarnivale::AI {

std::int64_t AiTensor::elementCount() const {
    if (shape.isEmpty()) {
        return 0;
    }
    std::int64_t count = 1;
    for (const std::int64_t dimension : shape) {
        if (dimension < 1) {
            return 0;
        }
        if (count > std::numeric_limits<std::int64_t>::max() / dimension) {
            return 0;
        }
        count *= dimension;
    }
    return count;
}

std::int64_t AiTensor::expectedByteSize() const {
    const std::int64_t count = elementCount();
    const int size = aiTensorDataTypeSize(dataType);
    if (count == 0 || size == 0 || count > std::numeric_limits<std::int64_t>::max() / size) {
        return 0;
    }
    return count * size;
}

QList<QString> AiTensor::validationErrors() const {
    QList<QString> errors;
    if (name.trimmed().isEmpty()) {
        errors.append(QStringLiteral("Tensor name is required."));
    }
    if (shape.isEmpty()) {
        errors.append(QStringLiteral("Tensor shape is required."));
    }
    for (const std::int64_t dimension : shape) {
        if (dimension <= 0) {
            errors.append(QStringLiteral("Runtime tensor dimensions must be positive."));
        }
    }
    if (static_cast<std::int64_t>(data.size()) != expectedByteSize()) {
        errors.append(QStringLiteral("Tensor byte size does not match its data type and shape."));
    }
    return errors;
}

AiTensor AiTensor::fromFloat32(const QString& name, const QList<std::int64_t>& shape,
                               const QList<float>& values) {
    AiTensor tensor;
    tensor.name = name;
    tensor.dataType = AiTensorDataType::Float32;
    tensor.layout = AiTensorLayout::Unknown;
    tensor.shape = shape;
    tensor.data = QByteArray(reinterpret_cast<const char*>(values.constData()),
                             static_cast<qsizetype>(values.size() * sizeof(float)));
    return tensor;
}

AiInferenceInterrupted::AiInferenceInterrupted(AiInferenceStopReason reason) : m_reason(reason) {}

const char* AiInferenceInterrupted::what() const noexcept {
    return m_reason == AiInferenceStopReason::Cancelled ? "AI inference cancelled."
                                                        : "AI inference deadline exceeded.";
}

AiInferenceStopReason AiInferenceInterrupted::reason() const noexcept {
    return m_reason;
}

}  // namespace Tarnivale::AI
