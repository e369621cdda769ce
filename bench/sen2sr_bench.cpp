// SEN2SR super-resolution figures, each against its target:
//
//   bench_sen2sr loop [M]  the core's tile loop over a 1448 x 1448 scene vs the bare session runs on the same
//                          128 x 128 tiles, with a model of realistic cost (M, default sen2sr_costly.onnx);
//                          medians of the per-round ratios of process CPU time (and of wall time)
//   bench_sen2sr stretch   the 2 % / 98 % display stretch of a 2 097 152-pixel band; median
//   bench_sen2sr memory    peak resident memory of a whole 1448 x 1448 task beyond what the process held
//                          before, vs the source, the 512 MiB output and 64 MiB
//   bench_sen2sr all       every one of them
//
// Scratch files go to the system temporary directory (or $TMPDIR).

#include "bench_support.h"

#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/models.h>
#include <tarnivale/ai/runtime.h>

#include "runtime/huge_pages.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"
#include "tasks/display_stretch.h"
#include "tasks/sen2sr_core.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Tasks;
using namespace Tarnivale::AI::Bench;

namespace {

constexpr int Side = 1448;
constexpr int Threads = 2;

// CPU time of the whole process (every ONNX Runtime thread included, and the kernel's page zeroing): on a
// shared machine wall time also counts whoever else holds the cores.
double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

QString package(const QTemporaryDir& scratch, const QString& model) {
    AiModelManifest manifest = AiModelManifestLoader::fromJson(R"({"version": "1.0",
        "id": "esaopensr-sen2srlite-rgbn-x4", "task": "raster_transform", "provenance": {"revision": "bench"},
        "inputs": [{"name": "image", "dataType": "Float32", "layout": "NCHW", "shape": [1, 4, 128, 128]}],
        "outputs": [{"name": "output", "dataType": "Float32", "layout": "NCHW", "shape": [1, 4, 512, 512]}]})");
    manifest.modelPath = Testing::testModelPath(model);
    const QString directory = scratch.filePath(model);
    QDir().mkpath(directory);
    return AiModelPackage::create(directory, manifest, true).directoryPath();
}

Sen2srSource scene() {
    Sen2srSource source;
    source.width = source.height = Side;
    source.samples = QByteArray(qsizetype{Side} * Side * 16, Qt::Uninitialized);
    auto* samples = reinterpret_cast<float*>(source.samples.data());
    std::mt19937 random(3);
    for (qsizetype i = 0; i < qsizetype{Side} * Side * 4; ++i) {
        samples[i] = static_cast<float>(random() % 6000);
    }
    source.geoTransform = {500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0};
    source.projectionWkt = QStringLiteral("LOCAL_CS[\"bench\"]");
    source.path = QStringLiteral("bench.tif");
    return source;
}

int reflect(int i, int n) {
    const int period = 2 * (n - 1);
    const int m = ((i % period) + period) % period;
    return m < n ? m : period - m;
}

// The loop's tiles, made here once, so that the bare runs do nothing but run.
QList<QList<AiTensor>> tiles(const Sen2srSource& source) {
    const auto* samples = reinterpret_cast<const float*>(source.samples.constData());
    const qsizetype plane = qsizetype{Side} * Side;
    QList<QList<AiTensor>> all;
    for (int y0 = 0; y0 < Side; y0 += 96) {
        for (int x0 = 0; x0 < Side; x0 += 96) {
            AiTensor tile;
            tile.name = QStringLiteral("image");
            tile.shape = {1, 4, 128, 128};
            tile.data = QByteArray(4 * 128 * 128 * 4, Qt::Uninitialized);
            auto* to = reinterpret_cast<float*>(tile.data.data());
            for (int b = 0; b < 4; ++b) {
                for (int i = 0; i < 128; ++i) {
                    for (int j = 0; j < 128; ++j) {
                        to[(b * 128 + i) * 128 + j] =
                            samples[b * plane + qsizetype{reflect(y0 - 16 + i, Side)} * Side +
                                    reflect(x0 - 16 + j, Side)];
                    }
                }
            }
            all.append(QList<AiTensor>{tile});
        }
    }
    return all;
}

void loop(const QTemporaryDir& scratch, const QString& model) {
    const QString packagePath = package(scratch, model);
    const Sen2srSource source = scene();
    const QList<QList<AiTensor>> inputs = tiles(source);
    AiSessionOptions options;
    options.provider = AiExecutionProvider::Cpu;
    options.intraOpThreads = Threads;
    options.interOpThreads = 1;
    const AiSession session(AiModelPackage::open(packagePath).modelPath(), options);
    AiInferenceResult result;
    for (int warm = 0; warm < 3; ++warm) {
        session.runInto(inputs.first(), result);
    }
    // Per round: a first touch of as much fresh memory as the output takes (a PlaneBuffer of its size), then
    // the bare runs, then the core's loop; timed in process CPU time (every ONNX Runtime thread and the
    // kernel's page zeroing included; on a shared machine wall time also counts whoever else holds the cores)
    // and in wall time. The first touch is reported apart: on a virtual machine it varies with the host.
    std::vector<double> core;
    std::vector<double> bare;
    std::vector<double> touch;
    std::vector<double> ratios;
    std::vector<double> wallRatios;
    std::vector<double> untouchedRatios;
    const std::size_t outputFloats = std::size_t{Side} * Side * 4 * 16;
    for (int round = 0; round < 3; ++round) {
        double cpu = cpuSeconds();
        {
            PlaneBuffer fresh(outputFloats);
            for (std::size_t i = 0; i < outputFloats; i += 1024) {
                fresh.data()[i] = 1.0f;
            }
        }
        touch.push_back(cpuSeconds() - cpu);
        Clock::time_point start = Clock::now();
        cpu = cpuSeconds();
        for (const QList<AiTensor>& tile : inputs) {
            session.runInto(tile, result);
        }
        const double bareWall = secondsSince(start);
        bare.push_back(cpuSeconds() - cpu);
        start = Clock::now();
        cpu = cpuSeconds();
        superResolve(source, packagePath, options, {}, {});
        const double coreWall = secondsSince(start);
        core.push_back(cpuSeconds() - cpu);
        ratios.push_back(core.back() / bare.back());
        wallRatios.push_back(coreWall / bareWall);
        untouchedRatios.push_back((core.back() - touch.back()) / bare.back());
    }
    const double ratio = median(ratios);
    const double perTile = 1000.0 / static_cast<double>(inputs.size());
    std::printf(
        "sen2sr loop, %s, %d x %d, %lld tiles, %d threads, CPU time: core %.3f s (%.2f ms/tile), bare "
        "runs %.3f s (%.2f ms/tile); ratio %.3f (target <= 1.10) %s; in wall time %.3f\n"
        "  first touch of 512 MiB of fresh memory: %.3f s CPU; ratio without it: %.3f\n",
        model.toUtf8().constData(), Side, Side, static_cast<long long>(inputs.size()), Threads, median(core),
        perTile * median(core), median(bare), perTile * median(bare), ratio, ratio <= 1.10 ? "OK" : "MISSED",
        median(wallRatios), median(touch), median(untouchedRatios));
}

void stretch() {
    std::vector<float> band(2097152);
    std::mt19937 random(9);
    std::gamma_distribution<float> reflectance(2.0f, 600.0f);
    std::generate(band.begin(), band.end(), [&] { return std::round(reflectance(random)); });
    std::vector<double> times;
    for (int round = 0; round < 9; ++round) {
        const Clock::time_point start = Clock::now();
        const DisplayStretch s = percentileStretch(band.data(), band.size());
        times.push_back(secondsSince(start));
        if (s.high <= s.low) {
            std::printf("unexpected stretch\n");
        }
    }
    const double ms = 1000.0 * median(times);
    std::printf("display stretch, 2 097 152 samples: %.1f ms (target <= 30 ms) %s\n", ms,
                ms <= 30.0 ? "OK" : "MISSED");
}

void memory(const QTemporaryDir& scratch) {
    const QString packagePath = package(scratch, QStringLiteral("sen2sr.onnx"));
    const QString raster = scratch.filePath(QStringLiteral("scene.tif"));
    Testing::TestRasterSpec spec{.width = Side, .height = Side, .bands = 4};
    spec.value = [](int band, int x, int y) {
        return static_cast<double>((band * 7919 + x * 31 + y * 17) % 6000);
    };
    Testing::writeTestRaster(raster, spec);
    const QJsonObject request{{"task", "sen2sr-super-resolution"},
                              {"modelPackagePath", packagePath},
                              {"rasterPath", raster},
                              {"intraOpThreads", Threads}};
    const long before = statusKilobytes("VmRSS");
    resetPeak();
    const Clock::time_point start = Clock::now();
    const std::uint64_t id =
        TarnivaleAI_StartTaskUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact).constData());
    QJsonObject status;
    // The largest resident size seen under each stage message, to tell where the peak comes from.
    std::vector<std::pair<QString, long>> stages;
    do {
        QThread::msleep(20);
        char* text = TarnivaleAI_GetTaskStatusUtf8(id);
        status = QJsonDocument::fromJson(text).object();
        TarnivaleAI_FreeTaskString(text);
        const QString message = status.value("message").toString();
        if (stages.empty() || stages.back().first != message) {
            stages.emplace_back(message, 0);
        }
        stages.back().second = std::max(stages.back().second, statusKilobytes("VmRSS"));
    } while (status.value("state") != "completed" && status.value("state") != "failed" &&
             status.value("state") != "cancelled" && !status.isEmpty());
    const double seconds = secondsSince(start);
    const long peak = statusKilobytes("VmHWM");
    TarnivaleAI_ReleaseTask(id);
    for (const auto& [message, kilobytes] : stages) {
        std::printf("  %-45s resident up to %.0f MiB beyond\n", message.toUtf8().constData(),
                    (kilobytes - before) / 1024.0);
    }
    const double sourceMiB = Side * double{Side} * 16 / 1048576.0;
    const double outputMiB = Side * double{Side} * 16 * 16 / 1048576.0;
    const double grownMiB = (peak - before) / 1024.0;
    const double limit = sourceMiB + 512.0 + 64.0;
    std::printf(
        "task %s in %.1f s; peak beyond the process's %.0f MiB: %.0f MiB (source %.0f, output %.0f; "
        "target <= %.0f) %s\n",
        status.value("state").toString().toUtf8().constData(), seconds, before / 1024.0, grownMiB, sourceMiB,
        outputMiB, limit, grownMiB <= limit ? "OK" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "all";
    QTemporaryDir scratch;
    if (what == "loop" || what == "all") {
        loop(scratch, argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("sen2sr_costly.onnx"));
    }
    if (what == "stretch" || what == "all") {
        stretch();
    }
    if (what == "memory" || what == "all") {
        memory(scratch);
    }
    return 0;
}
