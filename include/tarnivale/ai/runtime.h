#pragma once

// Tensors and inference runtime: the shared vocabulary, tensor records and the ONNX Runtime session.

#include <tarnivale/ai/export.h>

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace Tarnivale::AI {

// --- Enumerations (numeric values are stored and exchanged as integers) --------------------------------

enum class AiExecutionProvider : int { Auto = 0, Cpu = 1, Cuda = 2, DirectML = 3, CoreML = 4 };

enum class AiTensorDataType : int { Float32 = 0, Float64 = 1, Int32 = 2, Int64 = 3, UInt8 = 4 };

enum class AiTensorLayout : int { Unknown = 0, NCHW = 1, NHWC = 2 };

enum class AiTaskKind : int {
    Unspecified = 0,
    Classification = 1,
    MultilabelClassification = 2,
    SemanticSegmentation = 3,
    PixelRegression = 4,
    ObjectDetection = 5,
    InstanceSegmentation = 6,
    ChangeDetection = 7,
    RasterTransform = 8,
};

/// The kind of a manifest materialization.
enum class AiOutputKind : int { Tensor = 0, Raster = 1, Mask = 2, Vector = 3 };

enum class AiInferenceStopReason : int { Cancelled = 0, DeadlineExceeded = 1 };

/// Display names; out-of-range values give "Unknown" ("unspecified" for task kinds). Never throw.
TARNIVALE_AI_EXPORT QString aiExecutionProviderName(AiExecutionProvider provider);
TARNIVALE_AI_EXPORT QString aiTensorDataTypeName(AiTensorDataType dataType);
TARNIVALE_AI_EXPORT QString aiTensorLayoutName(AiTensorLayout layout);
TARNIVALE_AI_EXPORT QString aiTaskKindName(AiTaskKind kind);
TARNIVALE_AI_EXPORT QString aiOutputKindName(AiOutputKind kind);

/// Element size in bytes; 0 for an unknown data type.
TARNIVALE_AI_EXPORT int aiTensorDataTypeSize(AiTensorDataType dataType);

/// Text parsers used by manifests and the flat interface; unknown text throws std::invalid_argument.
TARNIVALE_AI_EXPORT AiExecutionProvider parseExecutionProvider(const QString& text);
TARNIVALE_AI_EXPORT AiTensorDataType parseTensorDataType(const QString& text);
TARNIVALE_AI_EXPORT AiTensorLayout parseTensorLayout(const QString& text);
TARNIVALE_AI_EXPORT AiTaskKind parseTaskKind(const QString& text);
TARNIVALE_AI_EXPORT AiOutputKind parseMaterializationKind(const QString& text);

// --- Tensor records --------------------------------------------------------------------------------------

/// A declared tensor: a manifest entry, or a model input/output (symbolic dimensions are negative).
struct TARNIVALE_AI_EXPORT AiTensorSpec {
    QString name;
    AiTensorDataType dataType = AiTensorDataType::Float32;
    AiTensorLayout layout = AiTensorLayout::Unknown;
    QList<std::int64_t> shape;
};

/// A dense row-major tensor in native (little-endian) byte order, without padding.
struct TARNIVALE_AI_EXPORT AiTensor {
    QString name;
    AiTensorDataType dataType = AiTensorDataType::Float32;
    AiTensorLayout layout = AiTensorLayout::Unknown;
    QList<std::int64_t> shape;
    QByteArray data;

    /// Product of the dimensions; 0 for an empty shape, a dimension below 1, or signed 64-bit overflow.
    std::int64_t elementCount() const;
    /// elementCount() times the element size; 0 for an unknown data type.
    std::int64_t expectedByteSize() const;
    /// Messages describing why the tensor cannot be used; empty when it can.
    QList<QString> validationErrors() const;

    static AiTensor fromFloat32(const QString& name, const QList<std::int64_t>& shape,
                                const QList<float>& values);
};

/// What one model run returns.
struct TARNIVALE_AI_EXPORT AiInferenceResult {
    AiExecutionProvider provider = AiExecutionProvider::Cpu;
    QList<AiTensor> outputs;
    std::int64_t elapsedMilliseconds = 0;
};

/// How a caller bounds one run: a deadline (0 = none, negative refused) and a polled cancellation callable.
struct TARNIVALE_AI_EXPORT AiRunControl {
    std::int64_t deadlineMilliseconds = 0;
    std::function<bool()> cancellationRequested;
};

/// Raised when a run control stops a session run.
class TARNIVALE_AI_EXPORT AiInferenceInterrupted : public std::exception {
public:
    explicit AiInferenceInterrupted(AiInferenceStopReason reason);
    const char* what() const noexcept override;
    AiInferenceStopReason reason() const noexcept;

private:
    AiInferenceStopReason m_reason;
};

// --- Session ---------------------------------------------------------------------------------------------

struct TARNIVALE_AI_EXPORT AiSessionOptions {
    AiExecutionProvider provider = AiExecutionProvider::Auto;
    std::int32_t intraOpThreads = 0;  ///< applied only when positive
    std::int32_t interOpThreads = 0;  ///< applied only when positive
    bool enableMemoryPattern = true;
    bool cudaUseTf32 = true;
    std::int64_t cudaMemoryLimitBytes = 0;  ///< 0 = no limit; negative is refused
    bool cudaArenaSameAsRequested = false;
    bool cudaShrinkArenaAfterRun = false;
};

/// Whether the runtime, the provider's libraries and a model are usable; errors block, warnings do not.
struct TARNIVALE_AI_EXPORT AiRuntimeDiagnostics {
    QString runtimeVersion;
    QString runtimeLibraryPath;  ///< the loaded ONNX Runtime library; empty when it cannot be found
    AiExecutionProvider requestedProvider = AiExecutionProvider::Auto;
    AiExecutionProvider selectedProvider = AiExecutionProvider::Cpu;
    QList<AiExecutionProvider> availableProviders;
    QList<QString> requiredLibraries;  ///< file names the selected provider needs beside the runtime
    QList<QString> missingLibraries;
    QString modelPath;  ///< absolute
    QString modelSha256;
    QString projDataPath;  ///< PROJ_DATA, reported only
    QString gdalDataPath;  ///< GDAL_DATA, reported only
    std::int64_t memoryBudgetBytes = 0;
    bool modelCompatible = false;
    bool isolatedWorker = true;
    QList<QString> warnings;
    QList<QString> errors;

    bool ready() const { return errors.isEmpty(); }
};

/// One ONNX model loaded into ONNX Runtime. Movable, not copyable; runs are const and may be concurrent.
class TARNIVALE_AI_EXPORT AiSession {
public:
    /// Loads the model; throws std::invalid_argument or std::runtime_error on failure.
    AiSession(const QString& modelPath, const AiSessionOptions& options = {});
    ~AiSession();
    AiSession(AiSession&& other) noexcept;
    AiSession& operator=(AiSession&& other) noexcept;
    AiSession(const AiSession&) = delete;
    AiSession& operator=(const AiSession&) = delete;

    QList<AiTensorSpec> inputs() const;
    QList<AiTensorSpec> outputs() const;
    QString modelPath() const;
    AiExecutionProvider provider() const;

    /// Runs the model. Inputs are bound by name and handed over without copying their bytes;
    /// each output is copied once. A run control stop raises AiInferenceInterrupted.
    AiInferenceResult run(const QList<AiTensor>& inputs) const;
    AiInferenceResult run(const QList<AiTensor>& inputs, const AiRunControl& control) const;
    /// The same run into an existing result: an output whose buffer already has the right size (and is not
    /// shared) is overwritten in place, so repeated runs of one shape allocate no new output memory.
    void runInto(const QList<AiTensor>& inputs, AiInferenceResult& result,
                 const AiRunControl& control = {}) const;

    /// Cpu first, then Cuda/DirectML/CoreML in ONNX Runtime's order; never Auto.
    static QList<AiExecutionProvider> availableProviders();
    /// True for Auto; otherwise whether the provider is listed by availableProviders().
    static bool isProviderAvailable(AiExecutionProvider provider);
    static QString runtimeVersion();
    /// Never throws for a bad model or a missing provider: those become entries of `errors`.
    static AiRuntimeDiagnostics diagnostics(const QString& modelPath, const AiSessionOptions& options,
                                            std::int64_t memoryBudgetBytes);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

}  // namespace Tarnivale::AI
