#pragma once

// Objects cut by the seams of overlapping windows: a box that reaches an inner edge of its window is a part
// of an object when another window holds the box whole, and that window's sighting is the one to keep.
// Sliced detection and the windowed building extraction share the rule.

#include <QList>

#include <algorithm>
#include <cstdint>

namespace Tarnivale::AI {

/// True when [low, high] reaches within `margin` of an edge of the window [start, start + size) that is not
/// the raster's own edge (0 or `length`).
inline bool cutBySeam(double low, double high, std::int32_t start, std::int32_t size, std::int32_t length,
                      double margin) {
    return (start > 0 && low <= start + margin) || (start + size < length && high >= start + size - margin);
}

/// True when some window along this axis (sorted `starts`, each `size` long, clipped to `length`) holds
/// [low, high] without it being cut: only the starts between high - size and low can, found by bisection.
inline bool someWindowHolds(double low, double high, const QList<std::int32_t>& starts, std::int32_t size,
                            std::int32_t length, double margin) {
    const std::int32_t span = std::min(size, length);
    for (auto start = std::lower_bound(starts.begin(), starts.end(), high - span);
         start != starts.end() && *start <= low; ++start) {
        if (!cutBySeam(low, high, *start, span, length, margin) && high <= *start + span) {
            return true;
        }
    }
    return false;
}

/// Window starts along one axis: every size - overlap pixels, the last one flush with the raster's edge
/// (a raster shorter than the window has the one window at 0).
inline QList<std::int32_t> windowStarts(std::int32_t length, std::int32_t size, std::int32_t overlap) {
    QList<std::int32_t> starts{0};
    for (std::int64_t start = size - overlap; std::int64_t{starts.last()} + size < length;
         start += size - overlap) {
        starts.append(static_cast<std::int32_t>(std::min<std::int64_t>(start, std::int64_t{length} - size)));
    }
    return starts;
}

}  // namespace Tarnivale::AI
