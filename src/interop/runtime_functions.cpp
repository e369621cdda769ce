// The synchronous functions about the runtime and model packages, and the string and error functions.

#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/models.h>

#include "interop/interop_frame.h"
#include "interop/returned_strings.h"

#include <QJsonArray>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Interop;

namespace {

QJsonArray providerNames(const QList<AiExecutionProvider>& providers) {
    QJsonArray names;
    for (const AiExecutionProvider provider : providers) {
        names.append(aiExecutionProviderName(provider));
    }
    return names;
}

QJsonArray stringArray(const QList<QString>& values) {
    return QJsonArray::fromStringList(values);
}

QJsonArray tensorArray(const QList<AiTensorSpec>& tensors) {
    QJsonArray array;
    for (const AiTensorSpec& tensor : tensors) {
        QJsonArray shape;
        for (const std::int64_t dimension : tensor.shape) {
            shape.append(static_cast<qint64>(dimension));
        }
        array.append(QJsonObject{{QStringLiteral("name"), tensor.name},
                                 {QStringLiteral("dataType"), aiTensorDataTypeName(tensor.dataType)},
                                 {QStringLiteral("layout"), aiTensorLayoutName(tensor.layout)},
                                 {QStringLiteral("shape"), shape}});
    }
    return array;
}

}  // namespace

extern "C" {

TarnivaleAI_Char* TarnivaleAI_GetAvailableProvidersJson(void) {
    return runJsonFunction([] {
        return QJsonObject{{QStringLiteral("providers"), providerNames(AiSession::availableProviders())}};
    });
}

TarnivaleAI_Char* TarnivaleAI_GetRuntimeDiagnosticsJson(const TarnivaleAI_Char* requestJson) {
    return runJsonFunction([requestJson] {
        const QJsonObject request = parseRequest(requestJson);
        const AiSessionOptions options = readSessionOptions(request);
        const qint64 budget = request.value(QStringLiteral("memoryBudgetBytes")).toInteger(0);
        const AiRuntimeDiagnostics d =
            AiSession::diagnostics(request.value(QStringLiteral("modelPath")).toString(), options, budget);
        return QJsonObject{
            {QStringLiteral("ready"), d.ready()},
            {QStringLiteral("runtimeVersion"), d.runtimeVersion},
            {QStringLiteral("runtimeLibraryPath"), d.runtimeLibraryPath},
            {QStringLiteral("requestedProvider"), aiExecutionProviderName(d.requestedProvider)},
            {QStringLiteral("selectedProvider"), aiExecutionProviderName(d.selectedProvider)},
            {QStringLiteral("availableProviders"), providerNames(d.availableProviders)},
            {QStringLiteral("requiredLibraries"), stringArray(d.requiredLibraries)},
            {QStringLiteral("missingLibraries"), stringArray(d.missingLibraries)},
            {QStringLiteral("modelPath"), d.modelPath},
            {QStringLiteral("modelSha256"), d.modelSha256},
            {QStringLiteral("modelCompatible"), d.modelCompatible},
            {QStringLiteral("projDataPath"), d.projDataPath},
            {QStringLiteral("gdalDataPath"), d.gdalDataPath},
            {QStringLiteral("memoryBudgetBytes"), static_cast<qint64>(d.memoryBudgetBytes)},
            {QStringLiteral("isolatedWorker"), d.isolatedWorker},
            {QStringLiteral("warnings"), stringArray(d.warnings)},
            {QStringLiteral("errors"), stringArray(d.errors)},
        };
    });
}

TarnivaleAI_Char* TarnivaleAI_InspectModelPackageJson(const TarnivaleAI_Char* packageDirectory) {
    return runJsonFunction([packageDirectory] {
        const AiModelPackage package = AiModelPackage::open(requireText(packageDirectory));
        const QList<QString> errors = package.validationErrors();
        const AiModelInspection inspection = AiModelInspector::inspect(package.modelPath());
        // The manifest's JSON form is built directly: an invalid package is reported, not refused.
        QJsonObject manifest;
        try {
            manifest = AiModelManifestWriter::toJsonObject(package.manifest());
        } catch (const std::invalid_argument&) {
            manifest = QJsonObject{};
        }
        return QJsonObject{
            {QStringLiteral("directoryPath"), package.directoryPath()},
            {QStringLiteral("manifestPath"), package.manifestPath()},
            {QStringLiteral("modelPath"), package.modelPath()},
            {QStringLiteral("modelSha256"), inspection.modelSha256},
            {QStringLiteral("valid"), errors.isEmpty()},
            {QStringLiteral("validationErrors"), stringArray(errors)},
            {QStringLiteral("inputs"), tensorArray(inspection.inputs)},
            {QStringLiteral("outputs"), tensorArray(inspection.outputs)},
            {QStringLiteral("providers"), providerNames(inspection.availableProviders)},
            {QStringLiteral("warnings"), stringArray(inspection.warnings)},
            {QStringLiteral("error"), inspection.error},
            {QStringLiteral("manifest"), manifest},
        };
    });
}

TarnivaleAI_Char* TarnivaleAI_GetLastError(void) {
    return lastErrorCopy();
}

void TarnivaleAI_FreeString(void* text) {
    freeLibraryString(text);
}

}  // extern "C"
