#pragma once

// SAM3 segmentation: verified model bundles and the sessions that run their graphs.

#include <tarnivale/ai/export.h>
#include <tarnivale/ai/runtime.h>

#include <QJsonObject>
#include <QList>
#include <QString>

#include <cstdint>
#include <memory>

namespace Tarnivale::AI {

/// A SAM3 bundle whose profile, tensor contract and every inventoried file (size and SHA-256) were verified
/// by `load`. A default-constructed package has an empty root and manifest and cannot be used.
class TARNIVALE_AI_EXPORT AiSamModelPackage {
public:
    /// Reads "sam3-package.json" (the file itself) and verifies the bundle; throws std::invalid_argument.
    static AiSamModelPackage load(const QString& manifestPath);

    /// Canonical absolute path of a graph named in the manifest's "graphs" ("Unknown SAM3 graph name.").
    QString graphPath(const QString& graphName) const;
    /// The root joined with "processor" (not checked for existence).
    QString processorDirectory() const;
    QJsonObject manifest() const;
    /// Canonical absolute directory holding the manifest (symbolic links resolved).
    QString rootDirectory() const;

private:
    QString m_rootDirectory;
    QJsonObject m_manifest;
};

/// Limits of one SAM3 run: a deadline (0 = none) and the host working memory of one window.
struct TARNIVALE_AI_EXPORT AiSamExecutionOptions {
    std::int64_t maximumMilliseconds = 0;
    std::int64_t maximumHostBytes = 536870912;
};

/// A pixel window of a raster; the two indices only label it (tiles carry their grid position there).
struct TARNIVALE_AI_EXPORT AiSamPixelWindow {
    std::int32_t columnIndex = 0;
    std::int32_t rowIndex = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

/// How a raster window becomes the 8-bit RGB image a SAM3 encoder sees.
struct TARNIVALE_AI_EXPORT AiSamRasterOptions {
    bool hasWindow = false;  ///< false: the whole raster
    AiSamPixelWindow window;
    QList<std::int32_t> bands;  ///< 1-based red, green, blue; empty: found by their colour tags
    QList<double> minimums;     ///< display ranges for red, green, blue; required for non-byte bands
    QList<double> maximums;
    std::int32_t invalidPixelFill = 127;
    double minimumValidFraction = 0.0;
};

/// The three graphs of a text-profile bundle opened with the fixed SAM3 tensor contract checked.
/// Movable, not copyable; not locked by itself (the sessions built on it serialise their runs).
class TARNIVALE_AI_EXPORT AiSamSession {
public:
    /// Loads the bundle and opens "vision_encoder.onnx", "text_encoder.onnx" and "decoder.onnx";
    /// throws std::invalid_argument (or the session's runtime errors).
    AiSamSession(const QString& manifestPath, const AiSessionOptions& options = {});
    ~AiSamSession();
    AiSamSession(AiSamSession&& other) noexcept;
    AiSamSession& operator=(AiSamSession&& other) noexcept;
    AiSamSession(const AiSamSession&) = delete;
    AiSamSession& operator=(const AiSamSession&) = delete;

    /// Declared tensors of one graph, by file name ("Unknown SAM3 graph." otherwise).
    QList<AiTensorSpec> inputs(const QString& graphName) const;
    QList<AiTensorSpec> outputs(const QString& graphName) const;
    /// Runs one graph; for the SAM3 sessions of this library.
    AiInferenceResult runGraph(const QString& graphName, const QList<AiTensor>& inputs,
                               const AiRunControl& control) const;
    AiSamModelPackage package() const;
    /// The provider the vision encoder's session runs on.
    AiExecutionProvider provider() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

}  // namespace Tarnivale::AI
