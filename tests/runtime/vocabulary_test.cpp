// The vocabulary's text forms and the tensor record's size arithmetic and validation.

#include <tarnivale/ai/runtime.h>

#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QMap>

#include <limits>
#include <string_view>

using namespace Tarnivale::AI;
using namespace Qt::StringLiterals;
using Tarnivale::AI::Testing::errorOf;

TEST(Vocabulary, NamesParseBackOutOfRangeValuesHaveDefaultNamesAndParsersRefuseWithTheText) {
    // Every name parses back to its value; the names are what hosts and manifest files use.
    const auto names = [](int count, auto name, auto parse) {
        QStringList all;
        for (int v = 0; v < count; ++v) {
            all << name(decltype(parse(QString()))(v));
            EXPECT_EQ(static_cast<int>(parse(all.last())), v) << all.last().toStdString();
        }
        return all.join(u' ').toStdString();
    };
    EXPECT_EQ(names(5, aiExecutionProviderName, parseExecutionProvider), "Auto CPU CUDA DirectML CoreML");
    EXPECT_EQ(names(5, aiTensorDataTypeName, parseTensorDataType), "Float32 Float64 Int32 Int64 UInt8");
    EXPECT_EQ(names(3, aiTensorLayoutName, parseTensorLayout), "Unknown NCHW NHWC");
    EXPECT_EQ(names(4, aiOutputKindName, parseMaterializationKind), "Tensor Raster Mask Vector");
    EXPECT_EQ(names(9, aiTaskKindName, parseTaskKind),
              "unspecified classification multilabel_classification semantic_segmentation pixel_regression "
              "object_detection instance_segmentation change_detection raster_transform");
    EXPECT_EQ(QStringList({aiExecutionProviderName(AiExecutionProvider(5)),
                           aiTensorDataTypeName(AiTensorDataType(-1)), aiTensorLayoutName(AiTensorLayout(7)),
                           aiOutputKindName(AiOutputKind(4)), aiTaskKindName(AiTaskKind(9)),
                           aiTaskKindName(AiTaskKind(-1))})
                  .join(u' '),
              u"Unknown Unknown Unknown Unknown unspecified unspecified"_s);
    // Parsers ignore case and trim, except the provider parser.
    EXPECT_EQ(parseExecutionProvider(QString()), AiExecutionProvider::Auto);
    EXPECT_EQ(parseExecutionProvider(u"CuDa"_s), AiExecutionProvider::Cuda);
    EXPECT_EQ(parseExecutionProvider(u"coreML"_s), AiExecutionProvider::CoreML);
    EXPECT_EQ(parseTensorDataType(u"  INT64 \t"_s), AiTensorDataType::Int64);
    EXPECT_EQ(parseTensorLayout(u" nhwc "_s), AiTensorLayout::NHWC);
    EXPECT_EQ(parseTensorLayout(QString()), AiTensorLayout::Unknown);
    EXPECT_EQ(parseTaskKind(QString()), AiTaskKind::Unspecified);
    EXPECT_EQ(parseTaskKind(u" Semantic_Segmentation "_s), AiTaskKind::SemanticSegmentation);
    EXPECT_EQ(parseMaterializationKind(u" MASK"_s), AiOutputKind::Mask);

    const auto refusal = [](auto parse, const char* text) {
        return errorOf<std::invalid_argument>([&] { parse(QString::fromUtf8(text)); });
    };
    EXPECT_EQ(refusal(parseExecutionProvider, "gpu"), "Unknown AI execution provider: gpu");
    EXPECT_EQ(refusal(parseExecutionProvider, " cpu"), "Unknown AI execution provider:  cpu");  // as given
    EXPECT_EQ(refusal(parseTensorDataType, "float16"), "Unsupported AI tensor data type.");
    EXPECT_EQ(refusal(parseTensorDataType, ""), "Unsupported AI tensor data type.");
    EXPECT_EQ(refusal(parseTensorLayout, "CHW"), "Unsupported AI tensor layout.");
    EXPECT_EQ(refusal(parseTaskKind, " Segmentation "), "Unsupported AI task ' Segmentation '.");
    EXPECT_EQ(refusal(parseMaterializationKind, ""), "Unsupported AI materialization kind ''.");
}

TEST(Tensor, SizesAndValidationMessagesInOrder) {
    using enum AiTensorDataType;
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const struct {
        AiTensorDataType type;
        QList<std::int64_t> shape;
        qsizetype bytes;
        std::int64_t count;
        std::int64_t expectedBytes;
        const char* errors;  // s: shape, d: a dimension, b: byte size
    } rows[] = {
        {UInt8, {2, 3}, 6, 6, 6, ""},
        {Int32, {2, 3}, 24, 6, 24, ""},
        {Float32, {1, 2, 3}, 24, 6, 24, ""},
        {Float64, {2, 3}, 48, 6, 48, ""},
        {Int64, {2, 3}, 47, 6, 48, "b"},
        {AiTensorDataType(9), {2, 3}, 0, 6, 0, ""},
        {Float32, {}, 3, 0, 0, "sb"},
        {Float32, {1, 3, 0, 4}, 0, 0, 0, "d"},
        {Float32, {1, 3, 0, 4}, 4, 0, 0, "db"},
        {Float32, {-1, 5}, 0, 0, 0, "d"},
        {Float32, {0, -2}, 0, 0, 0, "dd"},
        // Products at the limit are counted, one past it give 0 (and then no bytes are expected either).
        {UInt8, {3, max / 3}, 0, max - 1, max - 1, "b"},
        {UInt8, {3, max / 3 + 1}, 0, 0, 0, ""},
        {Float32, {max / 4}, 0, max / 4, max - 3, "b"},
        {Float32, {max / 4 + 1}, 0, max / 4 + 1, 0, ""},
        {Float32, {std::int64_t{1} << 32, std::int64_t{1} << 32}, 24, 0, 0, "b"},
    };
    const QMap<char, QString> messages{{'s', u"Tensor shape is required."_s},
                                       {'d', u"Runtime tensor dimensions must be positive."_s},
                                       {'b', u"Tensor byte size does not match its data type and shape."_s}};
    for (const auto& row : rows) {
        const AiTensor tensor{u"t"_s, row.type, AiTensorLayout::Unknown, row.shape, QByteArray(row.bytes, 0)};
        QList<QString> expected;
        for (const char code : std::string_view(row.errors)) {
            expected << messages.value(code);
        }
        EXPECT_EQ(tensor.elementCount(), row.count) << row.shape.size() << " dimensions, " << row.errors;
        EXPECT_EQ(tensor.expectedByteSize(), row.expectedBytes) << row.count;
        EXPECT_EQ(tensor.validationErrors(), expected) << row.count << " " << row.errors;
    }
    const AiTensor unnamed{u" "_s, Float32, {}, {1}, QByteArray(4, 0)};
    EXPECT_EQ(unnamed.validationErrors(), QList<QString>{u"Tensor name is required."_s});
}
