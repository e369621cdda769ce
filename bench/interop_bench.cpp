// What the flat C interface adds to a raster run: TarnivaleAI_RunRasterInference against the class call
// (AiRasterInferenceExecutor::runIsolated) on the same request, alternating, median of 5 each (target: +2 %
// at most).
//
//   build/bench/bench_interop

#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/raster.h>

#include "support/raster_fixture.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace Tarnivale::AI;
using Clock = std::chrono::steady_clock;

namespace {
double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
}  // namespace

int main() {
    QTemporaryDir dir;
    const QString raster = dir.filePath(QStringLiteral("scene.tif"));
    Testing::TestRasterSpec spec;
    spec.width = 4096;
    spec.height = 4096;
    spec.bands = 3;
    spec.dataType = GDT_Byte;
    spec.blockWidth = 256;
    spec.blockHeight = 256;
    spec.value = [](int band, int x, int y) { return (x * band + y) % 256; };
    Testing::writeTestRaster(raster, spec);
    const QString model =
        QDir(QStringLiteral(TARNIVALE_TEST_MODEL_DIR)).filePath(QStringLiteral("raster_cnn.onnx"));

    AiRasterInferenceRequest request;
    request.modelPath = model;
    request.rasterPath = raster;
    request.normalization = AiNormalization{{127.5}, {64.0}, 1.0};
    const int threads = std::getenv("BENCH_THREADS") ? std::atoi(std::getenv("BENCH_THREADS")) : 0;
    request.sessionOptions.intraOpThreads = threads;
    const QJsonObject json{{QStringLiteral("modelPath"), model},
                           {QStringLiteral("rasterPath"), raster},
                           {QStringLiteral("intraOpThreads"), threads},
                           {QStringLiteral("normalization"),
                            QJsonObject{{QStringLiteral("mean"), QJsonArray{127.5}},
                                        {QStringLiteral("standardDeviation"), QJsonArray{64.0}}}}};
    const std::u16string text =
        QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)).toStdU16String();

    AiRasterInferenceExecutor::runIsolated(request);  // warm the page cache and the runtime libraries
    std::vector<double> flat;
    std::vector<double> classCall;
    for (int round = 0; round < 10; ++round) {
        // Alternate which goes first, so that drift of the machine favours neither.
        const bool flatTurn = round % 2 == 0;
        const auto start = Clock::now();
        if (flatTurn) {
            TarnivaleAI_Char* result = TarnivaleAI_RunRasterInference(text.c_str(), nullptr, nullptr);
            if (result == nullptr) {
                std::fprintf(stderr, "bench_interop: the flat call failed\n");
                return 1;
            }
            TarnivaleAI_FreeString(result);
        } else {
            AiRasterInferenceExecutor::runIsolated(request);
        }
        (flatTurn ? flat : classCall).push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    if (std::getenv("BENCH_VERBOSE") != nullptr) {
        for (size_t i = 0; i < flat.size(); ++i) {
            std::printf("  round %zu: class %.3f s, flat %.3f s\n", i, classCall[i], flat[i]);
        }
    }
    const double c = median(classCall);
    const double f = median(flat);
    std::printf("Raster run on 4096 x 4096 x 3 with raster_cnn (81 tiles), median of 5 each, alternating\n");
    std::printf("  class call (runIsolated)       %.3f s\n", c);
    std::printf("  TarnivaleAI_RunRasterInference %.3f s   +%.2f %% (target <= 2 %%)\n", f,
                (f / c - 1) * 100);
    return 0;
}
