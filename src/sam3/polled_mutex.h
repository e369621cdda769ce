#pragma once

// The lock that serialises a SAM3 session's runs. A caller waits for it 10 ms at a time and runs its budget
// check before each attempt, so a cancelled or overdue caller leaves the queue. Built on a mutex and a
// condition variable rather than std::timed_mutex, whose timed locking ThreadSanitizer cannot follow.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

namespace Tarnivale::AI::Sam3 {

class PolledMutex {
public:
    /// Holds the lock until destroyed.
    class Hold {
    public:
        explicit Hold(PolledMutex& mutex) : m_mutex(&mutex) {}
        ~Hold() {
            if (m_mutex) {
                m_mutex->release();
            }
        }
        Hold(Hold&& other) noexcept : m_mutex(std::exchange(other.m_mutex, nullptr)) {}
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        Hold& operator=(Hold&&) = delete;

    private:
        PolledMutex* m_mutex;
    };

    /// Checks, then waits up to 10 ms for the lock, until it is held; checks once more while holding it.
    template <typename Check>
    Hold acquire(const Check& check) {
        for (;;) {
            check();
            std::unique_lock<std::mutex> state(m_state);
            if (m_released.wait_for(state, std::chrono::milliseconds(10), [this] { return !m_busy; })) {
                m_busy = true;
                break;
            }
        }
        Hold hold(*this);
        check();
        return hold;
    }
    /// The lock when it is free now, else none.
    std::optional<Hold> tryAcquire() {
        const std::lock_guard<std::mutex> state(m_state);
        if (m_busy) {
            return std::nullopt;
        }
        m_busy = true;
        return std::optional<Hold>(std::in_place, *this);
    }
    /// Waits without a budget (cache maintenance).
    Hold acquire() {
        std::unique_lock<std::mutex> state(m_state);
        m_released.wait(state, [this] { return !m_busy; });
        m_busy = true;
        return Hold(*this);
    }

private:
    void release() {
        {
            const std::lock_guard<std::mutex> state(m_state);
            m_busy = false;
        }
        m_released.notify_one();
    }

    std::mutex m_state;
    std::condition_variable m_released;
    bool m_busy = false;
};

}  // namespace Tarnivale::AI::Sam3
