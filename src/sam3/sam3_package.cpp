#include <tarnivale/ai/sam3.h>

#include "runtime/errors.h"
#include "runtime/sha256.h"
#include "sam3/sam3_package_paths.h"
#include "sam3/sam3_profile.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

#include <cmath>

namespace Tarnivale::AI {

namespace {

constexpr qint64 MaximumManifestBytes = 1048576;
constexpr qsizetype MaximumFileEntries = 128;

/// An integral JSON number, else `fallback` (strings and fractions do not count).
qint64 integerOf(const QJsonValue& value, qint64 fallback) {
    if (!value.isDouble()) {
        return fallback;
    }
    const double number = value.toDouble();
    if (!std::isfinite(number) || number != std::floor(number) || std::fabs(number) > 9.0e15) {
        return fallback;
    }
    return static_cast<qint64>(number);
}

bool isStringList(const QJsonValue& value, const QList<QString>& expected) {
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.size() != expected.size()) {
        return false;
    }
    for (qsizetype i = 0; i < expected.size(); ++i) {
        if (!array.at(i).isString() || array.at(i).toString() != expected.at(i)) {
            return false;
        }
    }
    return true;
}

bool isImageSize(const QJsonValue& value) {
    const QJsonArray array = value.toArray();
    return value.isArray() && array.size() == 2 && array.at(0).isDouble() &&
           array.at(0).toDouble() == Sam3::ImageSide && array.at(1).isDouble() &&
           array.at(1).toDouble() == Sam3::ImageSide;
}

const QRegularExpression& hexDigits(int count) {
    static const QRegularExpression revision(QStringLiteral("^[0-9a-f]{40}$"));
    static const QRegularExpression digest(QStringLiteral("^[0-9a-f]{64}$"));
    return count == 40 ? revision : digest;
}

void checkProfile(const QJsonObject& manifest, const Sam3::Profile& profile) {
    const bool supported =
        manifest.value(QStringLiteral("schema")) == QJsonValue(QStringLiteral("tarnivale.sam3-package/1")) &&
        manifest.value(QStringLiteral("profile")) == QJsonValue(profile.name) &&
        manifest.value(QStringLiteral("precision")) == QJsonValue(QStringLiteral("float32")) &&
        integerOf(manifest.value(QStringLiteral("batch")), 0) == 1 &&
        (profile.tracker
             ? integerOf(manifest.value(QStringLiteral("max_points")), 0) == Sam3::TrackerMaximumPoints
             : integerOf(manifest.value(QStringLiteral("text_tokens")), 0) == Sam3::TextTokens) &&
        isImageSize(manifest.value(QStringLiteral("image_size"))) &&
        isStringList(manifest.value(QStringLiteral("prompts")), profile.prompts);
    if (!supported) {
        throwInvalidArgument(QStringLiteral("Unsupported SAM3 package profile."));
    }
    if (manifest.value(QStringLiteral("id")).toString().isEmpty() ||
        !hexDigits(40).match(manifest.value(QStringLiteral("revision")).toString()).hasMatch()) {
        throwInvalidArgument(QStringLiteral("SAM3 package identity/revision is missing."));
    }
    if (!isStringList(manifest.value(QStringLiteral("graphs")), profile.graphs) ||
        !isStringList(manifest.value(QStringLiteral("decoder_outputs")), profile.decoderOutputs)) {
        throwInvalidArgument(QStringLiteral("SAM3 graph contract is incomplete."));
    }
    if (profile.tracker && manifest.value(QStringLiteral("preprocessing")) !=
                               QJsonValue(QStringLiteral("native-torchvision-uint8-aa-fixedpoint-v1"))) {
        throwInvalidArgument(QStringLiteral("Unsupported tracker preprocessing."));
    }
}

/// Verifies one inventory entry against the file it names: size, then the streamed digest.
void verifyEntry(const QString& root, const QJsonObject& entry) {
    const QString path = entry.value(QStringLiteral("path")).toString();
    const QString resolved = Sam3::resolvePackagePath(root, path);
    const qint64 bytes = integerOf(entry.value(QStringLiteral("bytes")), -1);
    const QString digest = entry.value(QStringLiteral("sha256")).toString();
    if (bytes < 1 || QFileInfo(resolved).size() != bytes || !hexDigits(64).match(digest).hasMatch()) {
        throwInvalidArgument(QStringLiteral("SAM3 file size or hash metadata is invalid: %1").arg(path));
    }
    const Sha256FileResult hashed = sha256File(resolved);
    if (hashed.error == Sha256FileError::Open) {
        throwInvalidArgument(QStringLiteral("Cannot read SAM3 file: %1").arg(path));
    }
    if (hashed.error != Sha256FileError::None || hashed.hex != digest) {
        throwInvalidArgument(QStringLiteral("SAM3 checksum mismatch: %1").arg(path));
    }
}

QList<QString> requiredEntries(const Sam3::Profile& profile) {
    QList<QString> required{QStringLiteral("processor/processor_config.json"), QStringLiteral("LICENSE")};
    required.append(profile.graphs);
    if (!profile.tracker) {
        required << QStringLiteral("processor/tokenizer.json")
                 << QStringLiteral("processor/tokenizer_config.json");
    }
    return required;
}

}  // namespace

AiSamModelPackage AiSamModelPackage::load(const QString& manifestPath) {
    QFile file(manifestPath);
    if (!file.open(QIODevice::ReadOnly)) {
        throwInvalidArgument(QStringLiteral("Cannot open SAM3 package manifest."));
    }
    if (file.size() > MaximumManifestBytes) {
        throwInvalidArgument(QStringLiteral("SAM3 manifest exceeds 1 MiB."));
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(file.read(MaximumManifestBytes + 1), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        throwInvalidArgument(QStringLiteral("Invalid SAM3 package JSON."));
    }
    const QJsonObject manifest = document.object();
    const Sam3::Profile& profile =
        manifest.value(QStringLiteral("profile")) == QJsonValue(Sam3::trackerProfile().name)
            ? Sam3::trackerProfile()
            : Sam3::textProfile();
    checkProfile(manifest, profile);

    const QJsonValue files = manifest.value(QStringLiteral("files"));
    if (!files.isArray() || files.toArray().size() > MaximumFileEntries) {
        throwInvalidArgument(QStringLiteral("Invalid SAM3 file inventory."));
    }
    AiSamModelPackage package;
    package.m_rootDirectory = QFileInfo(QFileInfo(manifestPath).absolutePath()).canonicalFilePath();
    package.m_manifest = manifest;

    QSet<QString> seen;
    for (const QJsonValue& value : files.toArray()) {
        if (!value.isObject()) {
            throwInvalidArgument(QStringLiteral("Invalid SAM3 file entry."));
        }
        const QString folded = value.toObject().value(QStringLiteral("path")).toString().toCaseFolded();
        if (seen.contains(folded)) {
            throwInvalidArgument(QStringLiteral("Duplicate SAM3 file entry."));
        }
        verifyEntry(package.m_rootDirectory, value.toObject());
        seen.insert(folded);
    }
    for (const QString& required : requiredEntries(profile)) {
        if (!seen.contains(required.toCaseFolded())) {
            throwInvalidArgument(
                QStringLiteral("Required SAM3 package file is not inventoried: %1").arg(required));
        }
    }
    return package;
}

QString AiSamModelPackage::graphPath(const QString& graphName) const {
    const QJsonArray graphs = m_manifest.value(QStringLiteral("graphs")).toArray();
    if (!graphs.contains(QJsonValue(graphName))) {
        throwInvalidArgument(QStringLiteral("Unknown SAM3 graph name."));
    }
    return Sam3::resolvePackagePath(m_rootDirectory, graphName);
}

QString AiSamModelPackage::processorDirectory() const {
    return m_rootDirectory + QStringLiteral("/processor");
}

QJsonObject AiSamModelPackage::manifest() const {
    return m_manifest;
}

QString AiSamModelPackage::rootDirectory() const {
    return m_rootDirectory;
}

}  // namespace Tarnivale::AI
