#pragma once

#include <algorithm>

namespace Tarnivale::AI {

/// Intersection over union of two corner boxes (anything with xMin, yMin, xMax, yMax); 0 when the union is
/// empty. The decoder and the scene-wide merge share it, so both suppress by the same rule.
template <typename Box>
double intersectionOverUnion(const Box& a, const Box& b) {
    const double width = std::max(0.0, std::min(a.xMax, b.xMax) - std::max(a.xMin, b.xMin));
    const double height = std::max(0.0, std::min(a.yMax, b.yMax) - std::max(a.yMin, b.yMin));
    const double intersection = width * height;
    const double areaA = std::max(0.0, a.xMax - a.xMin) * std::max(0.0, a.yMax - a.yMin);
    const double areaB = std::max(0.0, b.xMax - b.xMin) * std::max(0.0, b.yMax - b.yMin);
    const double unionArea = areaA + areaB - intersection;
    return unionArea > 0.0 ? intersection / unionArea : 0.0;
}

}  // namespace Tarnivale::AI
