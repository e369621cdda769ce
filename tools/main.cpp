// tarnivale-ai: the command-line front end, a host of the library's flat C functions.

#include "cli_errors.h"
#include "cli_interrupt.h"
#include "commands.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <exception>
#include <iterator>

using namespace Tarnivale::Cli;

namespace {

const Command Commands[] = {
    {"providers", "list the execution providers", ProvidersHelp, &providersCommand},
    {"diagnostics", "check the runtime, a provider and a model", DiagnosticsHelp, &diagnosticsCommand},
    {"inspect", "show a model package", InspectHelp, &inspectCommand},
    {"run", "run a raster inference", RunHelp, &runCommand},
    {"detect", "detect objects in a raster", DetectHelp, &detectCommand},
    {"task", "run a built-in task and export its results", TaskHelp, &taskCommand},
    {"package create", "make a model package", PackageCreateHelp, &packageCreateCommand},
    {"package check", "validate a model package", PackageCheckHelp, &packageCheckCommand},
    {"catalog", "query a catalogue", CatalogHelp, &catalogCommand},
    {"registry resolve", "pick an entry of a signed model registry", RegistryResolveHelp,
     &registryResolveCommand},
    {"registry install", "install a registry model from an offline mirror", RegistryInstallHelp,
     &registryInstallCommand},
    {"registry sign", "sign a model registry index (publishers)", RegistrySignHelp, &registrySignCommand},
};

void printUsage(std::FILE* stream) {
    std::fputs("Usage: tarnivale-ai COMMAND [ARGUMENTS] [--json]\n\nCommands:\n", stream);
    for (const Command& command : Commands) {
        std::fprintf(stream, "  %-16s %s\n", command.name, command.summary);
    }
    std::fputs(
        "\n'tarnivale-ai COMMAND --help' describes a command. Exit status: 0 success, 1 failure,\n"
        "2 usage error, 130 interrupted.\n",
        stream);
}

int usageError(const QString& command, const char* message) {
    std::fprintf(stderr, "tarnivale-ai: %s\n", message);
    if (command.isEmpty()) {
        std::fputs("Try 'tarnivale-ai --help'.\n", stderr);
    } else {
        std::fprintf(stderr, "Try 'tarnivale-ai %s --help'.\n", command.toUtf8().constData());
    }
    return ExitUsage;
}

}  // namespace

namespace Tarnivale::Cli {
bool helpRequested(const QStringList& arguments, const char* help) {
    if (!arguments.contains(QStringLiteral("--help"))) {
        return false;
    }
    std::fputs(help, stdout);
    return true;
}
}  // namespace Tarnivale::Cli

int main(int argc, char** argv) {
    watchInterrupts();
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.isEmpty()) {
        printUsage(stderr);
        return ExitUsage;
    }
    if (arguments.front() == QLatin1String("--help") || arguments.front() == QLatin1String("help")) {
        printUsage(stdout);
        return ExitSuccess;
    }

    QString name = arguments.takeFirst();
    if (name == QLatin1String("package") || name == QLatin1String("registry")) {
        if (arguments.isEmpty() || arguments.front().startsWith(QLatin1String("--"))) {
            return usageError(name, name == QLatin1String("package")
                                        ? "package needs a subcommand: create or check"
                                        : "registry needs a subcommand: resolve, install or sign");
        }
        name += QLatin1Char(' ') + arguments.takeFirst();
    }
    const Command* command = nullptr;
    for (const Command& candidate : Commands) {
        if (name == QLatin1String(candidate.name)) {
            command = &candidate;
        }
    }
    if (command == nullptr) {
        return usageError(QString(), QStringLiteral("unknown command '%1'").arg(name).toUtf8().constData());
    }
    try {
        return command->run(arguments);
    } catch (const UsageError& error) {
        return usageError(name, error.what());
    } catch (const Interrupted& error) {
        std::fprintf(stderr, "tarnivale-ai: %s\n", error.what());
        return ExitInterrupted;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tarnivale-ai: %s\n", error.what());
        return ExitFailure;
    }
}
