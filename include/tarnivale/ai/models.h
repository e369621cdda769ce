#pragma once

// Model manifests, their JSON file, and model packages.

#include <tarnivale/ai/export.h>
#include <tarnivale/ai/runtime.h>
#include <tarnivale/ai/tiling.h>

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>

namespace Tarnivale::AI {

using AiVariantMap = QMap<QString, QVariant>;

/// How raster data feeds one declared input.
struct TARNIVALE_AI_EXPORT AiInputAdapterSpec {
    QString tensor;
    QString source = QStringLiteral("raster");
    QList<std::int32_t> bands;  ///< one-based, in channel order
    QString colorSpace;
    QString resize = QStringLiteral("none");
    QString padding = QStringLiteral("none");
    AiVariantMap options;
};

/// How one raw output is decoded (activation names: none, identity, sigmoid, tanh, softmax).
struct TARNIVALE_AI_EXPORT AiOutputDecoderSpec {
    QString id;
    QString tensor;
    QString activation = QStringLiteral("none");
    std::int32_t channelAxis = 1;
    double threshold = 0.5;
    AiVariantMap options;  ///< "channel"/"classIndex" select a channel; "role" names a detection part
};

/// A product made from a decoded output.
struct TARNIVALE_AI_EXPORT AiMaterializationSpec {
    AiOutputKind kind = AiOutputKind::Tensor;
    QString decoder;
    QString crsPolicy = QStringLiteral("source");
    QString nodataPolicy = QStringLiteral("source");
    AiVariantMap options;
};

/// Per-channel mean and standard deviation (empty lists skip that step) and a common scale.
struct TARNIVALE_AI_EXPORT AiNormalization {
    QList<double> mean;
    QList<double> standardDeviation;
    double scale = 1.0;
};

/// Where the weights come from.
struct TARNIVALE_AI_EXPORT AiModelProvenance {
    QString sourceUrl;
    QString repository;
    QString revision;
    QString license;
    QString licenseUrl;
    QString attribution;
};

/// The in-memory description of one model.
struct TARNIVALE_AI_EXPORT AiModelManifest {
    QString schemaVersion = QStringLiteral("1.0");
    QString id;
    QString version;
    AiTaskKind task = AiTaskKind::Unspecified;
    QString modelPath;  ///< relative paths are relative to the package directory
    QString modelSha256;
    QString description;
    QList<AiTensorSpec> inputs;
    QList<AiTensorSpec> outputs;
    QList<AiInputAdapterSpec> inputAdapters;
    QList<AiOutputDecoderSpec> outputDecoders;
    QList<AiMaterializationSpec> materializations;
    AiNormalization normalization;
    AiTileOptions tiling;
    QList<QString> labels;
    AiModelProvenance provenance;
    AiVariantMap metadata;

    /// Every rule violation, in rule order; never throws.
    QList<QString> validationErrors() const;
    bool isValid() const;
};

/// Reads manifest JSON without judging it: absent or wrongly typed keys take their defaults.
class TARNIVALE_AI_EXPORT AiModelManifestLoader {
public:
    static AiModelManifest fromFile(const QString& path);
    static AiModelManifest fromJson(const QByteArray& json);
    static AiModelManifest fromJsonObject(const QJsonObject& object);
};

/// Writes manifest JSON; an invalid manifest is refused before anything is produced.
class TARNIVALE_AI_EXPORT AiModelManifestWriter {
public:
    static QJsonObject toJsonObject(const AiModelManifest& manifest);
    static QByteArray toJson(const AiModelManifest& manifest, bool indented = true);
    static void toFile(const AiModelManifest& manifest, const QString& path);
};

/// A directory holding "tarnivale-model.json" and the model file it names. A snapshot of the manifest as
/// opened; validationErrors() and modelSha256() look at the files each time.
class TARNIVALE_AI_EXPORT AiModelPackage {
public:
    static constexpr const char* ManifestFileName = "tarnivale-model.json";

    AiModelPackage() = default;

    static AiModelPackage open(const QString& directory);
    /// Validates the manifest, copies (or keeps) the model in the directory, records its bare file name and
    /// digest, writes the manifest and opens the result. Never overwrites a model file.
    static AiModelPackage create(const QString& directory, const AiModelManifest& manifest, bool copyModel);

    QList<QString> validationErrors() const;
    bool isValid() const;

    QString directoryPath() const;
    const AiModelManifest& manifest() const;
    QString manifestPath() const;
    QString modelPath() const;
    /// SHA-256 of the model file, computed now (64 lower-case hexadecimal characters).
    QString modelSha256() const;

private:
    QString m_directoryPath;
    AiModelManifest m_manifest;
};

/// Assembles a manifest fluently; build() returns it only when it validates.
class TARNIVALE_AI_EXPORT AiModelPackageBuilder {
public:
    AiModelPackageBuilder& id(const QString& value);
    AiModelPackageBuilder& version(const QString& value);
    AiModelPackageBuilder& schemaVersion(const QString& value);
    AiModelPackageBuilder& task(AiTaskKind value);
    AiModelPackageBuilder& description(const QString& value);
    AiModelPackageBuilder& modelPath(const QString& value);
    AiModelPackageBuilder& modelSha256(const QString& value);
    AiModelPackageBuilder& addInput(const AiTensorSpec& spec);
    AiModelPackageBuilder& addOutput(const AiTensorSpec& spec);
    AiModelPackageBuilder& addInputAdapter(const AiInputAdapterSpec& spec);
    AiModelPackageBuilder& addOutputDecoder(const AiOutputDecoderSpec& spec);
    AiModelPackageBuilder& addMaterialization(const AiMaterializationSpec& spec);
    AiModelPackageBuilder& normalization(const AiNormalization& value);
    AiModelPackageBuilder& tiling(const AiTileOptions& value);
    AiModelPackageBuilder& labels(const QList<QString>& value);
    AiModelPackageBuilder& provenance(const AiModelProvenance& value);
    AiModelPackageBuilder& metadata(const AiVariantMap& value);
    AiModelPackageBuilder& metadataValue(const QString& key, const QVariant& value);

    AiModelManifest build() const;

private:
    AiModelManifest m_manifest;
};

/// What an ONNX file holds, as seen by a CPU session; failures end up in `error`, never thrown.
struct TARNIVALE_AI_EXPORT AiModelInspection {
    QString modelPath;
    QString modelSha256;
    QList<AiTensorSpec> inputs;
    QList<AiTensorSpec> outputs;
    QList<AiExecutionProvider> availableProviders;
    QList<QString> warnings;
    QString error;

    bool succeeded() const { return error.isEmpty(); }
};

enum class AiCompatibilityStatus : int {
    Compatible = 0,
    CompatibleWithWarnings = 1,
    ConfigurationRequired = 2,
    Unsupported = 3,
};

/// "Compatible", "CompatibleWithWarnings", "ConfigurationRequired", or "Unsupported" (also for other values).
TARNIVALE_AI_EXPORT QString aiCompatibilityStatusName(AiCompatibilityStatus status);

struct TARNIVALE_AI_EXPORT AiCompatibilityReport {
    AiCompatibilityStatus status = AiCompatibilityStatus::Unsupported;
    QList<QString> errors;
    QList<QString> warnings;
    QList<QString> requiredConfiguration;

    bool isCompatible() const {
        return status == AiCompatibilityStatus::Compatible ||
               status == AiCompatibilityStatus::CompatibleWithWarnings;
    }
};

class TARNIVALE_AI_EXPORT AiModelInspector {
public:
    static AiModelInspection inspect(const QString& modelPath);
};

/// Grades a manifest against an inspection of its model; never throws.
class TARNIVALE_AI_EXPORT AiCompatibilityChecker {
public:
    static AiCompatibilityReport check(const AiModelManifest& manifest, const AiModelInspection& inspection);
};

}  // namespace Tarnivale::AI
