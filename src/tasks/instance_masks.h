#pragma once

// Instance masks in raster space for windowed instance models (Mask R-CNN): candidates under a count and
// memory budget, suppression by mask IoU in score order, and painting the survivors into one label raster.

#include <QString>

#include <cstdint>
#include <vector>

namespace Tarnivale::AI::Tasks {

/// A binary mask over its box [x0, x1) x [y0, y1) of raster pixels, row by row.
struct MaskCandidate {
    double score = 0.0;
    std::int32_t x0 = 0;
    std::int32_t y0 = 0;
    std::int32_t x1 = 0;
    std::int32_t y1 = 0;
    std::vector<std::uint8_t> mask;
    std::int64_t pixels = 0;  ///< set pixels
};

/// Candidates gathered under a budget: more than `maximumCandidates`, or masks over `maximumBytes` in all,
/// fail with `budgetMessage` before the offending mask is kept.
class MaskCandidates {
public:
    MaskCandidates(std::int64_t maximumCandidates, std::int64_t maximumBytes, QString budgetMessage);

    /// Reserves room for a candidate whose box covers `boxPixels` (throws the budget message).
    void reserve(std::int64_t boxPixels) const;
    void add(MaskCandidate candidate);
    std::vector<MaskCandidate>& candidates() { return m_candidates; }

private:
    std::int64_t m_maximumCandidates;
    std::int64_t m_maximumBytes;
    QString m_budgetMessage;
    std::int64_t m_bytes = 0;
    std::vector<MaskCandidate> m_candidates;
};

/// Greedy suppression: best score first (ties keep the order found); a candidate whose mask IoU with an
/// accepted one exceeds `iouThreshold` is dropped. Only candidates whose boxes meet are compared (boxes are
/// bucketed on a grid of `cellSize` pixels), so the cost follows the overlaps, not the square of the count.
std::vector<const MaskCandidate*> suppressMasks(const std::vector<MaskCandidate>& candidates,
                                                double iouThreshold, std::int32_t cellSize);

/// Paints the accepted masks in order into `labels` (width x height, zero = background): a pixel already
/// painted keeps its instance, so a better instance is never cut by a worse one. Instances left with no pixel
/// are not numbered; returns the instance count (labels 1..count).
std::int32_t paintInstances(const std::vector<const MaskCandidate*>& accepted, std::int32_t* labels,
                            std::int32_t width, std::int32_t height);

}  // namespace Tarnivale::AI::Tasks
