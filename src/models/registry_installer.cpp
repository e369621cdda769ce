// Installing a registry artifact: from the offline mirror when it holds the file, else through the host's
// fetcher; the byte budget and the SHA-256 are checked before anything is written, and the file appears
// under its final name only complete (QSaveFile), so a file installed earlier survives every failure.

#include <tarnivale/ai/models.h>

#include "models/registry_entry.h"
#include "runtime/errors.h"
#include "runtime/sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace Tarnivale::AI {

namespace {

[[noreturn]] void refuseBudget() {
    throwRuntimeError(QStringLiteral("Model artifact exceeds byte budget"));
}

// The mirror file read whole. A symbolic link is read through (mirrors are often links into a shared store):
// the checksum, not the path, vouches for the bytes. Only regular files are read, as a FIFO or a device would
// block or never end; a file larger than the budget is refused before it is read into memory.
QByteArray readMirrorFile(const QString& path, std::int64_t maximumBytes) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        throwRuntimeError(QStringLiteral("Could not read model artifact: %1").arg(path));
    }
    if (maximumBytes > 0 && file.size() > maximumBytes) {
        refuseBudget();
    }
    // At most one byte past the budget: a file growing while it is read still cannot exhaust memory.
    const QByteArray bytes = maximumBytes > 0 ? file.read(maximumBytes + 1) : file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throwRuntimeError(QStringLiteral("Could not read model artifact: %1").arg(path));
    }
    return bytes;
}

}  // namespace

AiModelInstallResult AiModelRegistryInstaller::install(const AiModelRegistryEntry& entry,
                                                       const AiModelInstallOptions& options,
                                                       const AiModelArtifactFetcher& fetcher) {
    validateRegistryEntry(entry);
    if (options.destinationDirectory.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("Model destination directory is required"));
    }

    AiModelInstallResult result;
    QByteArray bytes;
    const QString mirrorFile = QDir(options.offlineMirrorDirectory).filePath(entry.artifactFileName());
    if (!options.offlineMirrorDirectory.isEmpty() && QFileInfo::exists(mirrorFile)) {
        bytes = readMirrorFile(mirrorFile, options.maximumBytes);
        result.source = QStringLiteral("offline-mirror");
    } else if (options.offlineOnly) {
        throwRuntimeError(QStringLiteral("Model is absent from the offline mirror"));
    } else if (!fetcher) {
        throwInvalidArgument(QStringLiteral("Online model artifact fetcher is required"));
    } else {
        bytes = fetcher(entry.artifactUrl);
        result.source = QStringLiteral("online");
    }

    if (options.maximumBytes > 0 && bytes.size() > options.maximumBytes) {
        refuseBudget();
    }
    result.sha256 = Sha256::hex(bytes);
    if (result.sha256 != entry.artifactSha256) {
        throwRuntimeError(QStringLiteral("Model artifact checksum mismatch"));
    }

    const QDir destination(options.destinationDirectory);
    if (!QDir().mkpath(destination.path())) {
        throwRuntimeError(QStringLiteral("Could not create model destination directory"));
    }
    result.installedPath = destination.filePath(entry.artifactFileName());
    QSaveFile target(result.installedPath);
    if (!target.open(QIODevice::WriteOnly) || target.write(bytes) != bytes.size() || !target.commit()) {
        throwRuntimeError(QStringLiteral("Could not atomically install model artifact"));
    }
    result.byteCount = bytes.size();
    return result;
}

}  // namespace Tarnivale::AI
