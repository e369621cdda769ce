// Task overhead of the flood and field kinds, each against its floor:
//
//   bench_flood_field prue     a prue-fields task on a 2048 x 2048 eight-band raster vs the raster executor
//                              alone on the package's request over the same raster
//   bench_flood_field prithvi  a prithvi-flood task on a 2048 x 2048 thirteen-band raster vs the bare session
//                              runs on its 121 tiles (read beforehand, with their locations): the kind has
//                              its own tile loop, so the executor is not its floor
//   bench_flood_field all      both
//
// Pairs are interleaved so that a drift of the machine's speed affects both sides of a ratio alike; the
// ratio reported is the median of the pairs'. Scratch files go to the system temporary directory.

#include "bench_support.h"

#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/models.h>
#include <tarnivale/ai/raster.h>

#include "raster/package_request.h"
#include "runtime/gdal_handles.h"
#include "support/raster_fixture.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Bench;

namespace {

constexpr int Side = 2048;

[[noreturn]] void fail(const QString& what) {
    std::fprintf(stderr, "%s\n", qPrintable(what));
    std::exit(1);
}

// Interleaved pairs: 3 unless BENCH_ROUNDS says otherwise.
int rounds() {
    return qEnvironmentVariableIsSet("BENCH_ROUNDS") ? qEnvironmentVariableIntValue("BENCH_ROUNDS") : 3;
}

// Intra-operator threads on both sides: the kinds' default of 4 unless BENCH_THREADS says otherwise.
int threads() {
    return qEnvironmentVariableIsSet("BENCH_THREADS") ? qEnvironmentVariableIntValue("BENCH_THREADS") : 4;
}

QString model(const char* name) {
    return QDir(QStringLiteral(TARNIVALE_TEST_MODEL_DIR)).filePath(QString::fromLatin1(name));
}

QString writeScene(const QTemporaryDir& dir, int bands) {
    const QString path = dir.filePath(QStringLiteral("scene.tif"));
    Testing::TestRasterSpec spec;
    spec.width = Side;
    spec.height = Side;
    spec.bands = bands;
    spec.blockWidth = 256;
    spec.blockHeight = 256;
    spec.value = [](int band, int x, int y) {
        return 500.0 + 300.0 * std::sin(x * 0.01 * band) + 200.0 * std::cos(y * 0.013) +
               ((x / 97 + y / 89) % 3) * 100;
    };
    Testing::writeTestRaster(path, spec);
    return path;
}

QString writePackage(const QTemporaryDir& dir, const char* json, const char* modelFile) {
    AiModelManifest manifest = AiModelManifestLoader::fromJson(json);
    manifest.modelPath = model(modelFile);
    const QString path = dir.filePath(QStringLiteral("package"));
    QDir().mkpath(path);
    AiModelPackage::create(path, manifest, true);
    return path;
}

// Runs the task to completion; returns its seconds from start.
double taskSeconds(const QJsonObject& request) {
    const auto begin = Clock::now();
    const std::uint64_t id =
        TarnivaleAI_StartTaskUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact).constData());
    if (id == 0) {
        char* error = TarnivaleAI_GetLastTaskErrorUtf8();
        const QString message = QString::fromUtf8(error);
        TarnivaleAI_FreeTaskString(error);
        fail(message);
    }
    for (;;) {
        char* text = TarnivaleAI_GetTaskStatusUtf8(id);
        const QJsonObject status = QJsonDocument::fromJson(QByteArray(text)).object();
        TarnivaleAI_FreeTaskString(text);
        const QString state = status.value(QStringLiteral("state")).toString();
        if (state == QLatin1String("completed")) {
            break;
        }
        if (state == QLatin1String("failed") || state == QLatin1String("cancelled")) {
            fail(status.value(QStringLiteral("error")).toString());
        }
        QThread::usleep(1000);
    }
    const double seconds = secondsSince(begin);
    TarnivaleAI_ReleaseTask(id);
    return seconds;
}

void report(const char* what, const std::vector<double>& task, const std::vector<double>& floor,
            const char* floorName) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < task.size(); ++i) {
        ratios.push_back(task[i] / floor[i]);
    }
    const double ratio = median(ratios);
    std::printf("  per-round ratios:");
    for (const double r : ratios) {
        std::printf(" %.3f", r);
    }
    std::printf("\n");
    std::printf("%s, 2048 x 2048:\n  task %.2f s, %s %.2f s: ratio %.3f (target <= 1.15) %s\n", what,
                median(task), floorName, median(floor), ratio, ratio <= 1.15 ? "OK" : "MISSED");
}

void prue() {
    QTemporaryDir dir;
    const QString raster = writeScene(dir, 8);
    const QString package = writePackage(dir, R"({"version": "bench",
        "id": "fieldsoftheworld-prue-efficientnet-b5-ccby", "task": "semantic_segmentation",
        "inputs": [{"name": "input", "dataType": "Float32", "layout": "NCHW", "shape": [1, 8, -1, -1]}],
        "outputs": [{"name": "logits", "dataType": "Float32", "layout": "NCHW", "shape": [1, 3, -1, -1]}],
        "inputAdapters": [{"tensor": "input", "bands": [1, 2, 3, 4, 5, 6, 7, 8]}],
        "normalization": {"scale": 0.001},
        "outputDecoders": [{"id": "classes", "tensor": "logits", "activation": "softmax"}],
        "tiling": {"width": 512, "height": 512, "overlapX": 32, "overlapY": 32},
        "labels": ["background", "field", "boundary"]})",
                                         "prue_unet.onnx");
    AiRasterInferenceRequest request = packageInferenceRequest(AiModelPackage::open(package), raster);
    request.sessionOptions.intraOpThreads = threads();
    request.sessionOptions.interOpThreads = 1;
    request.cancellationRequested = [] { return false; };
    AiRasterInferenceExecutor::run(request);  // warm caches and the runtime once
    const QJsonObject task{{QStringLiteral("task"), QStringLiteral("prue-fields")},
                           {QStringLiteral("modelPackagePath"), package},
                           {QStringLiteral("rasterPath"), raster},
                           {QStringLiteral("intraOpThreads"), threads()}};
    std::vector<double> tasks;
    std::vector<double> executor;
    for (int round = 0; round < rounds(); ++round) {
        auto begin = Clock::now();
        AiRasterInferenceExecutor::run(request);
        executor.push_back(secondsSince(begin));
        tasks.push_back(taskSeconds(task));
    }
    report("prue-fields (a two-level U-Net, 16 GFLOP per 512-pixel tile)", tasks, executor, "executor");
}

void prithvi() {
    QTemporaryDir dir;
    const QString raster = writeScene(dir, 13);
    const QString package = writePackage(dir, R"({"version": "bench",
        "id": "ibm-nasa-prithvi-eo2-300m-tl-sen1floods11", "task": "semantic_segmentation",
        "inputs": [{"name": "image", "dataType": "Float32", "shape": [1, 6, 1, 224, 224]},
                   {"name": "location_coords", "dataType": "Float32", "shape": [1, 2]}],
        "outputs": [{"name": "logits", "dataType": "Float32", "layout": "NCHW", "shape": [1, 2, 224, 224]}]})",
                                         "prithvi_flood_costly.onnx");
    // The task's tiles: 224 pixels every 192, the last flush with the edge.
    AiSessionOptions options;
    options.intraOpThreads = threads();
    options.interOpThreads = 1;
    const AiSession session(model("prithvi_flood_costly.onnx"), options);
    const Gdal::Dataset dataset = Gdal::open(raster, GDAL_OF_RASTER | GDAL_OF_READONLY);
    std::vector<QList<AiTensor>> tiles;
    int bands[] = {2, 3, 4, 9, 12, 13};
    for (const AiTileWindow& window : AiTilePlanner::plan(Side, Side, {224, 224, 32, 32})) {
        AiTensor image;
        image.name = QStringLiteral("image");
        image.shape = {1, 6, 1, 224, 224};
        image.data = QByteArray(6 * 224 * 224 * 4, Qt::Uninitialized);
        if (GDALDatasetRasterIO(dataset.get(), GF_Read, window.x, window.y, 224, 224, image.data.data(), 224,
                                224, GDT_Float32, 6, bands, 0, 0, 0) != CE_None) {
            fail(QStringLiteral("cannot read a tile"));
        }
        AiTensor coordinates;
        coordinates.name = QStringLiteral("location_coords");
        coordinates.shape = {1, 2};
        const float location[] = {37.0f, 15.0f};
        coordinates.data = QByteArray(reinterpret_cast<const char*>(location), sizeof location);
        tiles.push_back({image, coordinates});
    }
    AiInferenceResult outputs;
    session.runInto(tiles.front(), outputs);  // warm up
    const QJsonObject task{{QStringLiteral("task"), QStringLiteral("prithvi-flood")},
                           {QStringLiteral("modelPackagePath"), package},
                           {QStringLiteral("rasterPath"), raster},
                           {QStringLiteral("intraOpThreads"), threads()}};
    std::vector<double> tasks;
    std::vector<double> bare;
    for (int round = 0; round < rounds(); ++round) {
        const auto begin = Clock::now();
        for (const QList<AiTensor>& tile : tiles) {
            session.runInto(tile, outputs);
        }
        bare.push_back(secondsSince(begin));
        tasks.push_back(taskSeconds(task));
    }
    report(
        qPrintable(QStringLiteral("prithvi-flood (%1 tiles, two convolutions of width 64, 4 GFLOP per tile)")
                       .arg(tiles.size())),
        tasks, bare, "bare session runs");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "all";
    if (mode != "all" && mode != "prue" && mode != "prithvi") {
        std::fprintf(stderr, "usage: bench_flood_field [prue|prithvi|all]\n");
        return 2;
    }
    if (mode != "prithvi") {
        prue();
    }
    if (mode != "prue") {
        prithvi();
    }
    return 0;
}
