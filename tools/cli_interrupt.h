#pragma once

// Ctrl-C. SIGINT (and SIGTERM) are blocked in every thread and taken by one watcher thread, so that a
// signal never lands inside the library. Commands that can stop cleanly poll interrupted(); the others
// choose to end the process at once.

namespace Tarnivale::Cli {

enum class InterruptMode {
    Flag,     ///< record the interruption; the command polls and stops cleanly
    ExitNow,  ///< print "Interrupted." and end the process with status 130
};

/// Call first in main, before any other thread exists.
void watchInterrupts();
void setInterruptMode(InterruptMode mode);
bool interrupted();

}  // namespace Tarnivale::Cli
