#pragma once

// Model manifests, their JSON file, model packages, model profiles and the signed model registry.

#include <tarnivale/ai/export.h>
#include <tarnivale/ai/runtime.h>
#include <tarnivale/ai/tiling.h>

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>

#include <functional>

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

/// How far a model profile is trusted.
enum class AiModelProfileSource : int {
    TarnivaleVerified = 0,
    OfficialAdapter = 1,
    Custom = 2,
};

/// "TarnivaleVerified", "OfficialAdapter", or "Custom" (also for other values).
TARNIVALE_AI_EXPORT QString aiModelProfileSourceName(AiModelProfileSource source);

/// A known model file, identified by its SHA-256, with the vetted manifest to use for it. The description,
/// publisher, licence, home page and metadata are the host's: stored and copied, never read.
struct TARNIVALE_AI_EXPORT AiModelProfile {
    QString id;  ///< equal (ignoring case) to the manifest id when that is set
    QString displayName;
    QString sha256;  ///< of the model file, 64 hexadecimal characters
    QString description;
    QString publisher;
    QString licenseName;
    QString homepageUrl;
    AiModelProfileSource source = AiModelProfileSource::Custom;
    AiModelManifest manifest;
    AiVariantMap metadata;

    /// Every rule violation, in rule order (manifest messages prefixed "Manifest: "); never throws.
    QList<QString> validationErrors() const;
    bool isValid() const;
};

/// The process-wide table of model profiles, in registration order; any thread may call any operation.
/// Ids compare ignoring case. Results are copies.
class TARNIVALE_AI_EXPORT AiModelProfileRegistry {
public:
    /// Stores a valid profile (its SHA-256 trimmed and lower-cased, also as the manifest's modelSha256), or
    /// replaces the profile with its id in place when `replaceExisting`. On failure returns false with the
    /// reason in `errorOut` (when given); on success clears it.
    static bool registerProfile(const AiModelProfile& profile, bool replaceExisting = false,
                                QString* errorOut = nullptr);
    /// True when a profile was removed.
    static bool unregisterProfile(const QString& id);
    static bool contains(const QString& id);
    /// Copies the profile into `profileOut` when found; leaves it alone otherwise.
    static bool tryGet(const QString& id, AiModelProfile& profileOut);
    /// Hashes the file and copies the profile with that SHA-256 into `profileOut`; false (and `profileOut`
    /// untouched) when the file cannot be read or no profile matches.
    static bool recognize(const QString& modelPath, AiModelProfile& profileOut);
    static QList<AiModelProfile> profiles();
};

/// One artifact of a model registry index. Versions are read with QVersionNumber (leading numeric segments).
struct TARNIVALE_AI_EXPORT AiModelRegistryEntry {
    QString id;
    QString version;
    QString artifactUrl;
    QString artifactSha256;  ///< lower-case hexadecimal
    QString license;
    QString licenseUrl;
    QString minimumSdkVersion;  ///< empty: no lower bound
    QString maximumSdkVersion;  ///< empty: no upper bound

    /// id + "-" + version + ".tvmodel"
    QString artifactFileName() const;
};

/// A verified model registry index: entries signed with HMAC-SHA-256 under a key the host supplies.
class TARNIVALE_AI_EXPORT AiModelRegistryIndex {
public:
    AiModelRegistryIndex() = default;

    /// Verifies the signature, the schema version and every entry; throws std::invalid_argument.
    static AiModelRegistryIndex fromSignedJson(const QByteArray& json, const QByteArray& trustedKey);
    /// The compact signed index document of valid entries; throws std::invalid_argument.
    static QByteArray signedJson(const QList<AiModelRegistryEntry>& entries, const QByteArray& signingKey);

    /// The highest version of `id` (exactly `version` when given) whose SDK bounds, inclusive, admit
    /// `sdkVersion`; equal versions go to the smaller artifact SHA-256 text. Throws std::invalid_argument for
    /// a bad SDK version and std::out_of_range when nothing matches.
    AiModelRegistryEntry resolve(const QString& id, const QString& sdkVersion,
                                 const QString& version = QString()) const;
    /// In document order.
    const QList<AiModelRegistryEntry>& entries() const { return m_entries; }

private:
    QList<AiModelRegistryEntry> m_entries;
};

struct TARNIVALE_AI_EXPORT AiModelInstallOptions {
    QString destinationDirectory;
    QString offlineMirrorDirectory;  ///< holds artifacts under their artifactFileName()
    bool offlineOnly = false;
    std::int64_t maximumBytes = 0;  ///< 0: no budget
};

struct TARNIVALE_AI_EXPORT AiModelInstallResult {
    QString installedPath;
    QString source;  ///< "offline-mirror" or "online"
    QString sha256;
    std::int64_t byteCount = 0;
};

/// Fetches an artifact's bytes by its URL for the installer (the library has no network client of its own).
using AiModelArtifactFetcher = std::function<QByteArray(const QString& artifactUrl)>;

class TARNIVALE_AI_EXPORT AiModelRegistryInstaller {
public:
    /// Takes the artifact from the offline mirror when it is there, else from the fetcher; checks the byte
    /// budget and the SHA-256 and writes destination/artifactFileName() atomically. A file already there is
    /// replaced only by a complete, verified artifact. Throws std::invalid_argument or std::runtime_error.
    static AiModelInstallResult install(const AiModelRegistryEntry& entry,
                                        const AiModelInstallOptions& options,
                                        const AiModelArtifactFetcher& fetcher = {});
};

}  // namespace Tarnivale::AI
