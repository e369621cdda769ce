#pragma once

// One function per subcommand; each returns the exit code or throws UsageError / Failure / Interrupted.
// Their help texts live next to them.

#include <QStringList>

namespace Tarnivale::Cli {

struct Command {
    const char* name;
    const char* summary;
    const char* help;
    int (*run)(const QStringList& arguments);
};

int providersCommand(const QStringList& arguments);
int diagnosticsCommand(const QStringList& arguments);
int inspectCommand(const QStringList& arguments);
int runCommand(const QStringList& arguments);
int detectCommand(const QStringList& arguments);
int taskCommand(const QStringList& arguments);
int packageCreateCommand(const QStringList& arguments);
int packageCheckCommand(const QStringList& arguments);
int catalogCommand(const QStringList& arguments);
int registryResolveCommand(const QStringList& arguments);
int registryInstallCommand(const QStringList& arguments);
int registrySignCommand(const QStringList& arguments);

extern const char* const ProvidersHelp;
extern const char* const DiagnosticsHelp;
extern const char* const InspectHelp;
extern const char* const RunHelp;
extern const char* const DetectHelp;
extern const char* const TaskHelp;
extern const char* const PackageCreateHelp;
extern const char* const PackageCheckHelp;
extern const char* const CatalogHelp;
extern const char* const RegistryResolveHelp;
extern const char* const RegistryInstallHelp;
extern const char* const RegistrySignHelp;

/// Prints the command's help and returns true when --help was given.
bool helpRequested(const QStringList& arguments, const char* help);

}  // namespace Tarnivale::Cli
