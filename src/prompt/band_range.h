#pragma once

// The value range of a band and its stretch to 0..1: the two per-sample passes of building an embedding,
// kept in tight loops over contiguous floats.

#include <cstddef>
#include <limits>

namespace Tarnivale::AI {

struct BandRange {
    float minimum = std::numeric_limits<float>::infinity();
    float maximum = -std::numeric_limits<float>::infinity();

    /// Takes the values into the range; NaN samples are ignored.
    void widen(const float* values, std::size_t count);
};

/// v becomes (v - minimum) / (maximum - minimum) when the range is wider than 1e-12, else 0.
void stretchToUnit(float* values, std::size_t count, const BandRange& range);

}  // namespace Tarnivale::AI
