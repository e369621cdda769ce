#include <tarnivale/ai/raster.h>

#include "runtime/errors.h"

#include <QHash>

#include <array>

namespace Tarnivale::AI {

namespace {

void checkClassMask(const AiRasterInferenceResult& result, const QString& kindMessage, bool emptyList,
                    const QString& emptyMessage) {
    if (result.bandCount != 1 || result.dataType != AiTensorDataType::Int32) {
        throwInvalidArgument(kindMessage);
    }
    if (emptyList) {
        throwInvalidArgument(emptyMessage);
    }
    if (result.width < 0 || result.height < 0 ||
        result.data.size() != qsizetype{result.width} * result.height * qsizetype{4}) {
        throwInvalidArgument(QStringLiteral("AI class-mask buffer size does not match its dimensions."));
    }
}

}  // namespace

void AiRasterInferenceExecutor::remapClassMask(AiRasterInferenceResult& result,
                                               const QList<std::int32_t>& classCodes) {
    checkClassMask(result, QStringLiteral("Class-code remapping requires a single-band Int32 class mask."),
                   classCodes.isEmpty(),
                   QStringLiteral("At least one class code is required for class-mask remapping."));
    auto* values = reinterpret_cast<std::int32_t*>(result.data.data());
    const qsizetype count = result.data.size() / 4;
    const qsizetype codes = classCodes.size();
    for (qsizetype i = 0; i < count; ++i) {
        const std::int32_t value = values[i];
        if (value >= 0 && value < codes) {
            values[i] = classCodes[value];
        }
    }
}

AiRasterInferenceResult AiRasterInferenceExecutor::colorizeClassMask(const AiRasterInferenceResult& result,
                                                                     const QList<AiClassColor>& palette) {
    checkClassMask(result, QStringLiteral("Class-mask colorization requires a single-band Int32 class mask."),
                   palette.isEmpty(),
                   QStringLiteral("At least one class color is required for class-mask colorization."));
    // The first entry of a code listed twice wins: later duplicates are ignored.
    QHash<std::int32_t, std::array<float, 3>> colors;
    for (const AiClassColor& color : palette) {
        if (!colors.contains(color.code)) {
            colors.insert(color.code, {static_cast<float>(color.red), static_cast<float>(color.green),
                                       static_cast<float>(color.blue)});
        }
    }
    const std::array<float, 3> grey{128.0f, 128.0f, 128.0f};

    AiRasterInferenceResult colored = result;
    const qsizetype count = result.data.size() / 4;
    colored.bandCount = 3;
    colored.dataType = AiTensorDataType::Float32;
    colored.data = QByteArray(count * 3 * qsizetype{4}, Qt::Uninitialized);
    const auto* codes = reinterpret_cast<const std::int32_t*>(result.data.constData());
    auto* planes = reinterpret_cast<float*>(colored.data.data());
    for (qsizetype i = 0; i < count; ++i) {
        const std::array<float, 3>& color = colors.value(codes[i], grey);
        planes[i] = color[0];
        planes[count + i] = color[1];
        planes[2 * count + i] = color[2];
    }
    return colored;
}

}  // namespace Tarnivale::AI
