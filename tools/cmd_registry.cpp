// registry resolve / install / sign: a signed model registry index through the library's registry
// functions. Installation reads an offline mirror only; the command line has no network client.

#include "cli_arguments.h"
#include "cli_errors.h"
#include "cli_library.h"
#include "cli_output.h"
#include "commands.h"

#include <tarnivale/ai/interop.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

namespace Tarnivale::Cli {

const char* const RegistryResolveHelp =
    "Usage: tarnivale-ai registry resolve --index SIGNED.json --key-base64 KEY --id ID --sdk VERSION\n"
    "                                     [--version VERSION]\n"
    "\n"
    "Verifies the index's HMAC-SHA-256 signature with KEY (Base64) and prints, as JSON, the entry of ID "
    "with\n"
    "the highest version (or exactly VERSION) whose SDK range includes VERSION.\n";

const char* const RegistryInstallHelp =
    "Usage: tarnivale-ai registry install --index SIGNED.json --key-base64 KEY --id ID --sdk VERSION\n"
    "                                     [--version VERSION] --mirror DIR --destination DIR\n"
    "                                     [--max-bytes N] [--json]\n"
    "\n"
    "Resolves like 'registry resolve', then copies the entry's artifact (ID-VERSION.tvmodel) from the "
    "offline\n"
    "mirror DIR into the destination, refusing it when it is larger than N bytes or its SHA-256 differs "
    "from\n"
    "the index's. A file already installed is replaced only by a complete, verified artifact. Offline only:\n"
    "no network fetcher is built in, so an artifact missing from the mirror is an error.\n";

const char* const RegistrySignHelp =
    "Usage: tarnivale-ai registry sign --entries ENTRIES.json --key-base64 KEY\n"
    "\n"
    "For publishers: prints the signed index of the entries (a JSON array of entry objects, or an index\n"
    "whose \"entries\" are re-signed) under KEY (Base64). Entry keys: id, version, artifactUrl,\n"
    "artifactSha256, license, licenseUrl, minimumSdkVersion, maximumSdkVersion.\n";

namespace {

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw Failure("Cannot read " + path.toStdString());
    }
    return file.readAll();
}

// Strictly Base64, so that a mistyped key is reported as such rather than as a failed signature.
QString keyBase64(const Arguments& options) {
    const QString key = options.required(QStringLiteral("key-base64"));
    const auto decoded =
        QByteArray::fromBase64Encoding(key.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.isEmpty()) {
        throw UsageError("--key-base64 must be a non-empty Base64 text");
    }
    return key;
}

const std::set<QString> ResolveOptions = {QStringLiteral("index"), QStringLiteral("key-base64"),
                                          QStringLiteral("id"), QStringLiteral("sdk"),
                                          QStringLiteral("version")};

QJsonObject resolveRequest(const Arguments& options) {
    options.expectOperands(0);
    return QJsonObject{
        {QStringLiteral("trustedKeyBase64"), keyBase64(options)},
        {QStringLiteral("signedIndex"),
         QString::fromUtf8(fileBytes(options.required(QStringLiteral("index"))))},
        {QStringLiteral("id"), options.required(QStringLiteral("id"))},
        {QStringLiteral("sdkVersion"), options.required(QStringLiteral("sdk"))},
        {QStringLiteral("version"), options.value(QStringLiteral("version"))},
    };
}

QJsonObject parsed(const QString& answer) {
    return QJsonDocument::fromJson(answer.toUtf8()).object();
}

}  // namespace

int registryResolveCommand(const QStringList& arguments) {
    if (helpRequested(arguments, RegistryResolveHelp)) {
        return 0;
    }
    const Arguments options(arguments, ResolveOptions, {});
    printJson(parsed(callRegistry(&TarnivaleAiModelRegistry_ResolveJson, resolveRequest(options))));
    return 0;
}

int registryInstallCommand(const QStringList& arguments) {
    if (helpRequested(arguments, RegistryInstallHelp)) {
        return 0;
    }
    std::set<QString> valued = ResolveOptions;
    valued.insert({QStringLiteral("mirror"), QStringLiteral("destination"), QStringLiteral("max-bytes")});
    const Arguments options(arguments, valued, {});
    QJsonObject request = resolveRequest(options);
    request.insert(QStringLiteral("offlineMirrorDirectory"),
                   QFileInfo(options.required(QStringLiteral("mirror"))).absoluteFilePath());
    request.insert(QStringLiteral("destinationDirectory"),
                   QFileInfo(options.required(QStringLiteral("destination"))).absoluteFilePath());
    if (options.has(QStringLiteral("max-bytes"))) {
        bool ok = false;
        const qint64 budget = options.value(QStringLiteral("max-bytes")).toLongLong(&ok);
        if (!ok || budget < 1) {
            throw UsageError("--max-bytes must be a positive whole number of bytes");
        }
        request.insert(QStringLiteral("maximumBytes"), budget);
    }
    const QJsonObject installed = parsed(callRegistry(&TarnivaleAiModelRegistry_InstallJson, request));
    if (options.flag(QStringLiteral("json"))) {
        printJson(installed);
        return 0;
    }
    printLine(QStringLiteral("Installed %1 %2 from the offline mirror: %3 (%4 bytes, sha256 %5)")
                  .arg(installed.value(QStringLiteral("id")).toString(),
                       installed.value(QStringLiteral("version")).toString(),
                       installed.value(QStringLiteral("installedPath")).toString())
                  .arg(installed.value(QStringLiteral("byteCount")).toInteger())
                  .arg(installed.value(QStringLiteral("sha256")).toString()));
    return 0;
}

int registrySignCommand(const QStringList& arguments) {
    if (helpRequested(arguments, RegistrySignHelp)) {
        return 0;
    }
    const Arguments options(arguments, {QStringLiteral("entries"), QStringLiteral("key-base64")}, {});
    options.expectOperands(0);
    const QString key = keyBase64(options);
    const QString path = options.required(QStringLiteral("entries"));
    const QJsonDocument document = QJsonDocument::fromJson(fileBytes(path));
    if (!document.isArray() && !document.isObject()) {
        throw Failure("Entries are not a JSON array or index: " + path.toStdString());
    }
    const QJsonArray entries =
        document.isArray() ? document.array() : document.object().value(QStringLiteral("entries")).toArray();
    const QString index = callRegistry(
        &TarnivaleAiModelRegistry_SignJson,
        QJsonObject{{QStringLiteral("signingKeyBase64"), key}, {QStringLiteral("entries"), entries}});
    printLine(index);
    return 0;
}

}  // namespace Tarnivale::Cli
