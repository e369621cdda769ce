// catalog: a catalogue query through TarnivaleAI_RunVlmCatalogQuery.

#include "cli_arguments.h"
#include "cli_errors.h"
#include "cli_library.h"
#include "cli_output.h"
#include "commands.h"

#include <tarnivale/ai/interop.h>

#include <QFile>
#include <QJsonArray>

namespace Tarnivale::Cli {

const char* const CatalogHelp =
    "Usage: tarnivale-ai catalog CATALOG.json QUERY.json [--json]\n"
    "\n"
    "Ranks the catalogue's items against the query.\n";

namespace {
std::u16string fileText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw Failure("Cannot read " + path.toStdString());
    }
    return wide(QString::fromUtf8(file.readAll()));
}
}  // namespace

int catalogCommand(const QStringList& arguments) {
    if (helpRequested(arguments, CatalogHelp)) {
        return 0;
    }
    const Arguments options(arguments, {}, {});
    options.expectOperands(2);
    const std::u16string catalog = fileText(options.operands()[0]);
    const std::u16string query = fileText(options.operands()[1]);
    const QJsonObject result = takeJson(TarnivaleAI_RunVlmCatalogQuery(catalog.c_str(), query.c_str()));
    if (options.flag(QStringLiteral("json"))) {
        printJson(result);
        return 0;
    }
    for (auto it = result.begin(); it != result.end(); ++it) {
        if (it.value().isArray()) {
            printLine(QStringLiteral("%1: %2 item(s)").arg(it.key()).arg(it.value().toArray().size()));
            for (const QJsonValue& item : it.value().toArray()) {
                const QJsonObject object = item.toObject();
                const QString id = object.contains(QStringLiteral("itemId"))
                                       ? object.value(QStringLiteral("itemId")).toString()
                                       : object.value(QStringLiteral("id")).toString();
                printLine(QStringLiteral("  %1").arg(id.isEmpty() ? QString::fromUtf8(compact(object)) : id));
            }
        } else {
            printLine(QStringLiteral("%1: %2").arg(it.key(), it.value().toVariant().toString()));
        }
    }
    return 0;
}

}  // namespace Tarnivale::Cli
