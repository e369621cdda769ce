#include "sam3/sam3_package_paths.h"

#include "runtime/errors.h"

#include <QDir>
#include <QFileInfo>

namespace Tarnivale::AI::Sam3 {

namespace {

bool isUnsafe(const QString& path) {
    if (path.isEmpty() || !QDir::isRelativePath(path) || path.contains(QLatin1Char('\\')) ||
        path.contains(QLatin1Char(':')) || path != QDir::cleanPath(path)) {
        return true;
    }
    const QList<QString> segments = path.split(QLatin1Char('/'));
    return segments.contains(QStringLiteral(".."));
}

}  // namespace

QString resolvePackagePath(const QString& rootDirectory, const QString& relativePath) {
    if (isUnsafe(relativePath)) {
        throwInvalidArgument(QStringLiteral("Unsafe SAM3 package path: %1").arg(relativePath));
    }
    const QString candidate = QFileInfo(rootDirectory + QLatin1Char('/') + relativePath).canonicalFilePath();
    if (candidate.isEmpty() || !QFileInfo(candidate).isFile() ||
        !candidate.startsWith(rootDirectory + QLatin1Char('/'), Qt::CaseInsensitive)) {
        throwInvalidArgument(
            QStringLiteral("SAM3 file is missing or escapes the package: %1").arg(relativePath));
    }
    return candidate;
}

}  // namespace Tarnivale::AI::Sam3
