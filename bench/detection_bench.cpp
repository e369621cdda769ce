// Object detection benchmarks, one mode per run:
//
//   build/bench/bench_detection decoder    AiObjectDetectionDecoder::decode on synthetic candidates
//
// BENCH_ROUNDS=N sets the timed repeats of each measure (default 9); figures are medians after one untimed
// warm-up, on the calling thread only.

#include <tarnivale/ai/detection.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace Tarnivale::AI;
using Clock = std::chrono::steady_clock;

namespace {

int rounds() {
    const char* value = std::getenv("BENCH_ROUNDS");
    const int parsed = value != nullptr ? std::atoi(value) : 0;
    return parsed > 0 ? parsed : 9;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// --- decoder ---------------------------------------------------------------------------------------------

/// A fixed-seed generator (splitmix64), so that every build and library draws the same candidates.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    /// Uniform in [0, 1) with 24 random bits, exact in single precision.
    float unit() { return static_cast<float>(next() >> 40) / static_cast<float>(1u << 24); }

private:
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint64_t state_;
};

constexpr float ImageSize = 4096.0f;
constexpr int ClassCount = 80;

struct Candidates {
    AiTensor boxes;
    AiTensor scores;
    AiTensor classes;
};

/// N xyxy boxes with uniform centres on a 4096² image and sides of 8–200 px (clipped to the image), scores
/// uniform in [0, 1), classes uniform over 80.
Candidates makeCandidates(std::int64_t count) {
    Random random(0x7A12u + static_cast<std::uint64_t>(count));
    QList<float> boxes(count * 4);
    QList<float> scores(count);
    QList<float> classes(count);
    for (std::int64_t i = 0; i < count; ++i) {
        const float cx = random.unit() * ImageSize;
        const float cy = random.unit() * ImageSize;
        const float width = 8.0f + random.unit() * 192.0f;
        const float height = 8.0f + random.unit() * 192.0f;
        boxes[i * 4 + 0] = std::max(0.0f, cx - width * 0.5f);
        boxes[i * 4 + 1] = std::max(0.0f, cy - height * 0.5f);
        boxes[i * 4 + 2] = std::min(ImageSize, cx + width * 0.5f);
        boxes[i * 4 + 3] = std::min(ImageSize, cy + height * 0.5f);
        scores[i] = random.unit();
        classes[i] =
            static_cast<float>(std::min(ClassCount - 1, static_cast<int>(random.unit() * ClassCount)));
    }
    return {AiTensor::fromFloat32(QStringLiteral("boxes"), {count, 4}, boxes),
            AiTensor::fromFloat32(QStringLiteral("scores"), {count}, scores),
            AiTensor::fromFloat32(QStringLiteral("classes"), {count}, classes)};
}

struct DecodeFigures {
    double milliseconds = 0.0;  // median
    double fastest = 0.0;
    double slowest = 0.0;
    qsizetype detections = 0;
};

DecodeFigures timeDecode(const Candidates& candidates, const AiObjectDetectionOptions& options,
                         const QList<QString>& labels, int repeats, double& checksum) {
    const auto once = [&] {
        const auto start = Clock::now();
        const QList<AiDetection> detections = AiObjectDetectionDecoder::decode(
            candidates.boxes, candidates.scores, candidates.classes, options, labels);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        // Keeps the result observable so the work cannot be dropped.
        checksum += detections.isEmpty() ? 0.0 : detections.back().score + detections.front().xMin;
        return std::pair{ms, detections.size()};
    };
    DecodeFigures figures;
    figures.detections = once().second;  // warm-up: faults in the allocator's pages
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        times.push_back(once().first);
    }
    figures.milliseconds = median(times);
    figures.fastest = *std::min_element(times.begin(), times.end());
    figures.slowest = *std::max_element(times.begin(), times.end());
    return figures;
}

int runDecoder() {
    const int repeats = rounds();
    AiObjectDetectionOptions options;
    options.boxFormat = QStringLiteral("xyxy");
    options.scoreThreshold = 0.25;
    options.nmsThreshold = 0.45;
    options.maximumDetections = 300;
    options.classAgnosticNms = false;
    AiObjectDetectionOptions agnostic = options;
    agnostic.classAgnosticNms = true;
    QList<QString> labels;
    for (int c = 0; c < ClassCount; ++c) {
        labels.append(QStringLiteral("class %1").arg(c));
    }

    std::printf("AiObjectDetectionDecoder::decode, one thread, median of %d runs after a warm-up\n", repeats);
    std::printf(
        "  xyxy boxes on a %.0f x %.0f image (sides 8-200 px), scores uniform in [0, 1), %d classes "
        "with labels\n",
        static_cast<double>(ImageSize), static_cast<double>(ImageSize), ClassCount);
    std::printf(
        "  scoreThreshold %.2f (about 75 %% of the candidates pass), nmsThreshold %.2f, "
        "maximumDetections %d\n\n",
        options.scoreThreshold, options.nmsThreshold, options.maximumDetections);
    std::printf("  %-12s %10s %12s %12s %14s %20s\n", "suppression", "candidates", "detections", "median ms",
                "ms per 1000", "range ms");

    double checksum = 0.0;
    struct Row {
        std::int64_t count;
        bool classAgnostic;
        DecodeFigures figures;
    };
    std::vector<Row> rows{
        {10'000, false, {}}, {100'000, false, {}}, {1'000'000, false, {}}, {100'000, true, {}}};
    for (Row& row : rows) {
        const Candidates candidates = makeCandidates(row.count);
        row.figures =
            timeDecode(candidates, row.classAgnostic ? agnostic : options, labels, repeats, checksum);
        const DecodeFigures& f = row.figures;
        std::printf("  %-12s %10lld %12lld %12.2f %14.3f %9.2f - %8.2f\n",
                    row.classAgnostic ? "agnostic" : "per class", static_cast<long long>(row.count),
                    static_cast<long long>(f.detections), f.milliseconds,
                    f.milliseconds / (static_cast<double>(row.count) / 1000.0), f.fastest, f.slowest);
    }

    const double at100k = rows[1].figures.milliseconds;
    // Linear growth: each tenfold step in N at most tenfold in time, with a margin of 1.5 for caches.
    const double step1 = rows[1].figures.milliseconds / rows[0].figures.milliseconds;
    const double step2 = rows[2].figures.milliseconds / rows[1].figures.milliseconds;
    std::printf("\n  100 000 candidates, per class: %.2f ms   target <= 30 ms on one core  %s\n", at100k,
                at100k <= 30.0 ? "ok" : "MISSED");
    std::printf(
        "  time growth per tenfold N: 10 000 -> 100 000 x%.1f, 100 000 -> 1 000 000 x%.1f   "
        "target: linear (x10, at most x15)  %s\n",
        step1, step2, std::max(step1, step2) <= 15.0 ? "ok" : "MISSED");
    std::printf("  (checksum %.3f)\n", checksum);
    return 0;
}

// --- modes -----------------------------------------------------------------------------------------------

struct Mode {
    const char* name;
    const char* summary;
    int (*run)();
};

constexpr Mode Modes[] = {
    {"decoder", "AiObjectDetectionDecoder::decode over 10 000 to 1 000 000 synthetic candidates", runDecoder},
};

int usage(const char* program) {
    std::fprintf(stderr, "usage: %s MODE\n", program);
    for (const Mode& mode : Modes) {
        std::fprintf(stderr, "  %-10s %s\n", mode.name, mode.summary);
    }
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return usage(argv[0]);
    }
    for (const Mode& mode : Modes) {
        if (std::strcmp(argv[1], mode.name) == 0) {
            return mode.run();
        }
    }
    return usage(argv[0]);
}
