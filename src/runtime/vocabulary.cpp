#include <tarnivale/ai/runtime.h>

#include "runtime/errors.h"

#include <array>

namespace Tarnivale::AI {

namespace {

// Task kind names double as manifest text, indexed by the enumeration value.
constexpr std::array<const char*, 9> kTaskKindNames = {
    "unspecified",           "classification",   "multilabel_classification",
    "semantic_segmentation", "pixel_regression", "object_detection",
    "instance_segmentation", "change_detection", "raster_transform",
};

}  // namespace

QString aiExecutionProviderName(AiExecutionProvider provider) {
    switch (provider) {
        case AiExecutionProvider::Auto:
            return QStringLiteral("Auto");
        case AiExecutionProvider::Cpu:
            return QStringLiteral("CPU");
        case AiExecutionProvider::Cuda:
            return QStringLiteral("CUDA");
        case AiExecutionProvider::DirectML:
            return QStringLiteral("DirectML");
        case AiExecutionProvider::CoreML:
            return QStringLiteral("CoreML");
    }
    return QStringLiteral("Unknown");
}

QString aiTensorDataTypeName(AiTensorDataType dataType) {
    switch (dataType) {
        case AiTensorDataType::Float32:
            return QStringLiteral("Float32");
        case AiTensorDataType::Float64:
            return QStringLiteral("Float64");
        case AiTensorDataType::Int32:
            return QStringLiteral("Int32");
        case AiTensorDataType::Int64:
            return QStringLiteral("Int64");
        case AiTensorDataType::UInt8:
            return QStringLiteral("UInt8");
    }
    return QStringLiteral("Unknown");
}

QString aiTensorLayoutName(AiTensorLayout layout) {
    switch (layout) {
        case AiTensorLayout::NCHW:
            return QStringLiteral("NCHW");
        case AiTensorLayout::NHWC:
            return QStringLiteral("NHWC");
        case AiTensorLayout::Unknown:
            break;
    }
    return QStringLiteral("Unknown");
}

QString aiTaskKindName(AiTaskKind kind) {
    const int value = static_cast<int>(kind);
    if (value < 0 || value >= static_cast<int>(kTaskKindNames.size())) {
        return QString::fromLatin1(kTaskKindNames[0]);
    }
    return QString::fromLatin1(kTaskKindNames[static_cast<std::size_t>(value)]);
}

QString aiOutputKindName(AiOutputKind kind) {
    switch (kind) {
        case AiOutputKind::Tensor:
            return QStringLiteral("Tensor");
        case AiOutputKind::Raster:
            return QStringLiteral("Raster");
        case AiOutputKind::Mask:
            return QStringLiteral("Mask");
        case AiOutputKind::Vector:
            return QStringLiteral("Vector");
    }
    return QStringLiteral("Unknown");
}

int aiTensorDataTypeSize(AiTensorDataType dataType) {
    switch (dataType) {
        case AiTensorDataType::Float32:
        case AiTensorDataType::Int32:
            return 4;
        case AiTensorDataType::Float64:
        case AiTensorDataType::Int64:
            return 8;
        case AiTensorDataType::UInt8:
            return 1;
    }
    return 0;
}

AiExecutionProvider parseExecutionProvider(const QString& text) {
    const auto is = [&text](const char* name) {
        return text.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
    };
    if (text.isEmpty() || is("auto")) {
        return AiExecutionProvider::Auto;
    }
    if (is("cpu")) {
        return AiExecutionProvider::Cpu;
    }
    if (is("cuda")) {
        return AiExecutionProvider::Cuda;
    }
    if (is("directml")) {
        return AiExecutionProvider::DirectML;
    }
    if (is("coreml")) {
        return AiExecutionProvider::CoreML;
    }
    throwInvalidArgument(QStringLiteral("Unknown AI execution provider: %1").arg(text));
}

AiTensorDataType parseTensorDataType(const QString& text) {
    const QString value = text.trimmed().toLower();
    for (const auto type : {AiTensorDataType::Float32, AiTensorDataType::Float64, AiTensorDataType::Int32,
                            AiTensorDataType::Int64, AiTensorDataType::UInt8}) {
        if (value == aiTensorDataTypeName(type).toLower()) {
            return type;
        }
    }
    throwInvalidArgument(QStringLiteral("Unsupported AI tensor data type."));
}

AiTensorLayout parseTensorLayout(const QString& text) {
    const QString value = text.trimmed().toUpper();
    if (value.isEmpty() || value == QLatin1String("UNKNOWN")) {
        return AiTensorLayout::Unknown;
    }
    if (value == QLatin1String("NCHW")) {
        return AiTensorLayout::NCHW;
    }
    if (value == QLatin1String("NHWC")) {
        return AiTensorLayout::NHWC;
    }
    throwInvalidArgument(QStringLiteral("Unsupported AI tensor layout."));
}

AiTaskKind parseTaskKind(const QString& text) {
    const QString value = text.trimmed().toLower();
    if (value.isEmpty()) {
        return AiTaskKind::Unspecified;
    }
    for (std::size_t i = 0; i < kTaskKindNames.size(); ++i) {
        if (value == QLatin1String(kTaskKindNames[i])) {
            return static_cast<AiTaskKind>(i);
        }
    }
    throwInvalidArgument(QStringLiteral("Unsupported AI task '%1'.").arg(text));
}

AiOutputKind parseMaterializationKind(const QString& text) {
    const QString value = text.trimmed().toLower();
    for (const auto kind :
         {AiOutputKind::Tensor, AiOutputKind::Raster, AiOutputKind::Mask, AiOutputKind::Vector}) {
        if (value == aiOutputKindName(kind).toLower()) {
            return kind;
        }
    }
    throwInvalidArgument(QStringLiteral("Unsupported AI materialization kind '%1'.").arg(text));
}

}  // namespace Tarnivale::AI
