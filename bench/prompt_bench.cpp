// Prompt segmentation on an 8192 x 8192 four-band Float32 GeoTIFF (striped, uncompressed, 1 GiB), each
// measure beside its reference in the same run:
//
//   - building the embedding vs a plain GDAL read of the same four bands as Float32 into the same kind of
//     buffer (one GDALDatasetRasterIO call), target <= 1.3;
//   - a "water" text prompt over the 67 M pixels on a cached embedding, target <= 150 ms;
//   - a box prompt answered from the cache vs the same prompt on a miss, target <= 5 %.
//
//   build/bench/bench_prompt [DIRECTORY]     scratch raster in DIRECTORY (default: the temporary directory)
//
// BENCH_ROUNDS=N sets the rounds (default 5). Each round takes every measure once, so a drift of the
// machine's speed touches all of them alike; figures are medians over the rounds, after a warm-up read that
// brings the file into the page cache.

#include "bench_support.h"

#include <tarnivale/ai/prompt.h>

#include "prompt/prompt_embedding.h"
#include "runtime/gdal_handles.h"
#include "runtime/huge_pages.h"
#include "support/raster_fixture.h"

#include <QDir>
#include <QTemporaryDir>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Bench;

namespace {

constexpr int Side = 8192;
constexpr int Bands = 4;

int rounds() {
    const char* value = std::getenv("BENCH_ROUNDS");
    const int parsed = value != nullptr ? std::atoi(value) : 0;
    return parsed > 0 ? parsed : 5;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::exit(1);
}

/// The reference: one dataset read of the four bands as Float32, band-sequential, into a fresh buffer.
double plainRead(const QString& path, double& checksum) {
    const Clock::time_point start = Clock::now();
    const Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    const std::size_t pixels = std::size_t{Side} * Side;
    PlaneBuffer planes(pixels * Bands);
    std::array<int, Bands> bandMap{1, 2, 3, 4};
    if (!dataset || GDALDatasetRasterIO(dataset.get(), GF_Read, 0, 0, Side, Side, planes.data(), Side, Side,
                                        GDT_Float32, Bands, bandMap.data(), 0, 0, 0) != CE_None) {
        fail("the reference read failed");
    }
    const double seconds = secondsSince(start);
    checksum += planes.data()[pixels * Bands - 1];
    return seconds;
}

double embedding(const QString& path, double& checksum) {
    const Clock::time_point start = Clock::now();
    const std::shared_ptr<const PromptEmbedding> built = buildPromptEmbedding(path);
    const double seconds = secondsSince(start);
    checksum += built->band(Bands - 1)[built->pixelCount() - 1];
    return seconds;
}

double segment(const AiPromptSegmentationRequest& request, bool expectHit, double& checksum) {
    const Clock::time_point start = Clock::now();
    const AiPromptSegmentationResult result = AiPromptSegmentationEngine::segment(request);
    const double seconds = secondsSince(start);
    if (result.cacheHit != expectHit) {
        fail("unexpected cache state");
    }
    checksum += result.confidence;
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir dir(QDir(base).filePath(QStringLiteral("prompt-bench-XXXXXX")));
    if (!dir.isValid()) {
        fail("cannot create the scratch directory");
    }
    const QString path = dir.filePath(QStringLiteral("scene.tif"));
    std::printf("writing %d x %d x %d Float32 scene to %s\n", Side, Side, Bands, qPrintable(path));
    Testing::TestRasterSpec spec;
    spec.width = Side;
    spec.height = Side;
    spec.bands = Bands;
    // Varied values whose "water" index selects about a third of the pixels.
    spec.value = [](int band, int x, int y) {
        return band * 100.0 + ((x * 7 + y * 13 + band * band * 31) % 997);
    };
    Testing::writeTestRaster(path, spec);

    AiPromptSegmentationRequest box;
    box.rasterPath = path;
    box.boxes = {{100, 100, 3000, 2000}};
    AiPromptSegmentationRequest text;
    text.rasterPath = path;
    text.textPrompt = QStringLiteral("water");
    text.textThreshold = 0.25;

    double checksum = 0.0;
    plainRead(path, checksum);  // warm-up: the file into the page cache
    std::vector<double> reads, builds, buildRatios, misses, hits, hitShares, texts;
    const int count = rounds();
    for (int round = 0; round < count; ++round) {
        reads.push_back(plainRead(path, checksum));
        builds.push_back(embedding(path, checksum));
        buildRatios.push_back(builds.back() / reads.back());
        AiPromptSegmentationEngine::clearEmbeddingCache();
        misses.push_back(segment(box, false, checksum));
        hits.push_back(segment(box, true, checksum));
        hitShares.push_back(hits.back() / misses.back());
        texts.push_back(segment(text, true, checksum));
        std::printf(
            "round %d: read %.3f s, embedding %.3f s (%.2f), miss %.3f s, hit %.1f ms (%.1f %%), "
            "text %.1f ms\n",
            round + 1, reads.back(), builds.back(), buildRatios.back(), misses.back(), hits.back() * 1e3,
            hitShares.back() * 100.0, texts.back() * 1e3);
    }
    AiPromptSegmentationEngine::clearEmbeddingCache();

    std::printf("\nmedians of %d rounds (checksum %.3f)\n", count, checksum);
    std::printf("| measure | figure | target |\n|---|---|---|\n");
    std::printf("| plain GDAL read, 4 bands Float32 | %.3f s | |\n", median(reads));
    std::printf("| embedding (read, range, stretch) | %.3f s, ratio %.2f | <= 1.3 |\n", median(builds),
                median(buildRatios));
    std::printf("| text prompt \"water\", cached | %.1f ms | <= 150 ms |\n", median(texts) * 1e3);
    std::printf("| box prompt: miss / hit | %.3f s / %.1f ms: %.1f %% | <= 5 %% |\n", median(misses),
                median(hits) * 1e3, median(hitShares) * 100.0);
    return 0;
}
