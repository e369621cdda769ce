// What `tarnivale-ai run --cog` and `--estimate` cost, each beside its reference in the same run:
//
//   build/bench/bench_cog_estimate cog        writing a 6000 x 6000 class mask as a Cloud-Optimised GeoTIFF
//                                             against `gdal_translate -of COG` of the same mask already
//                                             written as a GeoTIFF (the same creation options), target <= 1.3
//   build/bench/bench_cog_estimate estimate   AiRasterInferenceExecutor::estimate on a 100 000 x 100 000
//                                             three-band raster (sparse GeoTIFF), target <= 100 ms
//
// BENCH_ROUNDS=N (default 5); medians, the two sides of a round taken one after the other.

#include <tarnivale/ai/raster.h>

#include "bench_support.h"
#include "runtime/gdal_handles.h"
#include "support/test_paths.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gdal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Bench;

namespace {

int rounds() {
    const char* text = std::getenv("BENCH_ROUNDS");
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 5;
}

// Blobs of nine classes, as a land-cover mask looks: long runs that compress like real results.
AiRasterInferenceResult classMask(int side) {
    AiRasterInferenceResult mask;
    mask.width = mask.height = side;
    mask.bandCount = 1;
    mask.dataType = AiTensorDataType::Int32;
    mask.geoTransform = {500000, 10, 0, 4200000, 0, -10};
    mask.provenance.modelId = QStringLiteral("bench");
    mask.data = QByteArray(qsizetype{side} * side * 4, Qt::Uninitialized);
    auto* classes = reinterpret_cast<std::int32_t*>(mask.data.data());
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            classes[std::size_t(y) * side + x] = ((x / 97) * 7 + (y / 61) * 3 + (x * y / 5003) % 2) % 9;
        }
    }
    return mask;
}

int runCog() {
    QTemporaryDir dir(QDir::tempPath() + "/bench-cog-XXXXXX");
    const AiRasterInferenceResult mask = classMask(6000);
    const QString plain = dir.filePath("mask.tif");
    AiRasterInferenceExecutor::writeGeoTiff(mask, plain);
    std::vector<double> ours, reference, ratios;
    for (int round = -1; round < rounds(); ++round) {
        const QString cog = dir.filePath(QStringLiteral("ours-%1.tif").arg(round + 1));
        const QString translated = dir.filePath(QStringLiteral("gdal-%1.tif").arg(round + 1));
        Clock::time_point start = Clock::now();
        AiRasterInferenceExecutor::writeCloudOptimizedGeoTiff(mask, cog);
        const double written = secondsSince(start);
        const QByteArray command =
            QStringLiteral(
                "gdal_translate -q -of COG -co COMPRESS=DEFLATE -co NUM_THREADS=ALL_CPUS "
                "-co RESAMPLING=NEAREST '%1' '%2'")
                .arg(plain, translated)
                .toUtf8();
        start = Clock::now();
        if (std::system(command.constData()) != 0) {
            std::fprintf(stderr, "gdal_translate failed\n");
            return 1;
        }
        const double tool = secondsSince(start);
        if (round >= 0) {
            ours.push_back(written);
            reference.push_back(tool);
            ratios.push_back(written / tool);
        }
        QFile::remove(cog);
        QFile::remove(translated);
    }
    const double ratio = median(ratios);
    std::printf("bench_cog_estimate cog: 6000 x 6000 Int32 class mask, %d rounds\n", rounds());
    std::printf("  writeCloudOptimizedGeoTiff (from memory)   %8.3f s (median)\n", median(ours));
    std::printf("  gdal_translate -of COG (from the GeoTIFF)  %8.3f s (median)\n", median(reference));
    std::printf("  ratio (median of rounds) %.3f   target <= 1.3  %s\n", ratio,
                ratio <= 1.3 ? "ok" : "MISSED");
    return 0;
}

int runEstimate() {
    QTemporaryDir dir(QDir::tempPath() + "/bench-estimate-XXXXXX");
    const QString raster = dir.filePath("huge.tif");
    {
        // Sparse: no block is written, so the 30 GB raster takes a few kilobytes.
        const char* options[] = {"TILED=YES", "SPARSE_OK=TRUE", "BIGTIFF=YES", nullptr};
        Gdal::registerDrivers();
        const Gdal::Dataset dataset(GDALCreate(GDALGetDriverByName("GTiff"), raster.toUtf8().constData(),
                                               100000, 100000, 3, GDT_Byte, const_cast<char**>(options)));
        if (!dataset) {
            std::fprintf(stderr, "cannot create the raster\n");
            return 1;
        }
    }
    AiRasterInferenceRequest request;
    request.modelPath = Testing::testModelPath("conv_stack.onnx");
    request.rasterPath = raster;
    request.tiling = {512, 512, 32, 32};
    std::vector<double> times;
    AiRasterRunEstimate estimate;
    for (int round = -1; round < rounds(); ++round) {
        const Clock::time_point start = Clock::now();
        estimate = AiRasterInferenceExecutor::estimate(request);
        if (round >= 0) {
            times.push_back(secondsSince(start));
        }
    }
    const double time = median(times) * 1000;
    std::printf(
        "bench_cog_estimate estimate: 100000 x 100000 x 3 sparse GeoTIFF, 512-pixel tiles, %d rounds\n",
        rounds());
    std::printf("  %d tiles, peak memory %lld bytes, output %lld bytes\n", estimate.totalTiles,
                static_cast<long long>(estimate.peakMemoryBytes),
                static_cast<long long>(estimate.outputBytes));
    std::printf("  estimate %8.1f ms (median)   target <= 100 ms  %s\n", time, time <= 100 ? "ok" : "MISSED");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "cog") == 0) {
        return runCog();
    }
    if (argc == 2 && std::strcmp(argv[1], "estimate") == 0) {
        return runEstimate();
    }
    std::fprintf(stderr, "usage: bench_cog_estimate cog|estimate\n");
    return 2;
}
