#include <tarnivale/ai/models.h>

#include "runtime/errors.h"
#include "runtime/sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Tarnivale::AI {

namespace {

QString hashModelFile(const QString& path) {
    const Sha256FileResult result = sha256File(path);
    switch (result.error) {
        case Sha256FileError::Open:
            throwRuntimeError(QStringLiteral("Could not read AI model file: %1").arg(path));
        case Sha256FileError::Read:
            throwRuntimeError(QStringLiteral("Could not hash AI model file: %1").arg(path));
        case Sha256FileError::None:
            break;
    }
    return result.hex;
}

bool climbsOut(const QString& relativePath) {
    return relativePath == QLatin1String("..") || relativePath.startsWith(QLatin1String("../")) ||
           relativePath.startsWith(QLatin1String("..\\"));
}

// Lexically inside is not enough: a symbolic link in the package may point anywhere. An existing file
// must also resolve to a place inside the package's own resolved directory.
bool resolvesOutside(const QString& directory, const QString& file) {
    const QString canonicalFile = QFileInfo(file).canonicalFilePath();
    const QString canonicalDirectory = QFileInfo(directory).canonicalFilePath();
    if (canonicalFile.isEmpty() || canonicalDirectory.isEmpty()) {
        return false;  // nothing there to escape through; presence is checked next
    }
    return climbsOut(QDir(canonicalDirectory).relativeFilePath(canonicalFile));
}

}  // namespace

AiModelPackage AiModelPackage::open(const QString& directory) {
    AiModelPackage package;
    package.m_directoryPath = QDir(directory).absolutePath();
    package.m_manifest = AiModelManifestLoader::fromFile(package.manifestPath());
    return package;
}

QList<QString> AiModelPackage::validationErrors() const {
    QList<QString> errors = m_manifest.validationErrors();

    const QString resolved = modelPath();
    const bool unsafe =
        !QFileInfo(m_manifest.modelPath).isRelative() ||
        climbsOut(QDir(m_directoryPath).relativeFilePath(QFileInfo(resolved).absoluteFilePath())) ||
        resolvesOutside(m_directoryPath, resolved);
    if (unsafe) {
        errors.append(
            QStringLiteral("Package model path must be relative and remain inside the package directory."));
        return errors;
    }
    if (!QFileInfo(resolved).isFile()) {
        errors.append(QStringLiteral("Package model file does not exist."));
        return errors;
    }
    if (!m_manifest.modelSha256.isEmpty()) {
        try {
            if (modelSha256().compare(m_manifest.modelSha256, Qt::CaseInsensitive) != 0) {
                errors.append(QStringLiteral("Package model SHA-256 does not match the manifest."));
            }
        } catch (const std::exception& error) {
            errors.append(QString::fromUtf8(error.what()));
        }
    }
    return errors;
}

bool AiModelPackage::isValid() const {
    return validationErrors().isEmpty();
}

QString AiModelPackage::directoryPath() const {
    return m_directoryPath;
}

const AiModelManifest& AiModelPackage::manifest() const {
    return m_manifest;
}

QString AiModelPackage::manifestPath() const {
    return QDir(m_directoryPath).filePath(QString::fromLatin1(ManifestFileName));
}

QString AiModelPackage::modelPath() const {
    const QFileInfo info(m_manifest.modelPath);
    return info.isRelative() ? QDir(m_directoryPath).filePath(m_manifest.modelPath) : info.absoluteFilePath();
}

QString AiModelPackage::modelSha256() const {
    return hashModelFile(modelPath());
}

AiModelPackage AiModelPackage::create(const QString& directory, const AiModelManifest& manifest,
                                      bool copyModel) {
    const QList<QString> errors = manifest.validationErrors();
    if (!errors.isEmpty()) {
        throwInvalidArgument(
            QStringLiteral("Cannot create invalid AI model package: %1").arg(joinMessages(errors)));
    }
    const QFileInfo source(manifest.modelPath);
    if (!source.isFile()) {
        throwRuntimeError(QStringLiteral("AI model file does not exist: %1").arg(manifest.modelPath));
    }
    const QString target = QDir(directory).absolutePath();
    if (!QDir().mkpath(target)) {
        throwRuntimeError(QStringLiteral("Could not create AI model package directory: %1").arg(target));
    }

    AiModelManifest written = manifest;
    const QString packagedModel = QDir(target).filePath(source.fileName());
    if (copyModel) {
        const QString sourcePath = QDir::cleanPath(source.absoluteFilePath());
        if (sourcePath != QDir::cleanPath(packagedModel)) {
            if (QFileInfo::exists(packagedModel) || QFileInfo(packagedModel).isSymLink()) {
                throwRuntimeError(
                    QStringLiteral("AI model package target already exists: %1").arg(packagedModel));
            }
            if (!QFile::copy(sourcePath, packagedModel)) {
                throwRuntimeError(
                    QStringLiteral("Could not copy AI model into package: %1").arg(packagedModel));
            }
        }
    } else if (QDir::cleanPath(source.absolutePath()).compare(QDir::cleanPath(target), Qt::CaseInsensitive) !=
               0) {
        throwRuntimeError(
            QStringLiteral("An AI model package must keep its model file inside the package directory."));
    }

    written.modelPath = source.fileName();
    written.modelSha256 = hashModelFile(packagedModel);
    AiModelManifestWriter::toFile(written, QDir(target).filePath(QString::fromLatin1(ManifestFileName)));
    return open(target);
}

}  // namespace Tarnivale::AI
