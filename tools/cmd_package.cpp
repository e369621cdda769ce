// package create / package check: a model package is a directory holding "tarnivale-model.json" and the
// model it names, with the model's SHA-256 recorded in the manifest.

#include "cli_arguments.h"
#include "cli_errors.h"
#include "cli_library.h"
#include "cli_output.h"
#include "commands.h"

#include <tarnivale/ai/interop.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace Tarnivale::Cli {

const char* const PackageCreateHelp =
    "Usage: tarnivale-ai package create --manifest M.json --model M.onnx --output DIR [--json]\n"
    "\n"
    "Makes a model package: copies the model into DIR (a new or empty directory), records its file name\n"
    "and SHA-256 in the manifest, writes DIR/tarnivale-model.json and checks the result.\n";

const char* const PackageCheckHelp =
    "Usage: tarnivale-ai package check DIR [--json]\n"
    "\n"
    "Validates a model package (manifest rules, model file, digest); exits with 1 and the first problem\n"
    "when it is not valid.\n";

namespace {

constexpr const char* ManifestFileName = "tarnivale-model.json";

QByteArray sha256Hex(const QString& path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
        throw Failure("Cannot read model file: " + path.toStdString());
    }
    return hash.result().toHex();
}

QJsonObject inspect(const QString& directory) {
    const std::u16string path = wide(QFileInfo(directory).absoluteFilePath());
    return takeJson(TarnivaleAI_InspectModelPackageJson(path.c_str()));
}

void failWhenInvalid(const QJsonObject& inspection) {
    if (!inspection.value(QStringLiteral("valid")).toBool()) {
        const QJsonArray errors = inspection.value(QStringLiteral("validationErrors")).toArray();
        throw Failure(errors.isEmpty() ? std::string("Model package is not valid.")
                                       : errors.first().toString().toStdString());
    }
}

void printPackage(const QJsonObject& inspection, const char* verb) {
    const QJsonObject manifest = inspection.value(QStringLiteral("manifest")).toObject();
    printLine(QStringLiteral("%1 %2: %3 %4, model %5 (sha256 %6)")
                  .arg(QLatin1String(verb), inspection.value(QStringLiteral("directoryPath")).toString(),
                       manifest.value(QStringLiteral("id")).toString(),
                       manifest.value(QStringLiteral("version")).toString(),
                       QFileInfo(inspection.value(QStringLiteral("modelPath")).toString()).fileName(),
                       inspection.value(QStringLiteral("modelSha256")).toString()));
}

}  // namespace

int packageCreateCommand(const QStringList& arguments) {
    if (helpRequested(arguments, PackageCreateHelp)) {
        return 0;
    }
    const Arguments options(
        arguments, {QStringLiteral("manifest"), QStringLiteral("model"), QStringLiteral("output")}, {});
    options.expectOperands(0);
    const QString manifestPath = options.required(QStringLiteral("manifest"));
    const QString modelPath = options.required(QStringLiteral("model"));
    const QDir output(QFileInfo(options.required(QStringLiteral("output"))).absoluteFilePath());

    QFile manifestFile(manifestPath);
    if (!manifestFile.open(QIODevice::ReadOnly)) {
        throw Failure("Cannot read manifest: " + manifestPath.toStdString());
    }
    const QJsonDocument document = QJsonDocument::fromJson(manifestFile.readAll());
    if (!document.isObject()) {
        throw Failure("Manifest is not a JSON object: " + manifestPath.toStdString());
    }
    if (!QFileInfo(modelPath).isFile()) {
        throw Failure("Model file does not exist: " + modelPath.toStdString());
    }
    if (output.exists() && !output.isEmpty()) {
        throw Failure("Package directory is not empty: " + output.path().toStdString());
    }
    if (!QDir().mkpath(output.path())) {
        throw Failure("Cannot create package directory: " + output.path().toStdString());
    }

    const QString modelName = QFileInfo(modelPath).fileName();
    const QString copiedModel = output.absoluteFilePath(modelName);
    if (!QFile::copy(modelPath, copiedModel)) {
        throw Failure("Cannot copy the model into the package: " + copiedModel.toStdString());
    }
    QJsonObject manifest = document.object();
    manifest.insert(QStringLiteral("modelPath"), modelName);
    manifest.insert(QStringLiteral("modelSha256"), QString::fromLatin1(sha256Hex(copiedModel)));
    QSaveFile target(output.absoluteFilePath(QLatin1String(ManifestFileName)));
    if (!target.open(QIODevice::WriteOnly) ||
        target.write(QJsonDocument(manifest).toJson(QJsonDocument::Indented)) < 0 || !target.commit()) {
        throw Failure("Cannot write the package manifest in " + output.path().toStdString());
    }

    const QJsonObject inspection = inspect(output.path());
    if (!inspection.value(QStringLiteral("valid")).toBool()) {
        // Nothing half-made stays behind: the directory was new or empty.
        QFile::remove(output.absoluteFilePath(QLatin1String(ManifestFileName)));
        QFile::remove(copiedModel);
        failWhenInvalid(inspection);
    }
    if (options.flag(QStringLiteral("json"))) {
        printJson(inspection);
    } else {
        printPackage(inspection, "Created");
    }
    return 0;
}

int packageCheckCommand(const QStringList& arguments) {
    if (helpRequested(arguments, PackageCheckHelp)) {
        return 0;
    }
    const Arguments options(arguments, {}, {});
    options.expectOperands(1);
    const QJsonObject inspection = inspect(options.operands().front());
    if (options.flag(QStringLiteral("json"))) {
        printJson(inspection);
    }
    failWhenInvalid(inspection);
    if (!options.flag(QStringLiteral("json"))) {
        printPackage(inspection, "Valid");
    }
    return 0;
}

}  // namespace Tarnivale::Cli
