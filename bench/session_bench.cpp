// Session and tiling figures: AiSession against the bare ONNX Runtime C API on the same model and input,
// cancellation latency, the spinning policies in an executor-style loop, and tile planning.
//
//   build/bench/bench_session [--quick]
//
// Runs are interleaved (bare, wrapped, wrapped with deadline, ...) so that drift of the machine affects all
// variants alike; figures are medians.

#include <tarnivale/ai/runtime.h>
#include <tarnivale/ai/tiling.h>

#include "runtime/ort_api.h"
#include "runtime/session_config.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace Tarnivale::AI;
using Clock = std::chrono::steady_clock;

namespace {

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

QString modelPath(const char* name) {
    return QDir(QStringLiteral(TARNIVALE_TEST_MODEL_DIR)).filePath(QString::fromUtf8(name));
}

// A session straight on the C API, configured as AiSession configures its own (with the given spinning
// policy), to measure what the wrapper adds.
class BareSession {
public:
    BareSession(const QString& path, SpinningPolicy policy) {
        const OrtApi& api = Ort::api();
        m_env = Ort::createEnvironment("bench");
        OrtSessionOptions* options = nullptr;
        Ort::check(api.CreateSessionOptions(&options));
        m_options.reset(options);
        Ort::check(api.SetSessionGraphOptimizationLevel(options, ORT_ENABLE_ALL));
        const SpinningPolicy current = spinningPolicy();
        setSpinningPolicy(policy);
        applyThreadPoolConfiguration(options);
        setSpinningPolicy(current);
        OrtSession* session = nullptr;
        const QByteArray file = QFile::encodeName(path);
        Ort::check(api.CreateSession(m_env.get(), file.constData(), options, &session));
        m_session.reset(session);
        OrtMemoryInfo* memory = nullptr;
        Ort::check(api.CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &memory));
        m_memory.reset(memory);
    }

    void run(const char* inputName, const char* outputName, std::vector<float>& data,
             const std::vector<int64_t>& shape) const {
        const OrtApi& api = Ort::api();
        OrtValue* input = nullptr;
        Ort::check(api.CreateTensorWithDataAsOrtValue(m_memory.get(), data.data(),
                                                      data.size() * sizeof(float), shape.data(), shape.size(),
                                                      ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &input));
        const Ort::Owned<OrtValue> inputOwner(input);
        OrtValue* output = nullptr;
        const OrtValue* inputs[] = {input};
        Ort::check(api.Run(m_session.get(), nullptr, &inputName, inputs, 1, &outputName, 1, &output));
        const Ort::Owned<OrtValue> outputOwner(output);
    }

private:
    Ort::Owned<OrtEnv> m_env;
    Ort::Owned<OrtSessionOptions> m_options;
    Ort::Owned<OrtSession> m_session;
    Ort::Owned<OrtMemoryInfo> m_memory;
};

void wrapperOverhead(int iterations, int side) {
    const QString path = modelPath("conv_stack.onnx");
    const BareSession bare(path, spinningPolicy());
    const AiSession session(path);
    std::vector<float> values(static_cast<size_t>(3 * side * side), 0.25f);
    const std::vector<int64_t> shape{1, 3, side, side};
    const QList<AiTensor> inputs{AiTensor::fromFloat32(QStringLiteral("input"), {1, 3, side, side},
                                                       QList<float>(values.begin(), values.end()))};
    AiRunControl deadline;
    deadline.deadlineMilliseconds = 60000;

    for (int i = 0; i < 3; ++i) {  // warm-up: the first runs are several times slower
        bare.run("input", "logits", values, shape);
        session.run(inputs);
    }
    std::vector<double> bareTimes;
    std::vector<double> wrappedTimes;
    std::vector<double> deadlineTimes;
    for (int i = 0; i < iterations; ++i) {
        auto start = Clock::now();
        bare.run("input", "logits", values, shape);
        bareTimes.push_back(millisecondsSince(start));
        start = Clock::now();
        session.run(inputs);
        wrappedTimes.push_back(millisecondsSince(start));
        start = Clock::now();
        session.run(inputs, deadline);
        deadlineTimes.push_back(millisecondsSince(start));
    }
    const double b = median(bareTimes);
    const double w = median(wrappedTimes);
    const double d = median(deadlineTimes);
    std::printf("AiSession::run vs bare C API, conv_stack [1,3,%d,%d], %d interleaved runs each\n", side,
                side, iterations);
    std::printf("  bare ORT median            %8.3f ms\n", b);
    std::printf("  AiSession::run median      %8.3f ms   ratio %.3f (target <= 1.05)\n", w, w / b);
    std::printf("  with deadline (watchdog)   %8.3f ms   ratio %.3f (target <= 1.10)\n", d, d / b);
}

void cancellationLatency(int iterations) {
    const AiSession session(modelPath("slow.onnx"));
    const qint64 n = session.inputs().front().shape.front();
    const QList<AiTensor> inputs{
        AiTensor::fromFloat32(QStringLiteral("x"), {n, n}, QList<float>(n * n, 0.5f))};

    auto start = Clock::now();
    session.run(inputs);
    std::printf("Cancellation latency on slow.onnx (uninterrupted run %.0f ms)\n", millisecondsSince(start));

    std::vector<double> latencies;
    for (int i = 0; i < iterations; ++i) {
        std::atomic<bool> cancel{false};
        std::atomic<Clock::rep> cancelledAt{0};
        AiRunControl control;
        control.cancellationRequested = [&cancel] { return cancel.load(std::memory_order_acquire); };
        std::thread host([&, i] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150 + 37 * (i % 7)));
            cancelledAt = Clock::now().time_since_epoch().count();
            cancel.store(true, std::memory_order_release);
        });
        try {
            session.run(inputs, control);
        } catch (const AiInferenceInterrupted&) {
            const auto now = Clock::now().time_since_epoch().count();
            host.join();
            latencies.push_back(
                std::chrono::duration<double, std::milli>(Clock::duration(now - cancelledAt.load())).count());
            continue;
        }
        host.join();
        std::printf("  run %d was not cancelled\n", i);
    }
    std::printf(
        "  callback true -> run() throws: median %.2f ms, max %.2f ms over %zu runs (target median <= 15)\n",
        median(latencies), *std::max_element(latencies.begin(), latencies.end()), latencies.size());
}

// A fixed amount of arithmetic: its duration shows how much of the core the calling thread really had.
double fixedWork() {
    double sink = 0.0;
    for (int i = 1; i < 6'000'000; ++i) {
        sink += std::sqrt(static_cast<double>(i));
    }
    return sink;
}

void spinningFixedWork(const char* model, int iterations, int side, bool parallelWork) {
    std::printf("Executor-style loop: %s [1,3,%d,%d] run, then a fixed amount of work on %s\n", model, side,
                side, parallelWork ? "two threads (caller + helper)" : "the calling thread");
    std::vector<float> values(static_cast<size_t>(3 * side * side), 0.25f);
    const std::vector<int64_t> shape{1, 3, side, side};
    const SpinningPolicy policies[] = {SpinningPolicy::RuntimeDefault, SpinningPolicy::SpinThenStop,
                                       SpinningPolicy::NoSpinning};
    std::vector<std::unique_ptr<BareSession>> sessions;
    for (const SpinningPolicy policy : policies) {
        sessions.push_back(std::make_unique<BareSession>(modelPath(model), policy));
        for (int i = 0; i < 3; ++i) {
            sessions.back()->run("input", "logits", values, shape);
        }
    }
    double sink = 0.0;
    auto start = Clock::now();
    sink += fixedWork();
    std::printf("  caller work alone          %8.2f ms\n", millisecondsSince(start));
    std::vector<double> runTimes[3];
    std::vector<double> totalTimes[3];
    const auto work = [&] {
        if (parallelWork) {
            // Work that wants both cores, as GDAL's multi-threaded decoding or a second task would.
            double helperSink = 0.0;
            std::thread helper([&helperSink] { helperSink = fixedWork(); });
            sink += fixedWork();
            helper.join();
            sink += helperSink;
        } else {
            sink += fixedWork();
        }
    };
    for (int i = 0; i < iterations; ++i) {
        for (size_t j = 0; j < 3; ++j) {
            // Rotated order; each policy's timed step follows one untimed step of its own, so that the
            // previous policy's workers (the runtime default keeps them spinning after a run) are gone.
            const size_t k = (j + static_cast<size_t>(i)) % 3;
            sessions[k]->run("input", "logits", values, shape);
            work();
            start = Clock::now();
            sessions[k]->run("input", "logits", values, shape);
            runTimes[k].push_back(millisecondsSince(start));
            work();
            totalTimes[k].push_back(millisecondsSince(start));
        }
    }
    for (size_t k = 0; k < 3; ++k) {
        std::printf("  %-40s run %7.2f ms, run + work %8.2f ms\n", spinningPolicyName(policies[k]),
                    median(runTimes[k]), median(totalTimes[k]));
    }
    if (sink < 0) {
        std::printf("%f\n", sink);
    }
}

void planning(int iterations) {
    std::vector<double> times;
    qsizetype count = 0;
    for (int i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        count = AiTilePlanner::plan(100000, 100000, AiTileOptions{}).size();
        times.push_back(millisecondsSince(start));
    }
    std::printf(
        "AiTilePlanner::plan 100000 x 100000, default tiling: %lld windows, median %.2f ms (target <= 50)\n",
        static_cast<long long>(count), median(times));
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    try {
        std::printf("ONNX Runtime %s\n", AiSession::runtimeVersion().toUtf8().constData());
        wrapperOverhead(quick ? 5 : 40, 256);
        cancellationLatency(quick ? 3 : 15);
        for (const char* model : {"conv_stack.onnx", "raster_mobilenet.onnx"}) {
            spinningFixedWork(model, quick ? 3 : 20, 512, false);
            spinningFixedWork(model, quick ? 3 : 20, 512, true);
        }
        planning(quick ? 3 : 20);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_session: %s\n", error.what());
        return 1;
    }
    return 0;
}
