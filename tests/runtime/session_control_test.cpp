// Deadlines and cancellation stopping a model in the middle of its computation.

#include <tarnivale/ai/runtime.h>

#include "runtime/run_watchdog.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace Tarnivale::AI;
using Tarnivale::AI::Testing::testModelPath;

namespace {

// The slow model runs for seconds uninterrupted; a stopped run must end far sooner. The bound is loose on
// purpose: it tells "stopped mid-run" from "ran to completion", not how fast the stop was.
constexpr qint64 kStoppedWellBeforeTheEnd = 1500;

const AiSession& slowSession() {
    static const AiSession session(testModelPath(QStringLiteral("slow.onnx")));
    return session;
}

QList<AiTensor> slowInput() {
    const qint64 side = slowSession().inputs().front().shape.front();
    return {AiTensor::fromFloat32(QStringLiteral("x"), {side, side}, QList<float>(side * side, 0.5f))};
}

}  // namespace

TEST(SessionControl, DeadlineStopsTheRunMidway) {
    const QList<AiTensor> input = slowInput();
    QElapsedTimer timer;
    timer.start();
    try {
        slowSession().run(input, AiRunControl{50, {}});
        FAIL() << "the deadline did not stop the run";
    } catch (const AiInferenceInterrupted& interrupted) {
        EXPECT_EQ(interrupted.reason(), AiInferenceStopReason::DeadlineExceeded);
        EXPECT_STREQ(interrupted.what(), "AI inference deadline exceeded.");
    }
    EXPECT_GE(timer.elapsed(), 50);
    EXPECT_LT(timer.elapsed(), kStoppedWellBeforeTheEnd);
}

TEST(SessionControl, CancellationFromAnotherThreadStopsTheRun) {
    const QList<AiTensor> input = slowInput();
    std::atomic<bool> cancel{false};
    std::atomic<int> calls{0};
    std::atomic<bool> calledOnAnotherThread{false};
    const auto caller = std::this_thread::get_id();
    AiRunControl control;
    control.cancellationRequested = [&] {
        ++calls;
        if (std::this_thread::get_id() != caller) {
            calledOnAnotherThread = true;
        }
        return cancel.load();
    };
    std::thread host([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        cancel = true;
    });
    QElapsedTimer timer;
    timer.start();
    try {
        slowSession().run(input, control);
        ADD_FAILURE() << "cancellation did not stop the run";
    } catch (const AiInferenceInterrupted& interrupted) {
        EXPECT_EQ(interrupted.reason(), AiInferenceStopReason::Cancelled);
        EXPECT_STREQ(interrupted.what(), "AI inference cancelled.");
    }
    host.join();
    EXPECT_LT(timer.elapsed(), kStoppedWellBeforeTheEnd);
    EXPECT_GE(calls.load(), 2);
    EXPECT_TRUE(calledOnAnotherThread);

    // The session is still usable after an interrupted run.
    const auto result = slowSession().run(input, AiRunControl{0, [] { return false; }});
    EXPECT_EQ(result.outputs.size(), 1);
}

TEST(SessionControl, CallbackAlreadyTrueStopsBeforeTheModelStarts) {
    const AiSession session(testModelPath(QStringLiteral("add_one.onnx")));
    int calls = 0;
    AiRunControl control;
    control.cancellationRequested = [&calls] {
        ++calls;
        return true;
    };
    EXPECT_THROW(session.run({AiTensor::fromFloat32(QStringLiteral("x"), {1, 1, 1, 1}, {1.0f})}, control),
                 AiInferenceInterrupted);
    // Asked once, on the caller's thread, and never by a watchdog.
    EXPECT_EQ(calls, 1);
}

TEST(SessionControl, WatchdogErrorReachesTheCaller) {
    const QList<AiTensor> input = slowInput();
    std::atomic<int> calls{0};
    AiRunControl control;
    control.cancellationRequested = [&calls]() -> bool {
        if (++calls >= 3) {
            throw std::runtime_error("host callback failed");
        }
        return false;
    };
    QElapsedTimer timer;
    timer.start();
    try {
        slowSession().run(input, control);
        FAIL() << "the callback's exception was lost";
    } catch (const AiInferenceInterrupted&) {
        FAIL() << "an error stop is not an interruption";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "host callback failed");
    }
    EXPECT_LT(timer.elapsed(), kStoppedWellBeforeTheEnd);
}

TEST(SessionControl, WatchdogThreadOnlyWhenThereIsSomethingToWatch) {
    const AiSession session(testModelPath(QStringLiteral("add_one.onnx")));
    OrtRunOptions* none = nullptr;  // never touched when no thread starts or nothing stops
    {
        RunWatchdog unbounded(none, AiRunControl{});
        EXPECT_FALSE(unbounded.threadStarted());
        unbounded.stop();
        EXPECT_NO_THROW(unbounded.throwIfStopped());
    }
    {
        RunWatchdog watched(none, AiRunControl{0, [] { return false; }});
        EXPECT_TRUE(watched.threadStarted());
        watched.stop();
        EXPECT_FALSE(watched.stopRequested());
    }
    {
        RunWatchdog withDeadline(none, AiRunControl{60000, {}});
        EXPECT_TRUE(withDeadline.threadStarted());
    }
    EXPECT_THROW(RunWatchdog(none, AiRunControl{-5, {}}), std::invalid_argument);
}
