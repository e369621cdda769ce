#include <tarnivale/ai/runtime.h>

#include "support/expectations.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Tarnivale::AI;
using Tarnivale::AI::Testing::errorOf;
using Tarnivale::AI::Testing::testModelPath;
using Tarnivale::AI::Testing::valuesOf;

namespace {

template <typename T>
AiTensor tensorOf(const char* name, AiTensorDataType type, QList<std::int64_t> shape,
                  const std::vector<T>& values) {
    AiTensor tensor;
    tensor.name = QString::fromUtf8(name);
    tensor.dataType = type;
    tensor.shape = std::move(shape);
    tensor.data = QByteArray(reinterpret_cast<const char*>(values.data()),
                             static_cast<qsizetype>(values.size() * sizeof(T)));
    return tensor;
}

}  // namespace

TEST(Session, AutoResolvesToCpuAndRunsWithDynamicDimensions) {
    const AiSession session(testModelPath(QStringLiteral("add_one.onnx")), AiSessionOptions{});
    EXPECT_EQ(session.provider(), AiExecutionProvider::Cpu);
    EXPECT_EQ(session.modelPath(), testModelPath(QStringLiteral("add_one.onnx")));

    ASSERT_EQ(session.inputs().size(), 1);
    const AiTensorSpec input = session.inputs().front();
    EXPECT_EQ(input.name, QStringLiteral("x"));
    EXPECT_EQ(input.dataType, AiTensorDataType::Float32);
    EXPECT_EQ(input.layout, AiTensorLayout::Unknown);
    EXPECT_EQ(input.shape, (QList<std::int64_t>{1, -1, -1, -1}));
    ASSERT_EQ(session.outputs().size(), 1);
    EXPECT_EQ(session.outputs().front().name, QStringLiteral("y"));

    // The tensor's own shape is used, not the model's symbolic one.
    const std::vector<float> values{0, 1, 2, 3, 4, 5, -6, 7.5f, 8, 9, 10, 11};
    const AiInferenceResult result =
        session.run({tensorOf("x", AiTensorDataType::Float32, {1, 2, 2, 3}, values)});
    EXPECT_EQ(result.provider, AiExecutionProvider::Cpu);
    EXPECT_GE(result.elapsedMilliseconds, 0);
    ASSERT_EQ(result.outputs.size(), 1);
    const AiTensor& y = result.outputs.front();
    EXPECT_EQ(y.name, QStringLiteral("y"));
    EXPECT_EQ(y.dataType, AiTensorDataType::Float32);
    EXPECT_EQ(y.layout, AiTensorLayout::Unknown);
    EXPECT_EQ(y.shape, (QList<std::int64_t>{1, 2, 2, 3}));
    const std::vector<float> out = valuesOf<float>(y.data);
    ASSERT_EQ(out.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(out[i], values[i] + 1.0f);
    }
}

TEST(Session, BindsInputsByNameAndReturnsOutputsInModelOrder) {
    const AiSession session(testModelPath(QStringLiteral("two_inputs.onnx")));
    const std::vector<float> a{1, 2, 3, 4, 5, 6};
    const std::vector<float> b{10, 20, 30, 40, 50, 60};
    // Given in reverse order: binding is by name.
    const auto result = session.run({tensorOf("b", AiTensorDataType::Float32, {2, 3}, b),
                                     tensorOf("a", AiTensorDataType::Float32, {2, 3}, a)});
    ASSERT_EQ(result.outputs.size(), 2);
    EXPECT_EQ(result.outputs[0].name, QStringLiteral("sum"));
    EXPECT_EQ(result.outputs[1].name, QStringLiteral("difference"));
    EXPECT_EQ(valuesOf<float>(result.outputs[0].data), (std::vector<float>{11, 22, 33, 44, 55, 66}));
    EXPECT_EQ(valuesOf<float>(result.outputs[1].data), (std::vector<float>{-9, -18, -27, -36, -45, -54}));
}

TEST(Session, InputChecksInTheirOrder) {
    const AiSession session(testModelPath(QStringLiteral("two_inputs.onnx")));
    const std::vector<float> six(6, 1.0f);
    const auto a = tensorOf("a", AiTensorDataType::Float32, {2, 3}, six);
    const auto b = tensorOf("b", AiTensorDataType::Float32, {2, 3}, six);

    EXPECT_EQ(errorOf<std::invalid_argument>([&] { session.run({a}); }),
              "Inference input count does not match the ONNX model.");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  session.run({a, a});
              }),
              "Inference tensor names must be unique.");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  session.run({a, tensorOf("c", AiTensorDataType::Float32, {2, 3}, six)});
              }),
              "Missing ONNX input tensor: b");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  session.run({a, tensorOf("b", AiTensorDataType::Int32, {2, 3}, std::vector<int>(6))});
              }),
              "ONNX input tensor type mismatch: b");
    // Validation messages of one tensor are joined by a space, before the uniqueness check.
    AiTensor broken = tensorOf("", AiTensorDataType::Float32, {2, 0}, six);
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  session.run({a, broken});
              }),
              "Tensor name is required. Runtime tensor dimensions must be positive. "
              "Tensor byte size does not match its data type and shape.");
    // Empty and overflowing shapes never reach ONNX Runtime.
    AiTensor shapeless = tensorOf("b", AiTensorDataType::Float32, {}, std::vector<float>{});
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  session.run({a, shapeless});
              }),
              "Tensor shape is required.");
    const std::int64_t huge = std::int64_t{1} << 32;
    AiTensor overflowing = tensorOf("b", AiTensorDataType::Float32, {huge, huge}, six);
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  session.run({a, overflowing});
              }),
              "Tensor byte size does not match its data type and shape.");
    // A shape the model cannot take fails inside ONNX Runtime.
    const auto wrongShape = tensorOf("b", AiTensorDataType::Float32, {3, 2}, six);
    const std::string message = errorOf<std::runtime_error>([&] { session.run({a, wrongShape}); });
    EXPECT_EQ(message.rfind("ONNX Runtime error: ", 0), 0u) << message;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  session.run({a, b}, AiRunControl{-1, {}});
              }),
              "Negative inference deadline.");
}

TEST(Session, IntegerAndDoubleElementTypes) {
    const AiSession int64Session(testModelPath(QStringLiteral("int64_double.onnx")));
    EXPECT_EQ(int64Session.inputs().front().dataType, AiTensorDataType::Int64);
    EXPECT_EQ(int64Session.inputs().front().shape, QList<std::int64_t>{-1});
    const std::vector<std::int64_t> ids{1, -2, std::int64_t{1} << 40};
    const auto doubled =
        int64Session.run({tensorOf("ids", AiTensorDataType::Int64, {3}, ids)}).outputs.front();
    EXPECT_EQ(doubled.dataType, AiTensorDataType::Int64);
    EXPECT_EQ(valuesOf<std::int64_t>(doubled.data),
              (std::vector<std::int64_t>{2, -4, std::int64_t{1} << 41}));

    const AiSession uint8Session(testModelPath(QStringLiteral("uint8_cast.onnx")));
    EXPECT_EQ(uint8Session.inputs().front().dataType, AiTensorDataType::UInt8);
    const std::vector<std::uint8_t> pixels{0, 1, 128, 255};
    const auto cast =
        uint8Session.run({tensorOf("pixels", AiTensorDataType::UInt8, {2, 2}, pixels)}).outputs.front();
    EXPECT_EQ(cast.shape, (QList<std::int64_t>{2, 2}));
    EXPECT_EQ(valuesOf<float>(cast.data), (std::vector<float>{0, 1, 128, 255}));

    const AiSession doubleSession(testModelPath(QStringLiteral("float64_to_int32.onnx")));
    EXPECT_EQ(doubleSession.outputs().front().dataType, AiTensorDataType::Int32);
    const auto truncated = doubleSession.run(
        {tensorOf("x", AiTensorDataType::Float64, {3}, std::vector<double>{1.9, -2.5, 7.0})});
    EXPECT_EQ(valuesOf<std::int32_t>(truncated.outputs.front().data), (std::vector<std::int32_t>{1, -2, 7}));
}

TEST(Session, ConstructionFailures) {
    EXPECT_EQ(errorOf<std::runtime_error>(
                  [] { AiSession(testModelPath(QStringLiteral("float16_identity.onnx"))); }),
              "The ONNX model uses an unsupported tensor data type.");

    const QString missing = testModelPath(QStringLiteral("no-such-model.onnx"));
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiSession{missing}; }),
              "ONNX model file does not exist: " + missing.toStdString());

    // The arena limit is checked before the model file is looked at, whatever the provider.
    AiSessionOptions negative;
    negative.provider = AiExecutionProvider::Cpu;
    negative.cudaMemoryLimitBytes = -1;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiSession(missing, negative); }),
              "Negative CUDA arena limit.");

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString corrupt = Testing::writeBytes(dir.filePath(QStringLiteral("corrupt.onnx")),
                                                "this is not a protobuf model at all");
    const std::string message = errorOf<std::runtime_error>([&] { AiSession{corrupt}; });
    EXPECT_EQ(message.rfind("ONNX Runtime error: ", 0), 0u) << message;
    EXPECT_GT(message.size(), std::string("ONNX Runtime error: ").size());

    // A directory is not a model file.
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiSession{dir.path()}; }),
              "ONNX model file does not exist: " + dir.path().toStdString());
}

TEST(Session, ProvidersOfThisRuntime) {
    const QList<AiExecutionProvider> providers = AiSession::availableProviders();
    ASSERT_FALSE(providers.isEmpty());
    EXPECT_EQ(providers.front(), AiExecutionProvider::Cpu);
    EXPECT_FALSE(providers.contains(AiExecutionProvider::Auto));
    for (qsizetype i = 0; i < providers.size(); ++i) {
        EXPECT_EQ(providers.indexOf(providers[i]), i) << "listed twice";
    }
    EXPECT_TRUE(AiSession::isProviderAvailable(AiExecutionProvider::Auto));
    EXPECT_TRUE(AiSession::isProviderAvailable(AiExecutionProvider::Cpu));
    EXPECT_TRUE(AiSession::runtimeVersion().startsWith(QStringLiteral("1.")));

    // This runtime may list CUDA without its provider libraries: whatever happens must be one of our errors.
    AiSessionOptions cuda;
    cuda.provider = AiExecutionProvider::Cuda;
    cuda.cudaMemoryLimitBytes = 1 << 20;
    try {
        const AiSession session(testModelPath(QStringLiteral("add_one.onnx")), cuda);
        EXPECT_TRUE(providers.contains(AiExecutionProvider::Cuda));
        EXPECT_EQ(session.provider(), AiExecutionProvider::Cuda);
    } catch (const std::invalid_argument& error) {
        EXPECT_FALSE(providers.contains(AiExecutionProvider::Cuda));
        EXPECT_STREQ(error.what(), "Requested ONNX execution provider is unavailable: CUDA");
    } catch (const std::runtime_error& error) {
        const std::string message = error.what();
        EXPECT_TRUE(message.rfind("ONNX Runtime error: ", 0) == 0 ||
                    message == "CUDA provider did not retain the requested precision or arena limit.")
            << message;
    }

    if (!providers.contains(AiExecutionProvider::DirectML)) {
        AiSessionOptions dml;
        dml.provider = AiExecutionProvider::DirectML;
        EXPECT_EQ(errorOf<std::invalid_argument>(
                      [&] { AiSession(testModelPath(QStringLiteral("add_one.onnx")), dml); }),
                  "Requested ONNX execution provider is unavailable: DirectML");
    }
}

TEST(Session, MovedSessionKeepsWorkingAndThreadOptionsApply) {
    AiSessionOptions options;
    options.intraOpThreads = 1;
    options.interOpThreads = 1;
    options.enableMemoryPattern = false;
    AiSession first(testModelPath(QStringLiteral("add_one.onnx")), options);
    AiSession second = std::move(first);
    EXPECT_TRUE(first.inputs().isEmpty());  // NOLINT(bugprone-use-after-move): a moved-from session is empty
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { first.run({}); }), "The AI session holds no model.");
    const auto result = second.run({AiTensor::fromFloat32(QStringLiteral("x"), {1, 1, 1, 1}, {41.0f})});
    EXPECT_EQ(valuesOf<float>(result.outputs.front().data), std::vector<float>{42.0f});
}

TEST(Session, ConcurrentRunsOnOneSession) {
    const AiSession session(testModelPath(QStringLiteral("add_one.onnx")));
    std::atomic<int> wrong{0};
    const auto worker = [&](float base) {
        for (int i = 0; i < 40; ++i) {
            const float value = base + static_cast<float>(i);
            AiRunControl control;
            control.deadlineMilliseconds = i % 2 == 0 ? 0 : 60000;  // half of them with a watchdog
            const auto result = session.run(
                {AiTensor::fromFloat32(QStringLiteral("x"), {1, 1, 1, 2}, {value, -value})}, control);
            if (valuesOf<float>(result.outputs.front().data) !=
                std::vector<float>{value + 1.0f, 1.0f - value}) {
                ++wrong;
            }
        }
    };
    std::thread first(worker, 100.0f);
    std::thread second(worker, 1000.0f);
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Session, RunIntoReusesUnsharedOutputBuffersOnly) {
    const AiSession session(testModelPath(QStringLiteral("add_one.onnx")), AiSessionOptions{});
    AiInferenceResult result;
    session.runInto({tensorOf("x", AiTensorDataType::Float32, {1, 1, 2, 2}, std::vector<float>{1, 2, 3, 4})},
                    result);
    ASSERT_EQ(result.outputs.size(), 1);
    const char* buffer = result.outputs.front().data.constData();

    // Same size, not shared: overwritten in place with the new values.
    session.runInto({tensorOf("x", AiTensorDataType::Float32, {1, 1, 2, 2}, std::vector<float>{5, 6, 7, 8})},
                    result);
    EXPECT_EQ(result.outputs.front().data.constData(), buffer);
    EXPECT_EQ(valuesOf<float>(result.outputs.front().data), (std::vector<float>{6, 7, 8, 9}));

    // A copy the caller kept is never written through; another shape gets a buffer of its own.
    const QByteArray kept = result.outputs.front().data;
    session.runInto({tensorOf("x", AiTensorDataType::Float32, {1, 1, 2, 2}, std::vector<float>{0, 0, 0, 0})},
                    result);
    EXPECT_EQ(valuesOf<float>(kept), (std::vector<float>{6, 7, 8, 9}));
    EXPECT_EQ(valuesOf<float>(result.outputs.front().data), (std::vector<float>{1, 1, 1, 1}));
    session.runInto({tensorOf("x", AiTensorDataType::Float32, {1, 1, 1, 3}, std::vector<float>{1, 2, 3})},
                    result);
    EXPECT_EQ(result.outputs.front().shape, (QList<std::int64_t>{1, 1, 1, 3}));
    EXPECT_EQ(valuesOf<float>(result.outputs.front().data), (std::vector<float>{2, 3, 4}));
}
