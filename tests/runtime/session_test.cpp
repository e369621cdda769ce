#include <tarnivale/ai/runtime.h>

#include "runtime/ort_api.h"
#include "runtime/sam3_bundle_probe.h"
#include "runtime/tensor_memory.h"
#include "support/expectations.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <optional>
#include <set>
#include <thread>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;
using Tarnivale::AI::Ort::tensorMemoryStatistics;

namespace {

template <typename T>
AiTensor tensorOf(const QString& name, AiTensorDataType type, QList<std::int64_t> shape,
                  std::vector<T> values) {
    return AiTensor{name, type, AiTensorLayout::Unknown, std::move(shape),
                    QByteArray(reinterpret_cast<const char*>(values.data()),
                               static_cast<qsizetype>(values.size() * sizeof(T)))};
}

AiTensor floats(const QString& name, QList<std::int64_t> shape, std::vector<float> values) {
    return tensorOf(name, AiTensorDataType::Float32, std::move(shape), std::move(values));
}

bool isRuntimeError(const std::string& message) {
    return message.rfind("ONNX Runtime error: ", 0) == 0 && message.size() > 20;
}

// Sets (or, for a null value, clears) an environment variable until the end of the scope.
struct ScopedEnvironment {
    ScopedEnvironment(const char* variable, const QByteArray& value)
        : name(variable), old(qgetenv(variable)) {
        value.isNull() ? qunsetenv(name) : qputenv(name, value);
    }
    ~ScopedEnvironment() { old.isNull() ? qunsetenv(name) : qputenv(name, old); }
    const char* name;
    const QByteArray old;
};

AiRuntimeDiagnostics diagnose(std::int64_t budget, AiExecutionProvider provider = {},
                              const QString& model = {}) {
    return AiSession::diagnostics(model, {.provider = provider}, budget);
}

// The output for a side x side three-band tile: the network's intermediate tensors are megabytes each.
QByteArray outputFor(const AiSession& session, float offset, std::int64_t side = 512, int channels = 3,
                     const QString& input = u"input"_s) {
    QList<float> values(channels * side * side);
    for (qsizetype i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(i % 977) * 0.01f + offset;
    }
    return session.run({AiTensor::fromFloat32(input, {1, channels, side, side}, values)}).outputs[0].data;
}

}  // namespace

TEST(Session, RunsEachElementTypeWithTheTensorsOwnShapeAndOutputsInModelOrder) {
    // Inputs are given in any order (bound by name); the model declares inputShape for its last input.
    const auto expectRun = [](const char* model, QList<std::int64_t> inputShape,
                              const QList<AiTensor>& inputs, const QList<AiTensor>& outputs) {
        const QString path = testModelPath(QString::fromUtf8(model));
        const AiSession session(path, AiSessionOptions{});
        EXPECT_EQ(session.provider(), AiExecutionProvider::Cpu);  // Auto resolves to the CPU
        EXPECT_EQ(session.modelPath(), path);
        ASSERT_EQ(session.inputs().size(), inputs.size());
        EXPECT_EQ(session.inputs().back().dataType, inputs.back().dataType) << model;
        EXPECT_EQ(session.inputs().back().shape, inputShape) << model;
        const AiInferenceResult result = session.run(inputs);
        EXPECT_EQ(result.provider, AiExecutionProvider::Cpu);
        ASSERT_EQ(result.outputs.size(), outputs.size());
        for (qsizetype i = 0; i < outputs.size(); ++i) {
            const AiTensor &out = result.outputs[i], &expected = outputs[i];
            EXPECT_TRUE(out.name == expected.name && out.dataType == expected.dataType &&
                        out.shape == expected.shape && out.data == expected.data)
                << model << " output " << i;
        }
    };
    using enum AiTensorDataType;
    const std::int64_t big = std::int64_t{1} << 40;
    expectRun("add_one.onnx", {1, -1, -1, -1},
              {floats(u"x"_s, {1, 2, 2, 3}, {0, 1, 2, 3, 4, 5, -6, 7.5f, 8, 9, 10, 11})},
              {floats(u"y"_s, {1, 2, 2, 3}, {1, 2, 3, 4, 5, 6, -5, 8.5f, 9, 10, 11, 12})});
    expectRun("two_inputs.onnx", {2, 3},
              {floats(u"b"_s, {2, 3}, {10, 20, 30, 40, 50, 60}), floats(u"a"_s, {2, 3}, {1, 2, 3, 4, 5, 6})},
              {floats(u"sum"_s, {2, 3}, {11, 22, 33, 44, 55, 66}),
               floats(u"difference"_s, {2, 3}, {-9, -18, -27, -36, -45, -54})});
    expectRun("int64_double.onnx", {-1}, {tensorOf<std::int64_t>(u"ids"_s, Int64, {3}, {1, -2, big})},
              {tensorOf<std::int64_t>(u"doubled"_s, Int64, {3}, {2, -4, 2 * big})});
    expectRun("uint8_cast.onnx", {2, -1},
              {tensorOf<std::uint8_t>(u"pixels"_s, UInt8, {2, 2}, {0, 1, 128, 255})},
              {floats(u"values"_s, {2, 2}, {0, 1, 128, 255})});
    expectRun("float64_to_int32.onnx", {3}, {tensorOf<double>(u"x"_s, Float64, {3}, {1.9, -2.5, 7.0})},
              {tensorOf<std::int32_t>(u"y"_s, Int32, {3}, {1, -2, 7})});
}

TEST(Session, InputChecksInTheirOrder) {
    const AiSession session(testModelPath(u"two_inputs.onnx"_s));
    const std::vector<float> six(6, 1.0f);
    const AiTensor a = floats(u"a"_s, {2, 3}, six);
    const std::int64_t huge = std::int64_t{1} << 32;
    const auto refusal = [&](const QList<AiTensor>& inputs, std::int64_t deadline = 0) {
        return errorOf<std::invalid_argument>([&] { session.run(inputs, {deadline, {}}); });
    };
    const std::string size = "Tensor byte size does not match its data type and shape.";
    EXPECT_EQ(refusal({a}), "Inference input count does not match the ONNX model.");
    // One tensor's messages are joined by a space, and come before the uniqueness check.
    EXPECT_EQ(refusal({a, floats({}, {2, 0}, six)}),
              "Tensor name is required. Runtime tensor dimensions must be positive. " + size);
    EXPECT_EQ(refusal({a, a}), "Inference tensor names must be unique.");
    EXPECT_EQ(refusal({a, floats(u"c"_s, {2, 3}, six)}), "Missing ONNX input tensor: b");
    EXPECT_EQ(refusal({a, tensorOf(u"b"_s, AiTensorDataType::Int32, {2, 3}, std::vector<int>(6))}),
              "ONNX input tensor type mismatch: b");
    // Empty and overflowing shapes never reach ONNX Runtime.
    EXPECT_EQ(refusal({a, floats(u"b"_s, {}, {})}), "Tensor shape is required.");
    EXPECT_EQ(refusal({a, floats(u"b"_s, {huge, huge}, six)}), size);
    EXPECT_EQ(refusal({a, floats(u"b"_s, {2, 3}, six)}, -1), "Negative inference deadline.");
    // A shape the model cannot take fails inside ONNX Runtime.
    EXPECT_TRUE(isRuntimeError(errorOf<std::runtime_error>([&] {
        session.run({a, floats(u"b"_s, {3, 2}, six)});
    })));
}

TEST(Session, ConstructionFailuresAndProviders) {
    const QList<AiExecutionProvider> providers = AiSession::availableProviders();
    EXPECT_EQ(providers.value(0), AiExecutionProvider::Cpu);
    EXPECT_FALSE(providers.contains(AiExecutionProvider::Auto));
    EXPECT_EQ(std::set(providers.begin(), providers.end()).size(), size_t(providers.size())) << "no repeats";
    EXPECT_TRUE(AiSession::isProviderAvailable(AiExecutionProvider::Auto) &&
                AiSession::isProviderAvailable(AiExecutionProvider::Cpu));

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto load = [](const QString& path, AiSessionOptions options = {}) {
        return [=] { AiSession(path, options); };
    };
    const QString missing = testModelPath(u"no-such-model.onnx"_s), addOne = testModelPath(u"add_one.onnx"_s);
    const std::string absent = "ONNX model file does not exist: ";
    EXPECT_EQ(errorOf<std::invalid_argument>(load(missing)), absent + missing.toStdString());
    EXPECT_EQ(errorOf<std::invalid_argument>(load(dir.path())), absent + dir.path().toStdString());
    // The arena limit is checked before the model file is looked at.
    EXPECT_EQ(errorOf<std::invalid_argument>(load(missing, {.cudaMemoryLimitBytes = -1})),
              "Negative CUDA arena limit.");
    EXPECT_EQ(errorOf<std::runtime_error>(load(testModelPath(u"float16_identity.onnx"_s))),
              "The ONNX model uses an unsupported tensor data type.");
    const QString corrupt = writeBytes(dir.filePath(u"corrupt.onnx"_s), "this is not a protobuf model");
    EXPECT_TRUE(isRuntimeError(errorOf<std::runtime_error>(load(corrupt))));
    if (!providers.contains(AiExecutionProvider::DirectML)) {
        EXPECT_EQ(errorOf<std::invalid_argument>(load(addOne, {.provider = AiExecutionProvider::DirectML})),
                  "Requested ONNX execution provider is unavailable: DirectML");
    }
    // This runtime may list CUDA without its provider libraries: whatever happens must be one of our errors.
    const std::string cuda = errorOf<std::exception>([&] {
        const AiSession session(addOne,
                                {.provider = AiExecutionProvider::Cuda, .cudaMemoryLimitBytes = 1 << 20});
        EXPECT_EQ(session.provider(), AiExecutionProvider::Cuda);
    });
    EXPECT_TRUE(providers.contains(AiExecutionProvider::Cuda)
                    ? cuda == "no error" || isRuntimeError(cuda) ||
                          cuda == "CUDA provider did not retain the requested precision or arena limit."
                    : cuda == "Requested ONNX execution provider is unavailable: CUDA")
        << cuda;
}

TEST(Session, MovedSessionRunsConcurrentlyAndRunIntoReusesUnsharedOutputBuffersOnly) {
    AiSession first(testModelPath(u"add_one.onnx"_s),
                    {.intraOpThreads = 1, .interOpThreads = 1, .enableMemoryPattern = false});
    const AiSession session = std::move(first);
    EXPECT_TRUE(first.inputs().isEmpty());  // NOLINT(bugprone-use-after-move): a moved-from session is empty
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { first.run({}); }), "The AI session holds no model.");
    std::atomic<int> wrong{0};
    const auto worker = [&](float base) {
        for (int i = 0; i < 40; ++i) {
            const float value = base + static_cast<float>(i);
            const AiRunControl control{i % 2 == 0 ? 0 : 60000, {}};  // half of them with a watchdog
            const auto result = session.run({floats(u"x"_s, {1, 1, 1, 2}, {value, -value})}, control);
            wrong += valuesOf<float>(result.outputs[0].data) != std::vector<float>{value + 1, 1 - value};
        }
    };
    std::thread one(worker, 100.0f), two(worker, 1000.0f);
    one.join();
    two.join();
    EXPECT_EQ(wrong.load(), 0) << "concurrent runs on one session";
    AiInferenceResult result;
    session.runInto({floats(u"x"_s, {1, 1, 2, 2}, {1, 2, 3, 4})}, result);
    ASSERT_EQ(result.outputs.size(), 1);
    const char* buffer = result.outputs[0].data.constData();
    // Same size, not shared: overwritten in place.
    session.runInto({floats(u"x"_s, {1, 1, 2, 2}, {5, 6, 7, 8})}, result);
    EXPECT_EQ(result.outputs[0].data.constData(), buffer);
    EXPECT_EQ(valuesOf<float>(result.outputs[0].data), (std::vector<float>{6, 7, 8, 9}));
    // A copy the caller kept is never written through; another shape gets a buffer of its own.
    const QByteArray kept = result.outputs[0].data;
    session.runInto({floats(u"x"_s, {1, 1, 2, 2}, {0, 0, 0, 0})}, result);
    EXPECT_EQ(valuesOf<float>(kept), (std::vector<float>{6, 7, 8, 9}));
    EXPECT_EQ(valuesOf<float>(result.outputs[0].data), (std::vector<float>{1, 1, 1, 1}));
    session.runInto({floats(u"x"_s, {1, 1, 1, 3}, {1, 2, 3})}, result);
    EXPECT_EQ(result.outputs[0].shape, (QList<std::int64_t>{1, 1, 1, 3}));
    EXPECT_EQ(valuesOf<float>(result.outputs[0].data), (std::vector<float>{2, 3, 4}));
}

TEST(Session, Sam3GraphIsRecognisedOnlyWhenNamedByAValidManifestOfUnderOneMebibyte) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString model = dir.filePath(u"vision.onnx"_s);
    ASSERT_TRUE(QFile::copy(testModelPath(u"add_one.onnx"_s), model));
    EXPECT_FALSE(isSam3BundleGraph(model)) << "no manifest";
    const QByteArray valid = R"({"schema":"tarnivale.sam3-package/1","model":"facebook/sam3",)"
                             R"("graphs":["text.onnx","vision.onnx"]})";
    const QByteArray padded = valid + QByteArray(1024 * 1024 - valid.size() - 1, ' ');  // 1 MiB - 1 byte
    const auto with = [&](const char* from, const char* to) { return QByteArray(valid).replace(from, to); };
    // Only the last two are recognised; the last one is kept for the run below.
    for (const QByteArray& manifest :
         {padded + ' ', with("facebook/", "other/"), with("package/1", "package/2"),
          with(R"(,"vision.onnx")", ""), with(R"(["text.onnx","vision.onnx"])", R"("vision.onnx")"),
          QByteArray(R"(["tarnivale.sam3-package/1"])"), valid.left(50), padded, valid}) {
        writeBytes(dir.filePath(u"sam3-package.json"_s), manifest);
        EXPECT_EQ(isSam3BundleGraph(model), manifest == padded || manifest == valid)
            << manifest.left(99).data();
    }
    // Graph optimisation is off for a recognised graph, and the model still loads and runs.
    EXPECT_EQ(AiSession(model).run({floats(u"x"_s, {1, 1, 1, 1}, {2})}).outputs[0].data,
              floats({}, {}, {3}).data);
}

TEST(RuntimeDiagnostics, ProvidersLibrariesBudgetEnvironmentAndModel) {
    const QString noModel = u"No model was supplied for compatibility inspection."_s;
    {
        const ScopedEnvironment proj("PROJ_DATA", {}), gdal("GDAL_DATA", {});
        const AiRuntimeDiagnostics automatic = diagnose(0);
        EXPECT_EQ(automatic.requestedProvider, AiExecutionProvider::Auto);
        EXPECT_EQ(automatic.selectedProvider, AiExecutionProvider::Cpu);
        EXPECT_EQ(automatic.requiredLibraries, QList<QString>{u"libonnxruntime.so.1"_s});
        EXPECT_TRUE(automatic.missingLibraries.isEmpty());
        EXPECT_TRUE(automatic.runtimeLibraryPath.endsWith(u"/libonnxruntime.so.1"_s));
        EXPECT_TRUE(automatic.runtimeVersion.startsWith(u"1."_s));
        EXPECT_EQ(automatic.availableProviders, AiSession::availableProviders());
        EXPECT_TRUE(automatic.ready() && automatic.isolatedWorker);
        EXPECT_EQ(automatic.warnings,
                  (QList<QString>{u"Inference memory budget is unlimited."_s,
                                  u"PROJ_DATA is not explicitly configured; runtime defaults will be used."_s,
                                  u"GDAL_DATA is not explicitly configured; runtime defaults will be used."_s,
                                  noModel}));
        const AiRuntimeDiagnostics negative = AiSession::diagnostics(u" "_s, {}, -1);
        EXPECT_EQ(negative.errors, QList<QString>{u"Memory budget must not be negative."_s});
        EXPECT_FALSE(negative.ready());
    }
    const ScopedEnvironment proj("PROJ_DATA", "/usr/share/proj"), gdal("GDAL_DATA", "/usr/share/gdal");
    const AiRuntimeDiagnostics configured = diagnose(1);
    EXPECT_EQ(configured.projDataPath, u"/usr/share/proj"_s);
    EXPECT_EQ(configured.gdalDataPath, u"/usr/share/gdal"_s);
    EXPECT_EQ(configured.memoryBudgetBytes, 1);
    EXPECT_EQ(configured.warnings, QList<QString>{noModel});
    // CUDA: whether or not this runtime lists it, its provider libraries are not installed beside it here.
    const AiRuntimeDiagnostics cuda = diagnose(1, AiExecutionProvider::Cuda);
    EXPECT_EQ(cuda.requiredLibraries.size(), 3);
    EXPECT_EQ(cuda.errors.last(),
              u"Required runtime libraries are missing: libonnxruntime_providers_shared.so, "
              "libonnxruntime_providers_cuda.so"_s);
    EXPECT_EQ(cuda.errors.size(), AiSession::isProviderAvailable(AiExecutionProvider::Cuda) ? 1 : 2);
    EXPECT_EQ(diagnose(1, AiExecutionProvider::DirectML).errors.first(),
              u"Requested provider is unavailable: DirectML"_s);

    const AiRuntimeDiagnostics good = diagnose(1, {}, testModelPath(u"add_one.onnx"_s));
    EXPECT_TRUE(good.modelCompatible && good.modelSha256.size() == 64);
    EXPECT_EQ(good.modelPath, testModelPath(u"add_one.onnx"_s));

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const AiRuntimeDiagnostics bad = diagnose(1, {}, writeBytes(dir.filePath(u"bad.onnx"_s), "no model"));
    EXPECT_TRUE(!bad.modelCompatible && bad.modelSha256.size() == 64);
    EXPECT_TRUE(bad.errors.value(0).startsWith(u"Model compatibility check failed: ONNX Runtime error: "_s))
        << bad.errors.join(u'|').toStdString();

    const QString absent = dir.filePath(u"absent.onnx"_s);
    const AiRuntimeDiagnostics missing = diagnose(1, {}, absent);
    EXPECT_EQ(missing.errors, QList<QString>{u"ONNX model file cannot be read: "_s + absent});
    EXPECT_TRUE(missing.modelSha256.isEmpty());
}

TEST(TensorMemory, LargeTensorsAreReusedWhileSessionsLiveAndReturnedAfterTheLast) {
    if (tensorMemoryStatistics().liveLeases != 0) {  // ctest runs each test in a process of its own
        GTEST_SKIP() << "sessions of other tests are alive in this process";
    }
    ASSERT_EQ(tensorMemoryStatistics().mappedBytes, 0);

    const QString model = testModelPath(u"conv_stack.onnx"_s);
    std::optional<AiSession> first(std::in_place, model);
    const QByteArray once = outputFor(*first, 0);
    EXPECT_GT(tensorMemoryStatistics().mappedBytes, 1 << 20) << "large tensors come from our allocator";
    EXPECT_GT(tensorMemoryStatistics().keptBlocks, 0) << "and are kept for the next run";
    // The runtime plans its memory on the first run and allocates the plan from the second on; from then
    // runs reuse the kept blocks (no new mappings), and reused memory that is not zero any more does not
    // change a result.
    const QByteArray other = outputFor(*first, 1);
    const long long mapped = tensorMemoryStatistics().mappedBytes;
    const QByteArray again = outputFor(*first, 0);
    EXPECT_NE(other, once);
    EXPECT_EQ(again, once);
    EXPECT_EQ(outputFor(*first, 1), other);
    EXPECT_EQ(tensorMemoryStatistics().mappedBytes, mapped);
    // A second session shares the allocator; the kept blocks outlive the first session while it lives.
    std::optional<AiSession> second(std::in_place, model);
    EXPECT_EQ(tensorMemoryStatistics().liveLeases, 2);
    first.reset();
    EXPECT_EQ(tensorMemoryStatistics().liveLeases, 1);
    EXPECT_GT(tensorMemoryStatistics().mappedBytes, 0);
    EXPECT_EQ(outputFor(*second, 0), once);
    // Nothing stays mapped once no session lives, and a new session (with a new environment) registers
    // the allocator again.
    second.reset();
    EXPECT_EQ(tensorMemoryStatistics().liveLeases, 0);
    EXPECT_EQ(tensorMemoryStatistics().keptBlocks, 0);
    EXPECT_EQ(tensorMemoryStatistics().mappedBytes, 0);
    {
        // A smaller tensor (a raster's last, narrower tile) reuses a kept block up to twice its size.
        const AiSession single(testModelPath(u"add_one.onnx"_s));
        outputFor(single, 0, 1024, 1, u"x"_s);
        const long long large = tensorMemoryStatistics().mappedBytes;
        EXPECT_GT(large, 0);
        outputFor(single, 0, 800, 1, u"x"_s);
        EXPECT_EQ(tensorMemoryStatistics().mappedBytes, large);
    }
    std::optional<AiSession> third(std::in_place, model);
    EXPECT_EQ(outputFor(*third, 0), once);
    EXPECT_GT(tensorMemoryStatistics().mappedBytes, 0);
    // The environment is one per process: a host that keeps it alive between our sessions must not stop
    // the next session from using the allocator.
    const Ort::Owned<OrtEnv> host = Ort::createEnvironment("host");
    third.reset();
    EXPECT_EQ(tensorMemoryStatistics().mappedBytes, 0);
    const AiSession fourth(model);
    EXPECT_EQ(outputFor(fourth, 0), once);
    EXPECT_GT(tensorMemoryStatistics().mappedBytes, 0);
}
