#include <tarnivale/ai/runtime.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace Tarnivale::AI;

namespace {
template <typename Parse>
std::string parseError(Parse parse, const char* text) {
    try {
        parse(QString::fromUtf8(text));
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "no error";
}
}  // namespace

TEST(Vocabulary, DisplayNamesIncludingOutOfRange) {
    EXPECT_EQ(aiExecutionProviderName(AiExecutionProvider::Auto), QStringLiteral("Auto"));
    EXPECT_EQ(aiExecutionProviderName(AiExecutionProvider::Cpu), QStringLiteral("CPU"));
    EXPECT_EQ(aiExecutionProviderName(AiExecutionProvider::Cuda), QStringLiteral("CUDA"));
    EXPECT_EQ(aiExecutionProviderName(AiExecutionProvider::DirectML), QStringLiteral("DirectML"));
    EXPECT_EQ(aiExecutionProviderName(AiExecutionProvider::CoreML), QStringLiteral("CoreML"));
    EXPECT_EQ(aiExecutionProviderName(static_cast<AiExecutionProvider>(9)), QStringLiteral("Unknown"));

    EXPECT_EQ(aiTensorDataTypeName(AiTensorDataType::UInt8), QStringLiteral("UInt8"));
    EXPECT_EQ(aiTensorDataTypeName(static_cast<AiTensorDataType>(-1)), QStringLiteral("Unknown"));
    EXPECT_EQ(aiTensorDataTypeSize(AiTensorDataType::Float64), 8);
    EXPECT_EQ(aiTensorDataTypeSize(static_cast<AiTensorDataType>(5)), 0);

    EXPECT_EQ(aiTensorLayoutName(AiTensorLayout::NHWC), QStringLiteral("NHWC"));
    EXPECT_EQ(aiTensorLayoutName(static_cast<AiTensorLayout>(7)), QStringLiteral("Unknown"));

    EXPECT_EQ(aiTaskKindName(AiTaskKind::MultilabelClassification),
              QStringLiteral("multilabel_classification"));
    EXPECT_EQ(aiTaskKindName(AiTaskKind::RasterTransform), QStringLiteral("raster_transform"));
    EXPECT_EQ(aiTaskKindName(static_cast<AiTaskKind>(42)), QStringLiteral("unspecified"));
    EXPECT_EQ(aiTaskKindName(static_cast<AiTaskKind>(-1)), QStringLiteral("unspecified"));

    EXPECT_EQ(aiOutputKindName(AiOutputKind::Vector), QStringLiteral("Vector"));
    EXPECT_EQ(aiOutputKindName(static_cast<AiOutputKind>(4)), QStringLiteral("Unknown"));
}

TEST(Vocabulary, ProviderParserIgnoresCaseOnly) {
    EXPECT_EQ(parseExecutionProvider(QString()), AiExecutionProvider::Auto);
    EXPECT_EQ(parseExecutionProvider(QStringLiteral("AUTO")), AiExecutionProvider::Auto);
    EXPECT_EQ(parseExecutionProvider(QStringLiteral("cuda")), AiExecutionProvider::Cuda);
    EXPECT_EQ(parseExecutionProvider(QStringLiteral("CuDa")), AiExecutionProvider::Cuda);
    EXPECT_EQ(parseExecutionProvider(QStringLiteral("CPU")), AiExecutionProvider::Cpu);
    EXPECT_EQ(parseExecutionProvider(QStringLiteral("DirectML")), AiExecutionProvider::DirectML);
    EXPECT_EQ(parseExecutionProvider(QStringLiteral("coreML")), AiExecutionProvider::CoreML);
    EXPECT_EQ(parseError(parseExecutionProvider, "gpu"), "Unknown AI execution provider: gpu");
    // No trimming for providers: the text is reported as given.
    EXPECT_EQ(parseError(parseExecutionProvider, " cpu"), "Unknown AI execution provider:  cpu");
}

TEST(Vocabulary, TypeAndLayoutParsersTrimFirst) {
    EXPECT_EQ(parseTensorDataType(QStringLiteral("  Float32 \t")), AiTensorDataType::Float32);
    EXPECT_EQ(parseTensorDataType(QStringLiteral("INT64")), AiTensorDataType::Int64);
    EXPECT_EQ(parseTensorDataType(QStringLiteral("uint8")), AiTensorDataType::UInt8);
    EXPECT_EQ(parseError(parseTensorDataType, "float16"), "Unsupported AI tensor data type.");
    EXPECT_EQ(parseError(parseTensorDataType, ""), "Unsupported AI tensor data type.");

    EXPECT_EQ(parseTensorLayout(QStringLiteral(" nhwc ")), AiTensorLayout::NHWC);
    EXPECT_EQ(parseTensorLayout(QStringLiteral("nchw")), AiTensorLayout::NCHW);
    EXPECT_EQ(parseTensorLayout(QString()), AiTensorLayout::Unknown);
    EXPECT_EQ(parseTensorLayout(QStringLiteral("unknown")), AiTensorLayout::Unknown);
    EXPECT_EQ(parseError(parseTensorLayout, "CHW"), "Unsupported AI tensor layout.");
}

TEST(Vocabulary, TaskAndMaterializationParsers) {
    EXPECT_EQ(parseTaskKind(QString()), AiTaskKind::Unspecified);
    EXPECT_EQ(parseTaskKind(QStringLiteral(" Semantic_Segmentation ")), AiTaskKind::SemanticSegmentation);
    EXPECT_EQ(parseTaskKind(QStringLiteral("change_detection")), AiTaskKind::ChangeDetection);
    for (int value = 0; value <= 8; ++value) {
        const auto kind = static_cast<AiTaskKind>(value);
        EXPECT_EQ(parseTaskKind(aiTaskKindName(kind)), kind);
    }
    EXPECT_EQ(parseError(parseTaskKind, " Segmentation "), "Unsupported AI task ' Segmentation '.");

    EXPECT_EQ(parseMaterializationKind(QStringLiteral(" MASK")), AiOutputKind::Mask);
    EXPECT_EQ(parseMaterializationKind(QStringLiteral("vector")), AiOutputKind::Vector);
    EXPECT_EQ(parseError(parseMaterializationKind, ""), "Unsupported AI materialization kind ''.");
    EXPECT_EQ(parseError(parseMaterializationKind, "image"), "Unsupported AI materialization kind 'image'.");
}
