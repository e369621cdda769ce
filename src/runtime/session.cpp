#include <tarnivale/ai/runtime.h>

#include "runtime/errors.h"
#include "runtime/huge_pages.h"
#include "runtime/ort_api.h"
#include "runtime/process_libraries.h"
#include "runtime/run_watchdog.h"
#include "runtime/sam3_bundle_probe.h"
#include "runtime/session_config.h"
#include "runtime/tensor_memory.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace Tarnivale::AI {

namespace {

std::optional<AiTensorDataType> fromOrtElementType(ONNXTensorElementDataType type) {
    switch (type) {
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT:
            return AiTensorDataType::Float32;
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE:
            return AiTensorDataType::Float64;
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32:
            return AiTensorDataType::Int32;
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64:
            return AiTensorDataType::Int64;
        case ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8:
            return AiTensorDataType::UInt8;
        default:
            return std::nullopt;
    }
}

ONNXTensorElementDataType toOrtElementType(AiTensorDataType type) {
    switch (type) {
        case AiTensorDataType::Float32:
            return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
        case AiTensorDataType::Float64:
            return ONNX_TENSOR_ELEMENT_DATA_TYPE_DOUBLE;
        case AiTensorDataType::Int32:
            return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32;
        case AiTensorDataType::Int64:
            return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64;
        case AiTensorDataType::UInt8:
            return ONNX_TENSOR_ELEMENT_DATA_TYPE_UINT8;
    }
    return ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
}

[[noreturn]] void throwUnsupportedElementType() {
    throwRuntimeError(QStringLiteral("The ONNX model uses an unsupported tensor data type."));
}

AiTensorDataType supportedElementType(ONNXTensorElementDataType type) {
    const auto mapped = fromOrtElementType(type);
    if (!mapped) {
        throwUnsupportedElementType();
    }
    return *mapped;
}

QList<std::int64_t> dimensionsOf(const OrtTensorTypeAndShapeInfo* info) {
    const OrtApi& api = Ort::api();
    size_t count = 0;
    Ort::check(api.GetDimensionsCount(info, &count));
    std::vector<int64_t> dimensions(count);
    Ort::check(api.GetDimensions(info, dimensions.data(), count));
    return QList<std::int64_t>(dimensions.begin(), dimensions.end());
}

// Element count of an output: 0 for a dimension below 1 or an overflowing product.
std::int64_t outputElementCount(const QList<std::int64_t>& shape) {
    std::int64_t count = 1;
    for (const std::int64_t dimension : shape) {
        if (dimension < 1 || count > std::numeric_limits<std::int64_t>::max() / dimension) {
            return 0;
        }
        count *= dimension;
    }
    return count;
}

void appendCudaProvider(OrtSessionOptions* sessionOptions, const AiSessionOptions& options) {
    const OrtApi& api = Ort::api();
    OrtCUDAProviderOptionsV2* raw = nullptr;
    Ort::check(api.CreateCUDAProviderOptions(&raw));
    const Ort::Owned<OrtCUDAProviderOptionsV2> cuda(raw);

    const std::string tf32 = options.cudaUseTf32 ? "1" : "0";
    const std::string limit = std::to_string(options.cudaMemoryLimitBytes);
    std::vector<const char*> keys{"use_tf32"};
    std::vector<const char*> values{tf32.c_str()};
    if (options.cudaMemoryLimitBytes >= 1) {
        keys.push_back("gpu_mem_limit");
        values.push_back(limit.c_str());
    }
    if (options.cudaArenaSameAsRequested) {
        keys.push_back("arena_extend_strategy");
        values.push_back("kSameAsRequested");
    }
    Ort::check(api.UpdateCUDAProviderOptions(cuda.get(), keys.data(), values.data(), keys.size()));

    // The provider silently ignores values it does not understand: read them back and insist.
    OrtAllocator* allocator = Ort::defaultAllocator();
    char* rawText = nullptr;
    Ort::check(api.GetCUDAProviderOptionsAsString(cuda.get(), allocator, &rawText));
    const Ort::AllocatedString text(rawText, Ort::AllocatedStringFree{allocator});
    const QList<QString> entries = QString::fromUtf8(text.get()).split(QLatin1Char(';'));
    const bool precisionKept =
        entries.contains(QStringLiteral("use_tf32=%1").arg(QString::fromStdString(tf32)));
    const bool limitKept =
        options.cudaMemoryLimitBytes < 1 ||
        entries.contains(QStringLiteral("gpu_mem_limit=%1").arg(QString::fromStdString(limit)));
    if (!precisionKept || !limitKept) {
        throwRuntimeError(
            QStringLiteral("CUDA provider did not retain the requested precision or arena limit."));
    }
    Ort::check(api.SessionOptionsAppendExecutionProvider_CUDA_V2(sessionOptions, cuda.get()));
}

QList<AiExecutionProvider> queryAvailableProviders();

}  // namespace

struct AiSession::Impl {
    QString modelPath;
    AiExecutionProvider provider = AiExecutionProvider::Cpu;
    Ort::TensorMemoryLease memory;  // first: the session goes before the environment it runs in
    Ort::Owned<OrtSessionOptions> sessionOptions;
    Ort::Owned<OrtSession> session;
    QList<AiTensorSpec> inputSpecs;
    QList<AiTensorSpec> outputSpecs;
    bool shrinkArenaAfterRun = false;

    // Names as ONNX Runtime wants them for Run, fixed at load time.
    std::vector<std::string> inputNames;
    std::vector<std::string> outputNames;
    std::vector<const char*> inputNamePointers;
    std::vector<const char*> outputNamePointers;

    void configureProvider(const AiSessionOptions& options);
    void readSpecs();
};

void AiSession::Impl::configureProvider(const AiSessionOptions& options) {
    const OrtApi& api = Ort::api();
    switch (provider) {
        case AiExecutionProvider::Auto:
        case AiExecutionProvider::Cpu:
            return;
        case AiExecutionProvider::DirectML:
            Ort::check(
                api.SessionOptionsAppendExecutionProvider(sessionOptions.get(), "DML", nullptr, nullptr, 0));
            return;
        case AiExecutionProvider::CoreML:
            Ort::check(api.SessionOptionsAppendExecutionProvider(sessionOptions.get(), "CoreML", nullptr,
                                                                 nullptr, 0));
            return;
        case AiExecutionProvider::Cuda:
            appendCudaProvider(sessionOptions.get(), options);
            return;
    }
}

void AiSession::Impl::readSpecs() {
    const OrtApi& api = Ort::api();
    OrtAllocator* allocator = Ort::defaultAllocator();

    const auto readSide = [&](bool inputsSide, QList<AiTensorSpec>& specs, std::vector<std::string>& names) {
        size_t count = 0;
        Ort::check(inputsSide ? api.SessionGetInputCount(session.get(), &count)
                              : api.SessionGetOutputCount(session.get(), &count));
        for (size_t index = 0; index < count; ++index) {
            char* rawName = nullptr;
            Ort::check(inputsSide ? api.SessionGetInputName(session.get(), index, allocator, &rawName)
                                  : api.SessionGetOutputName(session.get(), index, allocator, &rawName));
            const Ort::AllocatedString name(rawName, Ort::AllocatedStringFree{allocator});

            OrtTypeInfo* rawType = nullptr;
            Ort::check(inputsSide ? api.SessionGetInputTypeInfo(session.get(), index, &rawType)
                                  : api.SessionGetOutputTypeInfo(session.get(), index, &rawType));
            const Ort::Owned<OrtTypeInfo> typeInfo(rawType);
            const OrtTensorTypeAndShapeInfo* tensorInfo = nullptr;
            Ort::check(api.CastTypeInfoToTensorInfo(typeInfo.get(), &tensorInfo));
            if (tensorInfo == nullptr) {
                // Sequences, maps and optionals are not tensors this library can exchange.
                throwUnsupportedElementType();
            }
            ONNXTensorElementDataType elementType = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
            Ort::check(api.GetTensorElementType(tensorInfo, &elementType));

            AiTensorSpec spec;
            spec.name = QString::fromUtf8(name.get());
            spec.dataType = supportedElementType(elementType);
            spec.layout = AiTensorLayout::Unknown;
            spec.shape = dimensionsOf(tensorInfo);
            specs.append(spec);
            names.emplace_back(name.get());
        }
    };
    readSide(true, inputSpecs, inputNames);
    readSide(false, outputSpecs, outputNames);
    for (const std::string& name : inputNames) {
        inputNamePointers.push_back(name.c_str());
    }
    for (const std::string& name : outputNames) {
        outputNamePointers.push_back(name.c_str());
    }
}

AiSession::AiSession(const QString& modelPath, const AiSessionOptions& options)
    : d(std::make_unique<Impl>()) {
    const OrtApi& api = Ort::api();
    d->modelPath = modelPath;
    d->provider = options.provider == AiExecutionProvider::Auto ? AiExecutionProvider::Cpu : options.provider;

    d->memory = Ort::TensorMemoryLease("Tarnivale.AI");
    OrtSessionOptions* sessionOptions = nullptr;
    Ort::check(api.CreateSessionOptions(&sessionOptions));
    d->sessionOptions.reset(sessionOptions);

    if (options.cudaMemoryLimitBytes < 0) {
        throwInvalidArgument(QStringLiteral("Negative CUDA arena limit."));
    }
    d->shrinkArenaAfterRun = options.cudaShrinkArenaAfterRun && d->provider == AiExecutionProvider::Cuda;

    if (!QFileInfo(modelPath).isFile()) {
        throwInvalidArgument(QStringLiteral("ONNX model file does not exist: %1").arg(modelPath));
    }
    if (!isProviderAvailable(d->provider)) {
        throwInvalidArgument(QStringLiteral("Requested ONNX execution provider is unavailable: %1")
                                 .arg(aiExecutionProviderName(d->provider)));
    }

    Ort::check(api.SetSessionGraphOptimizationLevel(
        sessionOptions, isSam3BundleGraph(modelPath) ? ORT_DISABLE_ALL : ORT_ENABLE_ALL));
    if (options.intraOpThreads > 0) {
        Ort::check(api.SetIntraOpNumThreads(sessionOptions, options.intraOpThreads));
    }
    if (options.interOpThreads > 0) {
        Ort::check(api.SetInterOpNumThreads(sessionOptions, options.interOpThreads));
    }
    if (!options.enableMemoryPattern) {
        Ort::check(api.DisableMemPattern(sessionOptions));
    }
    applyThreadPoolConfiguration(sessionOptions);
    if (d->provider == AiExecutionProvider::Cpu && d->memory.active()) {
        Ort::check(api.AddSessionConfigEntry(sessionOptions, "session.use_env_allocators", "1"));
    }
    d->configureProvider(options);

    OrtSession* session = nullptr;
#ifdef _WIN32
    const std::wstring path = modelPath.toStdWString();
#else
    const QByteArray path = QFile::encodeName(modelPath);
#endif
    Ort::check(api.CreateSession(d->memory.environment(), path.data(), sessionOptions, &session));
    d->session.reset(session);
    d->readSpecs();
}

AiSession::~AiSession() = default;
AiSession::AiSession(AiSession&& other) noexcept = default;
AiSession& AiSession::operator=(AiSession&& other) noexcept = default;

QList<AiTensorSpec> AiSession::inputs() const {
    return d ? d->inputSpecs : QList<AiTensorSpec>{};
}
QList<AiTensorSpec> AiSession::outputs() const {
    return d ? d->outputSpecs : QList<AiTensorSpec>{};
}
QString AiSession::modelPath() const {
    return d ? d->modelPath : QString();
}
AiExecutionProvider AiSession::provider() const {
    return d ? d->provider : AiExecutionProvider::Cpu;
}

AiInferenceResult AiSession::run(const QList<AiTensor>& inputs) const {
    return run(inputs, AiRunControl{});
}

AiInferenceResult AiSession::run(const QList<AiTensor>& inputs, const AiRunControl& control) const {
    AiInferenceResult result;
    runInto(inputs, result, control);
    return result;
}

void AiSession::runInto(const QList<AiTensor>& inputs, AiInferenceResult& result,
                        const AiRunControl& control) const {
    if (!d) {
        throwInvalidArgument(QStringLiteral("The AI session holds no model."));
    }
    const OrtApi& api = Ort::api();
    if (inputs.size() != d->inputSpecs.size()) {
        throwInvalidArgument(QStringLiteral("Inference input count does not match the ONNX model."));
    }
    for (qsizetype i = 0; i < inputs.size(); ++i) {
        const QList<QString> errors = inputs[i].validationErrors();
        if (!errors.isEmpty()) {
            throwInvalidArgument(joinMessages(errors));
        }
        for (qsizetype j = 0; j < i; ++j) {
            if (inputs[j].name == inputs[i].name) {
                throwInvalidArgument(QStringLiteral("Inference tensor names must be unique."));
            }
        }
    }

    OrtMemoryInfo* rawMemoryInfo = nullptr;
    Ort::check(api.CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &rawMemoryInfo));
    const Ort::Owned<OrtMemoryInfo> memoryInfo(rawMemoryInfo);

    const size_t inputCount = d->inputSpecs.size();
    std::vector<Ort::Owned<OrtValue>> inputValues(inputCount);
    std::vector<const OrtValue*> inputPointers(inputCount);
    for (size_t index = 0; index < inputCount; ++index) {
        const AiTensorSpec& spec = d->inputSpecs[static_cast<qsizetype>(index)];
        const AiTensor* tensor = nullptr;
        for (const AiTensor& candidate : inputs) {
            if (candidate.name == spec.name) {
                tensor = &candidate;
                break;
            }
        }
        if (tensor == nullptr) {
            throwInvalidArgument(QStringLiteral("Missing ONNX input tensor: %1").arg(spec.name));
        }
        if (tensor->dataType != spec.dataType) {
            throwInvalidArgument(QStringLiteral("ONNX input tensor type mismatch: %1").arg(spec.name));
        }
        // ONNX Runtime reads the caller's bytes in place; constData() never detaches the shared buffer.
        OrtValue* value = nullptr;
        Ort::check(api.CreateTensorWithDataAsOrtValue(
            memoryInfo.get(), const_cast<char*>(tensor->data.constData()),
            static_cast<size_t>(tensor->data.size()), tensor->shape.constData(),
            static_cast<size_t>(tensor->shape.size()), toOrtElementType(tensor->dataType), &value));
        inputValues[index].reset(value);
        inputPointers[index] = value;
    }

    QElapsedTimer timer;
    timer.start();
    OrtRunOptions* rawRunOptions = nullptr;
    Ort::check(api.CreateRunOptions(&rawRunOptions));
    const Ort::Owned<OrtRunOptions> runOptions(rawRunOptions);
    if (d->shrinkArenaAfterRun) {
        Ort::check(api.AddRunConfigEntry(runOptions.get(), "memory.enable_memory_arena_shrinkage", "gpu:0"));
    }

    const size_t outputCount = d->outputSpecs.size();
    std::vector<OrtValue*> rawOutputs(outputCount, nullptr);
    std::vector<Ort::Owned<OrtValue>> outputValues;
    outputValues.reserve(outputCount);
    std::int64_t elapsedMilliseconds = 0;
    {
        RunWatchdog watchdog(runOptions.get(), control);
        const Ort::Owned<OrtStatus> runStatus(
            api.Run(d->session.get(), runOptions.get(), d->inputNamePointers.data(), inputPointers.data(),
                    inputCount, d->outputNamePointers.data(), outputCount, rawOutputs.data()));
        for (OrtValue* value : rawOutputs) {
            outputValues.emplace_back(value);
        }
        watchdog.stop();
        elapsedMilliseconds = timer.elapsed();
        // A stop asked by the watchdog wins over the failure it provoked, and over a run that beat it.
        watchdog.throwIfStopped();
        if (runStatus) {
            throwRuntimeError(
                QStringLiteral("ONNX Runtime error: %1").arg(Ort::statusMessage(runStatus.get())));
        }
    }

    result.provider = d->provider;
    result.elapsedMilliseconds = elapsedMilliseconds;
    // Earlier buffers are kept for reuse; a fresh page costs a fault each time it is first written.
    QList<AiTensor> previous = std::move(result.outputs);
    result.outputs.clear();
    result.outputs.reserve(static_cast<qsizetype>(outputCount));
    for (size_t index = 0; index < outputCount; ++index) {
        OrtValue* value = outputValues[index].get();
        OrtTensorTypeAndShapeInfo* rawInfo = nullptr;
        Ort::check(api.GetTensorTypeAndShape(value, &rawInfo));
        const Ort::Owned<OrtTensorTypeAndShapeInfo> info(rawInfo);
        ONNXTensorElementDataType elementType = ONNX_TENSOR_ELEMENT_DATA_TYPE_UNDEFINED;
        Ort::check(api.GetTensorElementType(info.get(), &elementType));

        AiTensor tensor;
        if (static_cast<qsizetype>(index) < previous.size()) {
            tensor.data = std::move(previous[static_cast<qsizetype>(index)].data);
        }
        tensor.name = d->outputSpecs[static_cast<qsizetype>(index)].name;
        tensor.dataType = supportedElementType(elementType);
        tensor.layout = AiTensorLayout::Unknown;
        tensor.shape = dimensionsOf(info.get());
        const std::int64_t count = outputElementCount(tensor.shape);
        const int elementSize = aiTensorDataTypeSize(tensor.dataType);
        if (count > 0 && count <= std::numeric_limits<qsizetype>::max() / elementSize) {
            void* bytes = nullptr;
            Ort::check(api.GetTensorMutableData(value, &bytes));
            const auto size = static_cast<qsizetype>(count * elementSize);
            if (tensor.data.size() != size || !tensor.data.isDetached()) {
                tensor.data = hugePageByteArray(size);
            }
            std::memcpy(tensor.data.data(), bytes, static_cast<size_t>(size));
        } else {
            tensor.data.clear();
        }
        result.outputs.append(std::move(tensor));
    }
}

QList<AiExecutionProvider> AiSession::availableProviders() {
    // Asked once per process: the runtime's list is fixed, and concurrent first calls race inside it.
    static const QList<AiExecutionProvider> providers = queryAvailableProviders();
    // A copy of its own for each caller: the shared list is never touched again.
    return QList<AiExecutionProvider>(providers.constBegin(), providers.constEnd());
}

namespace {
QList<AiExecutionProvider> queryAvailableProviders() {
    const OrtApi& api = Ort::api();
    char** names = nullptr;
    int count = 0;
    Ort::check(api.GetAvailableProviders(&names, &count));
    struct ListRelease {
        int count;
        void operator()(char** list) const noexcept {
            if (OrtStatus* status = Ort::api().ReleaseAvailableProviders(list, count)) {
                Ort::api().ReleaseStatus(status);
            }
        }
    };
    const std::unique_ptr<char*, ListRelease> guard(names, ListRelease{count});

    QList<AiExecutionProvider> providers{AiExecutionProvider::Cpu};
    for (int i = 0; i < count; ++i) {
        const QLatin1String name(names[i]);
        std::optional<AiExecutionProvider> provider;
        if (name == QLatin1String("CUDAExecutionProvider")) {
            provider = AiExecutionProvider::Cuda;
        } else if (name == QLatin1String("DmlExecutionProvider")) {
            provider = AiExecutionProvider::DirectML;
        } else if (name == QLatin1String("CoreMLExecutionProvider")) {
            provider = AiExecutionProvider::CoreML;
        }
        if (provider && !providers.contains(*provider)) {
            providers.append(*provider);
        }
    }
    return providers;
}
}  // namespace

bool AiSession::isProviderAvailable(AiExecutionProvider provider) {
    return provider == AiExecutionProvider::Auto || availableProviders().contains(provider);
}

void startInferenceEngine() {
    // y = x + x over one float (ONNX IR 7, opset 13).
    static constexpr unsigned char Model[] = {
        0x08, 0x07, 0x3a, 0x35, 0x0a, 0x0e, 0x0a, 0x01, 0x78, 0x0a, 0x01, 0x78, 0x12, 0x01, 0x79, 0x22,
        0x03, 0x41, 0x64, 0x64, 0x12, 0x01, 0x67, 0x5a, 0x0f, 0x0a, 0x01, 0x78, 0x12, 0x0a, 0x0a, 0x08,
        0x08, 0x01, 0x12, 0x04, 0x0a, 0x02, 0x08, 0x01, 0x62, 0x0f, 0x0a, 0x01, 0x79, 0x12, 0x0a, 0x0a,
        0x08, 0x08, 0x01, 0x12, 0x04, 0x0a, 0x02, 0x08, 0x01, 0x42, 0x04, 0x0a, 0x00, 0x10, 0x0d};
    static_cast<void>(AiSession::availableProviders());
    const OrtApi& api = Ort::api();
    // Configured as a CPU session of ours is, so that the same parts of the runtime start.
    const Ort::TensorMemoryLease memory("Tarnivale.AI");
    OrtSessionOptions* rawOptions = nullptr;
    Ort::check(api.CreateSessionOptions(&rawOptions));
    const Ort::Owned<OrtSessionOptions> options(rawOptions);
    Ort::check(api.SetSessionGraphOptimizationLevel(options.get(), ORT_ENABLE_ALL));
    Ort::check(api.SetIntraOpNumThreads(options.get(), 1));
    Ort::check(api.SetInterOpNumThreads(options.get(), 1));
    applyThreadPoolConfiguration(options.get());
    if (memory.active()) {
        Ort::check(api.AddSessionConfigEntry(options.get(), "session.use_env_allocators", "1"));
    }
    OrtSession* rawSession = nullptr;
    Ort::check(
        api.CreateSessionFromArray(memory.environment(), Model, sizeof Model, options.get(), &rawSession));
    const Ort::Owned<OrtSession> session(rawSession);

    OrtMemoryInfo* rawMemoryInfo = nullptr;
    Ort::check(api.CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &rawMemoryInfo));
    const Ort::Owned<OrtMemoryInfo> memoryInfo(rawMemoryInfo);
    float x = 1.0F;
    const std::int64_t shape[] = {1};
    OrtValue* rawInput = nullptr;
    Ort::check(api.CreateTensorWithDataAsOrtValue(memoryInfo.get(), &x, sizeof x, shape, 1,
                                                  ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &rawInput));
    const Ort::Owned<OrtValue> input(rawInput);
    OrtRunOptions* rawRunOptions = nullptr;
    Ort::check(api.CreateRunOptions(&rawRunOptions));
    const Ort::Owned<OrtRunOptions> runOptions(rawRunOptions);
    const char* inputName = "x";
    const char* outputName = "y";
    const OrtValue* inputs[] = {input.get()};
    OrtValue* rawOutput = nullptr;
    const Ort::Owned<OrtStatus> status(
        api.Run(session.get(), runOptions.get(), &inputName, inputs, 1, &outputName, 1, &rawOutput));
    const Ort::Owned<OrtValue> output(rawOutput);
    if (status) {
        throwRuntimeError(QStringLiteral("ONNX Runtime error: %1").arg(Ort::statusMessage(status.get())));
    }
}

QString AiSession::runtimeVersion() {
    return QString::fromUtf8(OrtGetApiBase()->GetVersionString());
}

}  // namespace Tarnivale::AI
