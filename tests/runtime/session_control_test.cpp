// Deadlines and cancellation stopping a model in the middle of its computation. Every stop is triggered
// by the run itself (the n-th question its watchdog asks), never by a thread sleeping beside it.

#include <tarnivale/ai/runtime.h>

#include "runtime/run_watchdog.h"
#include "support/expectations.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace Tarnivale::AI;
using namespace Qt::StringLiterals;
using Tarnivale::AI::Testing::errorOf;

TEST(SessionControl, StopsEndTheRunMidwayAndLeaveTheSessionUsable) {
    const AiSession session(Testing::testModelPath(u"slow.onnx"_s));  // seconds of many short nodes
    const qint64 side = session.inputs()[0].shape[0];
    const QList<AiTensor> input{AiTensor::fromFloat32(u"x"_s, {side, side}, QList<float>(side * side, 0.5f))};
    const auto caller = std::this_thread::get_id();
    std::atomic<int> calls{0};
    std::atomic<bool> askedByWatchdog{false};
    // The host's callable: counts the questions, notes the thread, and answers answer(n) to the n-th.
    const auto host = [&](bool (*answer)(int)) -> std::function<bool()> {
        return [&, answer] {
            askedByWatchdog = askedByWatchdog || std::this_thread::get_id() != caller;
            return answer(++calls);
        };
    };
    // The first question is asked on the caller's thread before the model starts, the next by the watchdog.
    const auto cancelAtThird = host([](int n) { return n == 3; });
    const auto failAtThird =
        host([](int n) { return n == 3 ? throw std::runtime_error("host failed") : false; });
    const auto cancelAtOnce = host([](int) { return true; });
    const struct {
        const char* name;
        AiRunControl control;
        const char* error;
        int calls;
        bool askedByWatchdog;
    } rows[] = {
        {"deadline", {50, {}}, "AI inference deadline exceeded.", 0, false},
        {"cancelled", {0, cancelAtThird}, "AI inference cancelled.", 3, true},
        {"callback failed", {0, failAtThird}, "host failed", 3, true},
        {"cancelled before the start", {60000, cancelAtOnce}, "AI inference cancelled.", 1, false},
    };
    std::vector<qint64> stoppedAfter;
    for (const auto& row : rows) {
        calls = 0;
        askedByWatchdog = false;
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(errorOf<std::exception>([&] { session.run(input, row.control); }), row.error) << row.name;
        stoppedAfter.push_back(timer.elapsed());
        EXPECT_EQ(calls.load(), row.calls) << row.name;
        EXPECT_EQ(askedByWatchdog.load(), row.askedByWatchdog) << row.name;
    }
    EXPECT_GE(stoppedAfter[0], 50) << "never before the deadline";
    // A whole run after the stopped ones: the session still works, and each stop came well before the end.
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(session.run(input, AiRunControl{0, [] { return false; }}).outputs.size(), 1);
    const qint64 whole = timer.elapsed();
    for (size_t i = 0; i < stoppedAfter.size(); ++i) {
        EXPECT_LT(2 * stoppedAfter[i], whole) << rows[i].name;
    }
}

TEST(SessionControl, WatchdogThreadOnlyWhenThereIsSomethingToWatch) {
    OrtRunOptions* none = nullptr;  // never touched when nothing stops
    EXPECT_FALSE(RunWatchdog(none, AiRunControl{}).threadStarted());
    EXPECT_TRUE(RunWatchdog(none, AiRunControl{60000, {}}).threadStarted());
    RunWatchdog watched(none, AiRunControl{0, [] { return false; }});
    EXPECT_TRUE(watched.threadStarted());
    watched.stop();  // a run that ends is no stop
    EXPECT_FALSE(watched.stopRequested());
    EXPECT_NO_THROW(watched.throwIfStopped());
}
