// Raster pipeline figures, each against its target:
//
//   bench_raster overhead:   executor on a 4096 x 4096 three-band tiled GeoTIFF vs the same session runs
//                            alone
//   bench_raster spinning:   the same comparison for every spinning policy and thread count, models in turn
//   bench_raster identity:   identity model, executor + writeGeoTiff vs GDALTranslate to tiled DEFLATE
//   bench_raster memory:     peak resident memory of an 8192 x 8192 run with K = 2 (its own process)
//   bench_raster write:      writeGeoTiff of an Int32 8192 x 8192 mask vs GDALTranslate of the same data
//   bench_raster provenance: canonicalJson + sha256 of a provenance record
//   bench_raster all:        every one of them (memory in a child process)
//
// Scratch files go to the system temporary directory (or $TMPDIR).

#include <tarnivale/ai/raster.h>

#include "raster/raster_input.h"
#include "runtime/gdal_handles.h"
#include "runtime/session_config.h"
#include "support/raster_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gdal_utils.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace Tarnivale::AI;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

QString model(const char* name) {
    return QDir(QStringLiteral(TARNIVALE_TEST_MODEL_DIR)).filePath(QString::fromLatin1(name));
}

// A three-band scene with some texture, tiled 256 x 256 like most production GeoTIFFs.
QString scene(const QTemporaryDir& dir, int size, const char* name, GDALDataType type = GDT_Byte) {
    const QString path = dir.filePath(QString::fromLatin1(name));
    Testing::TestRasterSpec spec;
    spec.width = size;
    spec.height = size;
    spec.bands = 3;
    spec.dataType = type;
    spec.blockWidth = 256;
    spec.blockHeight = 256;
    spec.value = [](int band, int x, int y) { return (x * (band + 1) + y * 3 + (x ^ y)) % 256; };
    Testing::writeTestRaster(path, spec);
    return path;
}

double translateSeconds(const QString& source, const QString& target, bool creationOptions) {
    Gdal::registerDrivers();
    const Gdal::Dataset input = Gdal::open(source, GDAL_OF_RASTER | GDAL_OF_READONLY);
    const char* args[] = {"-of", "GTiff", "-co", "TILED=YES", "-co", "COMPRESS=DEFLATE", nullptr};
    char** argv = const_cast<char**>(creationOptions ? args : args + 2);
    GDALTranslateOptions* options = GDALTranslateOptionsNew(argv, nullptr);
    const auto start = Clock::now();
    const QByteArray out = target.toUtf8();
    Gdal::Dataset result(GDALTranslate(out.constData(), input.get(), options, nullptr));
    result.reset();
    const double seconds = secondsSince(start);
    GDALTranslateOptionsFree(options);
    return seconds;
}

void overhead() {
    QTemporaryDir dir;
    const QString path = scene(dir, 4096, "scene4096.tif");
    AiRasterInferenceRequest request;
    // BENCH_MODEL picks another generated model (for example raster_cnn_wide.onnx, about twice the work).
    const char* modelName = std::getenv("BENCH_MODEL") ? std::getenv("BENCH_MODEL") : "raster_cnn.onnx";
    request.modelPath = model(modelName);
    request.rasterPath = path;
    request.outputMode = AiRasterOutputMode::ClassMask;
    request.normalization = AiNormalization{{127.5}, {64.0}, 1.0};
    // ONNX Runtime's own default thread count may be lower than the cores available (it counts physical
    // cores); BENCH_THREADS sets it explicitly for both sides.
    request.sessionOptions.intraOpThreads =
        std::getenv("BENCH_THREADS") ? std::atoi(std::getenv("BENCH_THREADS")) : 0;

    // The session alone on the same tiles, read beforehand so that only the session is timed. The executor
    // opens a fresh session for every run, and a fresh session's first runs are slower while ONNX Runtime
    // grows its arena; so "alone" is a fresh session too: created, then run over every tile. A long-lived,
    // warm session is shown for reference.
    RasterInput input = openRasterInput(path, {});
    const QList<AiTileWindow> windows = AiTilePlanner::plan(input.width, input.height, request.tiling);
    std::vector<QList<AiTensor>> tiles;
    {
        const AiSession probe(request.modelPath, request.sessionOptions);
        TileReader reader(input, request.normalization, request.tiling, probe.inputs().front().name);
        for (const AiTileWindow& window : windows) {
            QList<AiTensor> copy = reader.read(window);
            copy[0].data.detach();
            tiles.push_back(copy);
        }
    }
    const AiSession warm(request.modelPath, request.sessionOptions);
    for (int i = 0; i < 10; ++i) {
        warm.run(tiles[static_cast<size_t>(i)]);
    }
    double fresh = 0.0;
    double warmRuns = 0.0;
    double executor = 0.0;
    const int rounds = 3;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        {
            const AiSession session(request.modelPath, request.sessionOptions);
            for (const QList<AiTensor>& tile : tiles) {
                session.run(tile);
            }
        }
        fresh += secondsSince(start);
        start = Clock::now();
        for (const QList<AiTensor>& tile : tiles) {
            warm.run(tile);
        }
        warmRuns += secondsSince(start);
        start = Clock::now();
        AiRasterInferenceExecutor::run(request);
        executor += secondsSince(start);
    }
    const double tileCount = static_cast<double>(windows.size());
    std::printf("Pipeline overhead: %s on 4096 x 4096 x 3 (tiled Byte GeoTIFF), %lld tiles, %d rounds\n",
                modelName, static_cast<long long>(windows.size()), rounds);
    std::printf("  fresh session + runs alone  %7.3f s (%.1f ms per tile)\n", fresh / rounds,
                fresh / rounds / tileCount * 1000);
    std::printf("  warm session runs alone     %7.3f s (%.1f ms per tile, reference)\n", warmRuns / rounds,
                warmRuns / rounds / tileCount * 1000);
    std::printf(
        "  whole executor              %7.3f s   ratio %.3f to the fresh session (target <= 1.10),"
        " %.3f to the warm one\n",
        executor / rounds, executor / fresh, executor / warmRuns);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// "a,b,c" from an environment variable, or the fallback.
QStringList listFromEnvironment(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    return QString::fromLatin1(value && *value ? value : fallback)
        .split(QLatin1Char(','), Qt::SkipEmptyParts);
}

// The CPUs each thread of this process may run on ("main 0-1, onnxruntime 1, ..."): shows ONNX Runtime's
// pinned pool threads.
QString threadAffinities() {
    QStringList parts;
    for (const QString& task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(QStringLiteral("/proc/self/task/%1/status").arg(task));
        if (!status.open(QIODevice::ReadOnly)) {
            continue;
        }
        QString name;
        QString cpus;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Name:")) {
                name = QString::fromLatin1(line.mid(5).trimmed());
            } else if (line.startsWith("Cpus_allowed_list:")) {
                cpus = QString::fromLatin1(line.mid(18).trimmed());
            }
        }
        parts.append(QStringLiteral("%1 %2").arg(name, cpus));
    }
    return parts.join(QStringLiteral(", "));
}

QString loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().trimmed()) : QString();
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Spinning policies and thread counts, each as "fresh session + runs over the pre-read tiles" (the bare model
// runs) and "whole executor", interleaved round by round so that the machine's drift touches every variant.
// BENCH_MODEL: comma-separated models (default raster_cnn, raster_cnn_wide, raster_mobilenet);
// BENCH_THREADS: comma-separated intraOpThreads values (default 0, ONNX Runtime's choice);
// BENCH_SPINNING: comma-separated policies among stop, nospin, default (default all three);
// BENCH_ROUNDS: rounds (default 5); BENCH_CONCURRENT=N: also N executor runs at once in every round.
void spinning() {
    QTemporaryDir dir;
    const QString path = scene(dir, 4096, "scene4096.tif");
    const QStringList models =
        listFromEnvironment("BENCH_MODEL", "raster_cnn.onnx,raster_cnn_wide.onnx,raster_mobilenet.onnx");
    const QStringList threadList = listFromEnvironment("BENCH_THREADS", "0");
    const QStringList policyList = listFromEnvironment("BENCH_SPINNING", "stop,nospin,default");
    const int rounds =
        std::max(1, std::atoi(std::getenv("BENCH_ROUNDS") ? std::getenv("BENCH_ROUNDS") : "5"));
    const SpinningPolicy initialPolicy = spinningPolicy();
    // Several executors at once (a host running tasks side by side): each variant's runs compete for the cores.
    const int concurrent = std::getenv("BENCH_CONCURRENT") ? std::atoi(std::getenv("BENCH_CONCURRENT")) : 0;
    struct Variant {
        SpinningPolicy policy;
        int threads;
        std::vector<double> bare;      // seconds, fresh session + runs
        std::vector<double> executor;  // seconds
        std::vector<double> ratio;     // executor / bare of the same round
        std::vector<double> cpu;       // process CPU seconds of the executor run, all threads
        std::vector<double> together;  // seconds for BENCH_CONCURRENT executor runs started at once
    };
    std::printf(
        "Spinning policies and thread counts, 4096 x 4096 x 3 tiled Byte GeoTIFF, %d rounds, %ld CPUs\n",
        rounds, sysconf(_SC_NPROCESSORS_ONLN));
    for (const QString& name : models) {
        AiRasterInferenceRequest request;
        request.modelPath = model(name.toLatin1().constData());
        request.rasterPath = path;
        request.outputMode = AiRasterOutputMode::ClassMask;
        request.normalization = AiNormalization{{127.5}, {64.0}, 1.0};
        std::vector<Variant> variants;
        for (const QString& threads : threadList) {
            for (const QString& policy : policyList) {
                const SpinningPolicy p = policy == QLatin1String("nospin")    ? SpinningPolicy::NoSpinning
                                         : policy == QLatin1String("default") ? SpinningPolicy::RuntimeDefault
                                                                              : SpinningPolicy::SpinThenStop;
                variants.push_back({p, threads.toInt(), {}, {}, {}, {}, {}});
            }
        }
        RasterInput input = openRasterInput(path, {});
        const QList<AiTileWindow> windows = AiTilePlanner::plan(input.width, input.height, request.tiling);
        std::vector<QList<AiTensor>> tiles;
        {
            const AiSession probe(request.modelPath, request.sessionOptions);
            std::printf("%s: threads after a session with the runtime's thread count: %s\n",
                        name.toLatin1().constData(), threadAffinities().toLatin1().constData());
            TileReader reader(input, request.normalization, request.tiling, probe.inputs().front().name);
            for (const AiTileWindow& window : windows) {
                QList<AiTensor> copy = reader.read(window);
                copy[0].data.detach();
                tiles.push_back(copy);
            }
        }
        std::printf("%s: load average before the rounds: %s\n", name.toLatin1().constData(),
                    loadAverage().toLatin1().constData());
        for (int round = 0; round < rounds; ++round) {
            for (size_t k = 0; k < variants.size(); ++k) {
                Variant& v = variants[(k + static_cast<size_t>(round)) % variants.size()];  // rotated order
                setSpinningPolicy(v.policy);
                request.sessionOptions.intraOpThreads = v.threads;
                auto start = Clock::now();
                {
                    const AiSession session(request.modelPath, request.sessionOptions);
                    for (const QList<AiTensor>& tile : tiles) {
                        session.run(tile);
                    }
                }
                v.bare.push_back(secondsSince(start));
                start = Clock::now();
                const double cpuStart = cpuSeconds();
                AiRasterInferenceExecutor::run(request);
                v.executor.push_back(secondsSince(start));
                v.cpu.push_back(cpuSeconds() - cpuStart);
                v.ratio.push_back(v.executor.back() / v.bare.back());
                if (concurrent > 1) {
                    start = Clock::now();
                    std::vector<std::thread> runs;
                    for (int i = 0; i < concurrent; ++i) {
                        runs.emplace_back([&request] {
                            try {
                                AiRasterInferenceExecutor::run(request);
                            } catch (const std::exception& error) {
                                std::fprintf(stderr, "bench_raster: concurrent run: %s\n", error.what());
                            }
                        });
                    }
                    for (std::thread& run : runs) {
                        run.join();
                    }
                    v.together.push_back(secondsSince(start));
                }
            }
        }
        const double tileCount = static_cast<double>(windows.size());
        std::printf(
            "%s, %lld tiles (bare = fresh session + runs over pre-read tiles); load average after: %s\n",
            name.toLatin1().constData(), static_cast<long long>(windows.size()),
            loadAverage().toLatin1().constData());
        std::printf("  %-40s %7s  %-26s %-26s %-26s %s\n", "spinning", "threads",
                    "bare ms/tile med (min-max)", "executor s med (min-max)", "executor/bare med (min-max)",
                    "executor CPU s");
        for (const Variant& v : variants) {
            std::printf(
                "  %-40s %7d  %6.1f (%5.1f-%5.1f)      %6.3f (%6.3f-%6.3f)   %5.3f (%5.3f-%5.3f)       "
                "%6.2f\n",
                spinningPolicyName(v.policy), v.threads, median(v.bare) / tileCount * 1000,
                *std::min_element(v.bare.begin(), v.bare.end()) / tileCount * 1000,
                *std::max_element(v.bare.begin(), v.bare.end()) / tileCount * 1000, median(v.executor),
                *std::min_element(v.executor.begin(), v.executor.end()),
                *std::max_element(v.executor.begin(), v.executor.end()), median(v.ratio),
                *std::min_element(v.ratio.begin(), v.ratio.end()),
                *std::max_element(v.ratio.begin(), v.ratio.end()), median(v.cpu));
        }
        for (const Variant& v : variants) {
            if (!v.together.empty()) {
                std::printf("  %-40s %7d  %d executors at once: %6.3f s med (%6.3f-%6.3f), %.2f x one executor\n",
                            spinningPolicyName(v.policy), v.threads, concurrent, median(v.together),
                            *std::min_element(v.together.begin(), v.together.end()),
                            *std::max_element(v.together.begin(), v.together.end()),
                            median(v.together) / median(v.executor));
            }
        }
        for (const Variant& v : variants) {  // every round, for pooling runs
            std::printf("  rounds %s threads %d:", spinningPolicyName(v.policy), v.threads);
            for (size_t r = 0; r < v.bare.size(); ++r) {
                std::printf(" %.1f/%.3f", v.bare[r] / tileCount * 1000, v.ratio[r]);
            }
            std::printf("  (bare ms per tile / executor ratio)\n");
        }
        std::fflush(stdout);
    }
    setSpinningPolicy(initialPolicy);
}

// Where an executor run spends its time beyond the model: the same tiles read, run and blended step by step.
void phases() {
    QTemporaryDir dir;
    const QString path = scene(dir, 4096, "scene4096.tif");
    const AiSession session(model("raster_cnn.onnx"));
    RasterInput input = openRasterInput(path, {});
    const AiTileOptions tiling;
    const QList<AiTileWindow> windows = AiTilePlanner::plan(input.width, input.height, tiling);
    TileReader reader(input, AiNormalization{{127.5}, {64.0}, 1.0}, tiling, session.inputs().front().name);
    session.run(reader.read(windows.front()));
    double reading = 0.0;
    double running = 0.0;
    for (const AiTileWindow& window : windows) {
        auto start = Clock::now();
        const QList<AiTensor>& tile = reader.read(window);
        reading += secondsSince(start);
        start = Clock::now();
        session.run(tile);
        running += secondsSince(start);
    }
    std::printf("Phases over %lld tiles: reading %.1f ms per tile, session runs %.1f ms per tile\n",
                static_cast<long long>(windows.size()), reading * 1000 / windows.size(),
                running * 1000 / windows.size());
    // The same runs back to back, then with 3 ms of idle waiting and 3 ms of busy work between them.
    std::vector<QList<AiTensor>> tiles;
    for (const AiTileWindow& window : windows) {
        QList<AiTensor> copy = reader.read(window);
        copy[0].data.detach();
        tiles.push_back(copy);
    }
    // A blend-sized memory sweep (10 MB read and written) stands in for the executor's own work.
    std::vector<float> sweep(size_t{10} << 18, 1.0f);
    for (int gap = 0; gap < 6; ++gap) {
        double runs = 0.0;
        for (size_t i = 0; i < tiles.size(); ++i) {
            const QList<AiTensor>& tile = tiles[i];
            if (gap == 5) {
                for (float& value : sweep) {
                    value = value * 1.0001f + 0.5f;
                }
            } else if (gap == 3) {
                reader.read(windows[static_cast<qsizetype>(i)]);  // GDAL work, but the run uses its own copy
            } else if (gap == 4) {
                const auto begin = Clock::now();
                session.run(reader.read(windows[static_cast<qsizetype>(i)]));
                runs += secondsSince(begin);
                continue;
            } else if (gap == 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            } else if (gap == 2) {
                const auto busy = Clock::now();
                while (secondsSince(busy) < 0.003) {
                }
            }
            const auto begin = Clock::now();
            session.run(tile);
            runs += secondsSince(begin);
        }
        std::printf("  runs with %s between them: %.1f ms per tile\n",
                    gap == 0   ? "nothing"
                    : gap == 1 ? "3 ms asleep"
                    : gap == 2 ? "3 ms busy"
                    : gap == 3 ? "a tile read"
                    : gap == 4 ? "read+run"
                               : "a 10 MB sweep",
                    runs * 1000 / tiles.size());
    }
    const auto start = Clock::now();
    const AiSession another(model("raster_cnn.onnx"));
    std::printf("  session creation %.1f ms\n", secondsSince(start) * 1000);
}

void identity() {
    // Float32 in and out, so that GDAL translating the scene compresses as many bytes as the executor writes.
    QTemporaryDir dir;
    const QString path = scene(dir, 4096, "scene4096.tif", GDT_Float32);
    AiRasterInferenceRequest request;
    request.modelPath = model("identity.onnx");
    request.rasterPath = path;
    request.outputMode = AiRasterOutputMode::FloatBands;
    AiRasterInferenceExecutor::run(request);  // warm the page cache and the runtime
    const auto start = Clock::now();
    const AiRasterInferenceResult result = AiRasterInferenceExecutor::run(request);
    const double run = secondsSince(start);
    const auto writeStart = Clock::now();
    AiRasterInferenceExecutor::writeGeoTiff(result, dir.filePath(QStringLiteral("identity.tif")));
    const double write = secondsSince(writeStart);
    const double translate = translateSeconds(path, dir.filePath(QStringLiteral("translated.tif")), true);
    const double pixels = 4096.0 * 4096.0;
    std::printf("Identity model over 4096 x 4096 x 3 Float32\n");
    std::printf("  executor             %7.3f s  %6.1f Mpx/s\n", run, pixels / run / 1e6);
    std::printf("  + writeGeoTiff       %7.3f s  (executor + write %.3f s, %.1f Mpx/s)\n", write, run + write,
                pixels / (run + write) / 1e6);
    std::printf("  GDALTranslate to tiled DEFLATE GeoTIFF %7.3f s   ratio %.3f (target <= 1.5)\n", translate,
                (run + write) / translate);
}

long peakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Runs in a process of its own (`memory PATH`), so that its peak resident memory is the run's alone.
void memoryRun(const QString& path) {
    AiRasterInferenceRequest request;
    request.modelPath = model("constant_logits.onnx");
    request.rasterPath = path;
    request.outputMode = AiRasterOutputMode::ClassMask;
    AiSession warm(request.modelPath);  // the runtime's own libraries and pools are not the run's memory
    const long before = peakResidentKiB();
    const AiRasterInferenceResult result = AiRasterInferenceExecutor::run(request);
    const long after = peakResidentKiB();
    const double planes = (1 + 2) * 8192.0 * 8192.0 * 4;
    const double budget = planes + static_cast<double>(result.data.size()) + 64.0 * 1024 * 1024;
    std::printf("Memory: 8192 x 8192 x 3 Byte scene, class mask with K = 2\n");
    std::printf(
        "  peak resident grew by %.0f MiB during the run (from %.0f MiB); target (1+K)WH4 + result + 64 MiB"
        " = %.0f MiB\n",
        (after - before) / 1024.0, before / 1024.0, budget / (1024 * 1024));
    std::printf("  reported peakMemoryBytes %.0f MiB\n",
                static_cast<double>(result.peakMemoryBytes) / (1024 * 1024));
}

void memory() {
    QTemporaryDir dir;
    const QString path = scene(dir, 8192, "scene8192.tif");
    std::fflush(stdout);
    QProcess::execute(QCoreApplication::applicationFilePath(), {QStringLiteral("memory-run"), path});
}

void write() {
    QTemporaryDir dir;
    AiRasterInferenceResult mask;
    mask.width = 8192;
    mask.height = 8192;
    mask.bandCount = 1;
    mask.dataType = AiTensorDataType::Int32;
    mask.data = QByteArray(qsizetype{8192} * 8192 * 4, Qt::Uninitialized);
    auto* classes = reinterpret_cast<std::int32_t*>(mask.data.data());
    for (qsizetype i = 0; i < qsizetype{8192} * 8192; ++i) {
        const qsizetype x = i % 8192;
        const qsizetype y = i / 8192;
        classes[i] = static_cast<std::int32_t>(((x / 37) + (y / 53) * 3 + ((x * y) % 7 == 0 ? 1 : 0)) % 9);
    }
    mask.geoTransform = {500000, 10, 0, 4100000, 0, -10};
    const QString ours = dir.filePath(QStringLiteral("ours.tif"));
    auto start = Clock::now();
    AiRasterInferenceExecutor::writeGeoTiff(mask, ours);
    const double oursSeconds = secondsSince(start);

    // The same bytes as an in-memory dataset, translated by GDAL with the same creation options.
    const QString memory =
        QStringLiteral("MEM:::DATAPOINTER=%1,PIXELS=8192,LINES=8192,BANDS=1,DATATYPE=Int32")
            .arg(reinterpret_cast<quintptr>(classes));
    const QString theirs = dir.filePath(QStringLiteral("theirs.tif"));
    const double translate = translateSeconds(memory, theirs, true);
    const double oursSize = static_cast<double>(QFileInfo(ours).size());
    const double theirSize = static_cast<double>(QFileInfo(theirs).size());
    std::printf("writeGeoTiff of an Int32 8192 x 8192 mask\n");
    std::printf("  writeGeoTiff         %7.3f s  %.1f MiB\n", oursSeconds, oursSize / (1024 * 1024));
    std::printf("  GDALTranslate        %7.3f s  %.1f MiB   time ratio %.3f (target <= 1.1), size %+.2f %%\n",
                translate, theirSize / (1024 * 1024), oursSeconds / translate,
                (oursSize / theirSize - 1) * 100);
}

void provenance() {
    AiInferenceExecutionProvenance record;
    record.executionId = QStringLiteral("4f7b0f0a-8a9e-4a55-9d1e-2b9f1f0b6a11");
    record.recordedAtUtc = QStringLiteral("2026-12-06T14:00:00.000Z");
    record.modelId = QStringLiteral("land-cover");
    record.modelPath = QStringLiteral("/models/land-cover/model.onnx");
    record.modelSha256 = QString(64, QLatin1Char('a'));
    record.sourcePath = QStringLiteral("/data/scene.tif");
    record.sourceCrs = QString(600, QLatin1Char('w'));
    record.inputBands = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const int rounds = 20000;
    QString digest;
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        record.elapsedMilliseconds = i;
        digest = record.sha256();
    }
    const double micros = secondsSince(start) / rounds * 1e6;
    std::printf("Provenance canonicalJson + sha256: %.1f us per record (target <= 50)\n", micros);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    const QString what = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("all");
    try {
        if (what == QLatin1String("overhead") || what == QLatin1String("all")) {
            overhead();
        }
        if (what == QLatin1String("spinning")) {
            spinning();
        }
        if (what == QLatin1String("phases")) {
            phases();
        }
        if (what == QLatin1String("executor")) {  // for profilers: executor runs only
            QTemporaryDir dir;
            AiRasterInferenceRequest request;
            request.modelPath = model("raster_cnn.onnx");
            request.rasterPath = scene(dir, 4096, "scene4096.tif");
            for (int i = 0; i < 3; ++i) {
                const auto start = Clock::now();
                AiRasterInferenceExecutor::run(request);
                std::printf("executor run %.3f s\n", secondsSince(start));
            }
        }
        if (what == QLatin1String("identity") || what == QLatin1String("all")) {
            identity();
        }
        if (what == QLatin1String("write") || what == QLatin1String("all")) {
            write();
        }
        if (what == QLatin1String("provenance") || what == QLatin1String("all")) {
            provenance();
        }
        if (what == QLatin1String("memory") || what == QLatin1String("all")) {
            memory();
        }
        if (what == QLatin1String("memory-run") && argc > 2) {
            memoryRun(QString::fromLocal8Bit(argv[2]));
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_raster: %s\n", error.what());
        return 1;
    }
    return 0;
}
