#include "cli_interrupt.h"

#include "cli_errors.h"

#include <pthread.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>

namespace Tarnivale::Cli {

namespace {
std::atomic<bool> g_interrupted{false};
std::atomic<InterruptMode> g_mode{InterruptMode::ExitNow};
}  // namespace

void watchInterrupts() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        for (;;) {
            int received = 0;
            if (sigwait(&signals, &received) != 0) {
                continue;
            }
            g_interrupted = true;
            if (g_mode == InterruptMode::ExitNow) {
                static const char text[] = "\nInterrupted.\n";
                [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text, sizeof text - 1);
                _exit(ExitInterrupted);
            }
        }
    }).detach();
}

void setInterruptMode(InterruptMode mode) {
    g_mode = mode;
}

bool interrupted() {
    return g_interrupted;
}

}  // namespace Tarnivale::Cli
