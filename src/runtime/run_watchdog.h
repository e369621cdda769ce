#pragma once

#include <tarnivale/ai/runtime.h>

#include <onnxruntime_c_api.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace Tarnivale::AI {

/// Bounds one session run: a thread polls the cancellation callable and the deadline every 10 ms at most
/// and asks ONNX Runtime to abandon the run. No thread starts when there is nothing to watch.
class RunWatchdog {
public:
    /// Refuses a negative deadline and asks the callable once on the calling thread; true there throws
    /// AiInferenceInterrupted(Cancelled) before the model starts.
    RunWatchdog(OrtRunOptions* runOptions, const AiRunControl& control);
    ~RunWatchdog();
    RunWatchdog(const RunWatchdog&) = delete;
    RunWatchdog& operator=(const RunWatchdog&) = delete;

    /// Marks the run finished, wakes the thread and joins it. Idempotent.
    void stop();
    /// After stop(): rethrows the thread's error, or throws AiInferenceInterrupted for a recorded stop.
    void throwIfStopped() const;
    bool stopRequested() const { return m_stopReason.load(std::memory_order_acquire) != None; }
    bool threadStarted() const { return m_started; }

private:
    enum StopReason : int { None = 0, Cancelled = 1, DeadlineExceeded = 2, Error = 3 };

    void watch(std::function<bool()> callback, std::int64_t deadlineMilliseconds);

    OrtRunOptions* m_runOptions;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_finished = false;
    bool m_started = false;
    std::atomic<int> m_stopReason{None};
    std::exception_ptr m_error;
    std::thread m_thread;
};

}  // namespace Tarnivale::AI
