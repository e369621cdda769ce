// providers, diagnostics, inspect: what this installation and a model package look like.

#include "cli_arguments.h"
#include "cli_library.h"
#include "cli_output.h"
#include "commands.h"

#include <tarnivale/ai/interop.h>

#include <QJsonArray>

namespace Tarnivale::Cli {

const char* const ProvidersHelp =
    "Usage: tarnivale-ai providers [--json]\n"
    "\n"
    "Lists the ONNX Runtime execution providers this installation offers.\n";

const char* const DiagnosticsHelp =
    "Usage: tarnivale-ai diagnostics [--model M.onnx] [--provider P] [--memory-budget BYTES] [--json]\n"
    "\n"
    "Checks the runtime, the provider's libraries and, with --model, whether the model loads.\n";

const char* const InspectHelp =
    "Usage: tarnivale-ai inspect PACKAGE_DIR [--json]\n"
    "\n"
    "Shows a model package: its manifest, validation result, model inputs and outputs, input adapters and\n"
    "output decoders (the first decoder is what `run` applies by default).\n";

namespace {

QString joined(const QJsonArray& array, const QString& separator = QStringLiteral(", ")) {
    QStringList parts;
    for (const QJsonValue& value : array) {
        parts.append(value.toString());
    }
    return parts.join(separator);
}

QString tensors(const QJsonArray& array) {
    QStringList parts;
    for (const QJsonValue& value : array) {
        const QJsonObject tensor = value.toObject();
        QStringList dimensions;
        for (const QJsonValue& dimension : tensor.value(QStringLiteral("shape")).toArray()) {
            const qint64 size = dimension.toInteger();
            dimensions.append(size < 0 ? QStringLiteral("?") : QString::number(size));
        }
        parts.append(QStringLiteral("%1 %2[%3]")
                         .arg(tensor.value(QStringLiteral("name")).toString(),
                              tensor.value(QStringLiteral("dataType")).toString(), dimensions.join(u',')));
    }
    return parts.join(QStringLiteral(", "));
}

// "x <- raster bands 1,1,1; ..." for each input adapter of the manifest.
QString adapters(const QJsonArray& array) {
    QStringList parts;
    for (const QJsonValue& value : array) {
        const QJsonObject adapter = value.toObject();
        QStringList bands;
        for (const QJsonValue& band : adapter.value(QStringLiteral("bands")).toArray()) {
            bands.append(QString::number(band.toInteger()));
        }
        parts.append(QStringLiteral("%1 <- %2 bands %3")
                         .arg(adapter.value(QStringLiteral("tensor")).toString(),
                              adapter.value(QStringLiteral("source")).toString(), bands.join(u',')));
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral("; "));
}

// "id (tensor, activation, threshold T); ..." for each output decoder; the first is the run's default.
QString decoders(const QJsonArray& array) {
    QStringList parts;
    for (const QJsonValue& value : array) {
        const QJsonObject decoder = value.toObject();
        parts.append(QStringLiteral("%1 (%2, %3, threshold %4)")
                         .arg(decoder.value(QStringLiteral("id")).toString(),
                              decoder.value(QStringLiteral("tensor")).toString(),
                              decoder.value(QStringLiteral("activation")).toString())
                         .arg(decoder.value(QStringLiteral("threshold")).toDouble()));
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral("; "));
}

}  // namespace

int providersCommand(const QStringList& arguments) {
    if (helpRequested(arguments, ProvidersHelp)) {
        return 0;
    }
    const Arguments options(arguments, {}, {});
    options.expectOperands(0);
    const QJsonObject result = takeJson(TarnivaleAI_GetAvailableProvidersJson());
    if (options.flag(QStringLiteral("json"))) {
        printJson(result);
    } else {
        for (const QJsonValue& provider : result.value(QStringLiteral("providers")).toArray()) {
            printLine(provider.toString());
        }
    }
    return 0;
}

int diagnosticsCommand(const QStringList& arguments) {
    if (helpRequested(arguments, DiagnosticsHelp)) {
        return 0;
    }
    const Arguments options(
        arguments, {QStringLiteral("model"), QStringLiteral("provider"), QStringLiteral("memory-budget")},
        {});
    options.expectOperands(0);
    QJsonObject request;
    if (options.has(QStringLiteral("model"))) {
        request.insert(QStringLiteral("modelPath"), options.value(QStringLiteral("model")));
    }
    if (options.has(QStringLiteral("provider"))) {
        request.insert(QStringLiteral("provider"), options.value(QStringLiteral("provider")));
    }
    if (options.has(QStringLiteral("memory-budget"))) {
        request.insert(QStringLiteral("memoryBudgetBytes"),
                       options.integer(QStringLiteral("memory-budget"), 0, 2147483647));
    }
    const std::u16string text = wide(request);
    const QJsonObject result = takeJson(TarnivaleAI_GetRuntimeDiagnosticsJson(text.c_str()));
    if (options.flag(QStringLiteral("json"))) {
        printJson(result);
    } else {
        printLine(QStringLiteral("ready:              %1")
                      .arg(result.value(QStringLiteral("ready")).toBool() ? "yes" : "no"));
        printLine(QStringLiteral("runtime:            %1 (%2)")
                      .arg(result.value(QStringLiteral("runtimeVersion")).toString(),
                           result.value(QStringLiteral("runtimeLibraryPath")).toString()));
        printLine(QStringLiteral("provider:           %1 (requested %2)")
                      .arg(result.value(QStringLiteral("selectedProvider")).toString(),
                           result.value(QStringLiteral("requestedProvider")).toString()));
        printLine(QStringLiteral("available:          %1")
                      .arg(joined(result.value(QStringLiteral("availableProviders")).toArray())));
        if (!result.value(QStringLiteral("modelPath")).toString().isEmpty()) {
            printLine(QStringLiteral("model:              %1 (compatible: %2)")
                          .arg(result.value(QStringLiteral("modelPath")).toString(),
                               result.value(QStringLiteral("modelCompatible")).toBool() ? "yes" : "no"));
        }
        printLine(QStringLiteral("missing libraries:  %1")
                      .arg(joined(result.value(QStringLiteral("missingLibraries")).toArray())));
        for (const QJsonValue& warning : result.value(QStringLiteral("warnings")).toArray()) {
            printLine(QStringLiteral("warning:            %1").arg(warning.toString()));
        }
        for (const QJsonValue& error : result.value(QStringLiteral("errors")).toArray()) {
            printLine(QStringLiteral("error:              %1").arg(error.toString()));
        }
    }
    return 0;
}

int inspectCommand(const QStringList& arguments) {
    if (helpRequested(arguments, InspectHelp)) {
        return 0;
    }
    const Arguments options(arguments, {}, {});
    options.expectOperands(1);
    const std::u16string directory = wide(options.operands().front());
    const QJsonObject result = takeJson(TarnivaleAI_InspectModelPackageJson(directory.c_str()));
    if (options.flag(QStringLiteral("json"))) {
        printJson(result);
        return 0;
    }
    const QJsonObject manifest = result.value(QStringLiteral("manifest")).toObject();
    printLine(QStringLiteral("package:  %1").arg(result.value(QStringLiteral("directoryPath")).toString()));
    printLine(QStringLiteral("model:    %1 %2")
                  .arg(manifest.value(QStringLiteral("id")).toString(),
                       manifest.value(QStringLiteral("version")).toString()));
    printLine(QStringLiteral("file:     %1").arg(result.value(QStringLiteral("modelPath")).toString()));
    printLine(QStringLiteral("sha256:   %1").arg(result.value(QStringLiteral("modelSha256")).toString()));
    printLine(QStringLiteral("inputs:   %1").arg(tensors(result.value(QStringLiteral("inputs")).toArray())));
    printLine(QStringLiteral("outputs:  %1").arg(tensors(result.value(QStringLiteral("outputs")).toArray())));
    printLine(QStringLiteral("adapters: %1")
                  .arg(adapters(manifest.value(QStringLiteral("inputAdapters")).toArray())));
    printLine(QStringLiteral("decoders: %1")
                  .arg(decoders(manifest.value(QStringLiteral("outputDecoders")).toArray())));
    const bool valid = result.value(QStringLiteral("valid")).toBool();
    printLine(QStringLiteral("valid:    %1").arg(valid ? "yes" : "no"));
    for (const QJsonValue& error : result.value(QStringLiteral("validationErrors")).toArray()) {
        printLine(QStringLiteral("  %1").arg(error.toString()));
    }
    return 0;
}

}  // namespace Tarnivale::Cli
