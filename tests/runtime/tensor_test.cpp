#include <tarnivale/ai/runtime.h>

#include <gtest/gtest.h>

#include <cstring>

using namespace Tarnivale::AI;

namespace {

AiTensor tensorOf(AiTensorDataType type, QList<std::int64_t> shape, qsizetype bytes) {
    AiTensor tensor;
    tensor.name = QStringLiteral("t");
    tensor.dataType = type;
    tensor.shape = std::move(shape);
    tensor.data = QByteArray(bytes, '\0');
    return tensor;
}

const QString kDimension = QStringLiteral("Runtime tensor dimensions must be positive.");
const QString kSize = QStringLiteral("Tensor byte size does not match its data type and shape.");

}  // namespace

TEST(Tensor, ExpectedSizesPerType) {
    EXPECT_EQ(tensorOf(AiTensorDataType::UInt8, {2, 3}, 0).expectedByteSize(), 6);
    EXPECT_EQ(tensorOf(AiTensorDataType::Int64, {2, 3}, 0).expectedByteSize(), 48);
    EXPECT_EQ(tensorOf(AiTensorDataType::Float64, {2, 3}, 0).expectedByteSize(), 48);
    EXPECT_EQ(tensorOf(AiTensorDataType::Int32, {2, 3}, 0).expectedByteSize(), 24);
    EXPECT_EQ(tensorOf(static_cast<AiTensorDataType>(9), {2, 3}, 0).expectedByteSize(), 0);
    EXPECT_TRUE(tensorOf(AiTensorDataType::Float32, {1, 2, 3}, 24).validationErrors().isEmpty());
}

TEST(Tensor, ElementCountGuardsZeroNegativeAndOverflow) {
    EXPECT_EQ(tensorOf(AiTensorDataType::Float32, {}, 0).elementCount(), 0);
    EXPECT_EQ(tensorOf(AiTensorDataType::Float32, {1, 3, 0, 4}, 0).elementCount(), 0);
    EXPECT_EQ(tensorOf(AiTensorDataType::Float32, {-1, 5}, 0).elementCount(), 0);
    const std::int64_t big = std::int64_t{1} << 32;
    EXPECT_EQ(tensorOf(AiTensorDataType::Float32, {big, big}, 0).elementCount(), 0);
    // The largest product that fits is still counted; its byte size would overflow and gives 0.
    const std::int64_t fits = (std::int64_t{1} << 62);
    EXPECT_EQ(tensorOf(AiTensorDataType::UInt8, {2, fits / 2}, 0).elementCount(), fits);
    EXPECT_EQ(tensorOf(AiTensorDataType::Float64, {2, fits / 2}, 0).expectedByteSize(), 0);
}

TEST(Tensor, ValidationMessagesInOrder) {
    // Zero dimension: one dimension message, and the size message only when bytes are carried.
    EXPECT_EQ(tensorOf(AiTensorDataType::Float32, {1, 3, 0, 4}, 0).validationErrors(),
              QList<QString>{kDimension});
    EXPECT_EQ(tensorOf(AiTensorDataType::Float32, {1, 3, 0, 4}, 4).validationErrors(),
              (QList<QString>{kDimension, kSize}));
    EXPECT_EQ(tensorOf(AiTensorDataType::Float32, {-1, 5}, 0).validationErrors(), QList<QString>{kDimension});
    EXPECT_EQ(tensorOf(AiTensorDataType::Float32, {0, -2}, 0).validationErrors(),
              (QList<QString>{kDimension, kDimension}));

    AiTensor blank = tensorOf(AiTensorDataType::Float32, {}, 3);
    blank.name = QStringLiteral("  ");
    EXPECT_EQ(blank.validationErrors(), (QList<QString>{QStringLiteral("Tensor name is required."),
                                                        QStringLiteral("Tensor shape is required."), kSize}));
    EXPECT_EQ(tensorOf(AiTensorDataType::Int64, {2, 3}, 47).validationErrors(), QList<QString>{kSize});
}

TEST(Tensor, FromFloat32CopiesRawValuesWithoutChecking) {
    const AiTensor tensor = AiTensor::fromFloat32(QStringLiteral("x"), {2, 2}, {1.5f, -2.0f, 3.25f});
    EXPECT_EQ(tensor.name, QStringLiteral("x"));
    EXPECT_EQ(tensor.dataType, AiTensorDataType::Float32);
    EXPECT_EQ(tensor.layout, AiTensorLayout::Unknown);
    ASSERT_EQ(tensor.data.size(), 12);
    float values[3];
    std::memcpy(values, tensor.data.constData(), sizeof values);
    EXPECT_EQ(values[0], 1.5f);
    EXPECT_EQ(values[1], -2.0f);
    EXPECT_EQ(values[2], 3.25f);
    EXPECT_EQ(tensor.validationErrors(), QList<QString>{kSize});
}

TEST(Tensor, InterruptedCarriesReasonAndMessageThroughCopies) {
    const AiInferenceInterrupted cancelled(AiInferenceStopReason::Cancelled);
    const AiInferenceInterrupted copy = cancelled;
    EXPECT_STREQ(copy.what(), "AI inference cancelled.");
    EXPECT_EQ(copy.reason(), AiInferenceStopReason::Cancelled);
    const AiInferenceInterrupted late(AiInferenceStopReason::DeadlineExceeded);
    EXPECT_STREQ(late.what(), "AI inference deadline exceeded.");
    EXPECT_EQ(late.reason(), AiInferenceStopReason::DeadlineExceeded);
}
