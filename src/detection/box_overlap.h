#pragma once

#include <tarnivale/ai/detection.h>

#include <algorithm>

namespace Tarnivale::AI {

/// Intersection over union of two corner boxes; 0 when the union is empty.
inline double intersectionOverUnion(const AiDetection& a, const AiDetection& b) {
    const double width = std::max(0.0, std::min(a.xMax, b.xMax) - std::max(a.xMin, b.xMin));
    const double height = std::max(0.0, std::min(a.yMax, b.yMax) - std::max(a.yMin, b.yMin));
    const double intersection = width * height;
    const double areaA = std::max(0.0, a.xMax - a.xMin) * std::max(0.0, a.yMax - a.yMin);
    const double areaB = std::max(0.0, b.xMax - b.xMin) * std::max(0.0, b.yMax - b.yMin);
    const double unionArea = areaA + areaB - intersection;
    return unionArea > 0.0 ? intersection / unionArea : 0.0;
}

}  // namespace Tarnivale::AI
