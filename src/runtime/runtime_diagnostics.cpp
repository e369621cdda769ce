#include <tarnivale/ai/runtime.h>

#include "runtime/sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <onnxruntime_c_api.h>

#include <dlfcn.h>

namespace Tarnivale::AI {

namespace {

// The file the dynamic loader mapped OrtGetApiBase from: the runtime actually in use, wherever it lies.
QString loadedRuntimeLibraryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&OrtGetApiBase), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return QFileInfo(QFile::decodeName(info.dli_fname)).canonicalFilePath();
}

// This platform's file names of what each provider needs beside the runtime library.
QList<QString> requiredLibrariesFor(AiExecutionProvider provider) {
    QList<QString> libraries{QStringLiteral("libonnxruntime.so.1")};
    if (provider == AiExecutionProvider::Cuda) {
        libraries << QStringLiteral("libonnxruntime_providers_shared.so")
                  << QStringLiteral("libonnxruntime_providers_cuda.so");
    } else if (provider == AiExecutionProvider::DirectML) {
        libraries << QStringLiteral("DirectML.dll");  // there is no build of it for this platform
    }
    return libraries;
}

}  // namespace

AiRuntimeDiagnostics AiSession::diagnostics(const QString& modelPath, const AiSessionOptions& options,
                                            std::int64_t memoryBudgetBytes) {
    AiRuntimeDiagnostics report;
    report.runtimeVersion = runtimeVersion();
    report.requestedProvider = options.provider;
    report.selectedProvider =
        options.provider == AiExecutionProvider::Auto ? AiExecutionProvider::Cpu : options.provider;
    report.availableProviders = availableProviders();
    report.modelPath = modelPath.isEmpty() ? QString() : QFileInfo(modelPath).absoluteFilePath();
    report.memoryBudgetBytes = memoryBudgetBytes;
    report.projDataPath = qEnvironmentVariable("PROJ_DATA");
    report.gdalDataPath = qEnvironmentVariable("GDAL_DATA");

    report.runtimeLibraryPath = loadedRuntimeLibraryPath();
    report.requiredLibraries = requiredLibrariesFor(report.selectedProvider);
    const QDir runtimeDirectory = QFileInfo(report.runtimeLibraryPath).dir();
    for (const QString& library : report.requiredLibraries) {
        if (report.runtimeLibraryPath.isEmpty() || !QFileInfo(runtimeDirectory.filePath(library)).isFile()) {
            report.missingLibraries.append(library);
        }
    }

    if (!isProviderAvailable(report.selectedProvider)) {
        report.errors.append(QStringLiteral("Requested provider is unavailable: %1")
                                 .arg(aiExecutionProviderName(report.selectedProvider)));
    }
    if (!report.missingLibraries.isEmpty()) {
        report.errors.append(QStringLiteral("Required runtime libraries are missing: %1")
                                 .arg(report.missingLibraries.join(QStringLiteral(", "))));
    }
    if (memoryBudgetBytes < 0) {
        report.errors.append(QStringLiteral("Memory budget must not be negative."));
    } else if (memoryBudgetBytes == 0) {
        report.warnings.append(QStringLiteral("Inference memory budget is unlimited."));
    }
    if (report.projDataPath.isEmpty()) {
        report.warnings.append(
            QStringLiteral("PROJ_DATA is not explicitly configured; runtime defaults will be used."));
    }
    if (report.gdalDataPath.isEmpty()) {
        report.warnings.append(
            QStringLiteral("GDAL_DATA is not explicitly configured; runtime defaults will be used."));
    }

    if (modelPath.trimmed().isEmpty()) {
        report.warnings.append(QStringLiteral("No model was supplied for compatibility inspection."));
        return report;
    }
    const Sha256FileResult digest = sha256File(report.modelPath);
    if (digest.error == Sha256FileError::Open) {
        report.errors.append(QStringLiteral("ONNX model file cannot be read: %1").arg(report.modelPath));
        return report;
    }
    report.modelSha256 = digest.hex;
    try {
        const AiSession session(modelPath, options);
        report.modelCompatible = true;
    } catch (const std::exception& error) {
        report.errors.append(
            QStringLiteral("Model compatibility check failed: %1").arg(QString::fromUtf8(error.what())));
    }
    return report;
}

}  // namespace Tarnivale::AI
