#include "runtime/run_watchdog.h"

#include "runtime/errors.h"
#include "runtime/ort_api.h"

#include <algorithm>
#include <chrono>

namespace Tarnivale::AI {

namespace {
constexpr std::chrono::milliseconds kPollInterval{10};
}

RunWatchdog::RunWatchdog(OrtRunOptions* runOptions, const AiRunControl& control) : m_runOptions(runOptions) {
    if (control.deadlineMilliseconds < 0) {
        throwInvalidArgument(QStringLiteral("Negative inference deadline."));
    }
    if (control.deadlineMilliseconds == 0 && !control.cancellationRequested) {
        return;
    }
    if (control.cancellationRequested && control.cancellationRequested()) {
        throw AiInferenceInterrupted(AiInferenceStopReason::Cancelled);
    }
    m_started = true;
    m_thread =
        std::thread(&RunWatchdog::watch, this, control.cancellationRequested, control.deadlineMilliseconds);
}

RunWatchdog::~RunWatchdog() {
    stop();
}

void RunWatchdog::stop() {
    if (!m_thread.joinable()) {
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_finished = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void RunWatchdog::throwIfStopped() const {
    if (m_error) {
        std::rethrow_exception(m_error);
    }
    switch (m_stopReason.load(std::memory_order_acquire)) {
        case Cancelled:
            throw AiInferenceInterrupted(AiInferenceStopReason::Cancelled);
        case DeadlineExceeded:
            throw AiInferenceInterrupted(AiInferenceStopReason::DeadlineExceeded);
        default:
            break;
    }
}

void RunWatchdog::watch(std::function<bool()> callback, std::int64_t deadlineMilliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(deadlineMilliseconds);
    try {
        std::unique_lock lock(m_mutex);
        while (!m_finished) {
            lock.unlock();
            int reason = None;
            if (callback && callback()) {
                reason = Cancelled;
            } else if (deadlineMilliseconds > 0 && Clock::now() >= deadline) {
                reason = DeadlineExceeded;
            }
            if (reason != None) {
                m_stopReason.store(reason, std::memory_order_release);
                Ort::check(Ort::api().RunOptionsSetTerminate(m_runOptions));
                return;
            }
            lock.lock();
            // Sleep no longer than the poll interval, nor past the deadline.
            auto wait = kPollInterval;
            if (deadlineMilliseconds > 0) {
                const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                wait = std::clamp(remaining, std::chrono::milliseconds(0), kPollInterval);
            }
            m_wake.wait_for(lock, wait, [this] { return m_finished; });
        }
    } catch (...) {
        m_error = std::current_exception();
        m_stopReason.store(Error, std::memory_order_release);
        // Still try to stop the run; if terminating is what failed, there is nothing more to do.
        if (OrtStatus* status = Ort::api().RunOptionsSetTerminate(m_runOptions)) {
            Ort::api().ReleaseStatus(status);
        }
    }
}

}  // namespace Tarnivale::AI
