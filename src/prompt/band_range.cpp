#include "prompt/band_range.h"

#include <algorithm>
#include <cstring>

namespace Tarnivale::AI {

namespace {

// GCC vector lanes: without them the vectoriser leaves a min/max reduction scalar, since it cannot
// reorder the comparisons under strict floating-point rules; lane-wise comparisons are the same
// comparisons, only taken four at a time.
using Lanes = float __attribute__((vector_size(16)));
constexpr std::size_t kLanes = 4;

Lanes load(const float* values) {
    Lanes lanes;
    std::memcpy(&lanes, values, sizeof lanes);
    return lanes;
}

Lanes splat(float value) {
    return Lanes{value, value, value, value};
}

}  // namespace

void BandRange::widen(const float* values, std::size_t count) {
    // Two independent accumulators per side hide the latency of the comparisons.
    Lanes lowA = splat(minimum);
    Lanes lowB = lowA;
    Lanes highA = splat(maximum);
    Lanes highB = highA;
    std::size_t i = 0;
    for (; i + 2 * kLanes <= count; i += 2 * kLanes) {
        const Lanes a = load(values + i);
        const Lanes b = load(values + i + kLanes);
        // A NaN fails the comparison and leaves the accumulator as it was.
        lowA = a < lowA ? a : lowA;
        lowB = b < lowB ? b : lowB;
        highA = a > highA ? a : highA;
        highB = b > highB ? b : highB;
    }
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        for (const float value : {lowA[lane], lowB[lane]}) {
            minimum = value < minimum ? value : minimum;
        }
        for (const float value : {highA[lane], highB[lane]}) {
            maximum = value > maximum ? value : maximum;
        }
    }
    for (; i < count; ++i) {
        minimum = values[i] < minimum ? values[i] : minimum;
        maximum = values[i] > maximum ? values[i] : maximum;
    }
}

void stretchToUnit(float* values, std::size_t count, const BandRange& range) {
    const float span = range.maximum - range.minimum;
    if (!(static_cast<double>(span) > 1e-12)) {
        std::fill(values, values + count, 0.0f);
        return;
    }
    const float minimum = range.minimum;
    for (std::size_t i = 0; i < count; ++i) {
        values[i] = (values[i] - minimum) / span;
    }
}

}  // namespace Tarnivale::AI
