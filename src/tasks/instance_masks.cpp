#include "tasks/instance_masks.h"

#include "runtime/errors.h"

#include <QHash>

#include <algorithm>
#include <numeric>

namespace Tarnivale::AI::Tasks {

MaskCandidates::MaskCandidates(std::int64_t maximumCandidates, std::int64_t maximumBytes,
                               QString budgetMessage)
    : m_maximumCandidates(maximumCandidates),
      m_maximumBytes(maximumBytes),
      m_budgetMessage(std::move(budgetMessage)) {}

void MaskCandidates::reserve(std::int64_t boxPixels) const {
    if (static_cast<std::int64_t>(m_candidates.size()) >= m_maximumCandidates ||
        boxPixels > m_maximumBytes - m_bytes) {
        throwRuntimeError(m_budgetMessage);
    }
}

void MaskCandidates::add(MaskCandidate candidate) {
    reserve(static_cast<std::int64_t>(candidate.mask.size()));
    m_bytes += static_cast<std::int64_t>(candidate.mask.size());
    m_candidates.push_back(std::move(candidate));
}

namespace {

double maskIou(const MaskCandidate& a, const MaskCandidate& b) {
    const std::int32_t x0 = std::max(a.x0, b.x0);
    const std::int32_t x1 = std::min(a.x1, b.x1);
    const std::int32_t y0 = std::max(a.y0, b.y0);
    const std::int32_t y1 = std::min(a.y1, b.y1);
    std::int64_t intersection = 0;
    for (std::int32_t y = y0; y < y1; ++y) {
        const std::uint8_t* rowA =
            a.mask.data() + static_cast<std::ptrdiff_t>(y - a.y0) * (a.x1 - a.x0) - a.x0;
        const std::uint8_t* rowB =
            b.mask.data() + static_cast<std::ptrdiff_t>(y - b.y0) * (b.x1 - b.x0) - b.x0;
        for (std::int32_t x = x0; x < x1; ++x) {
            intersection += rowA[x] & rowB[x];
        }
    }
    const std::int64_t unionPixels = a.pixels + b.pixels - intersection;
    return unionPixels > 0 ? static_cast<double>(intersection) / static_cast<double>(unionPixels) : 0.0;
}

qint64 cellKey(std::int32_t column, std::int32_t row) {
    return (static_cast<qint64>(row) << 32) ^ static_cast<quint32>(column);
}

}  // namespace

std::vector<const MaskCandidate*> suppressMasks(const std::vector<MaskCandidate>& candidates,
                                                double iouThreshold, std::int32_t cellSize) {
    std::vector<std::size_t> order(candidates.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return candidates[a].score > candidates[b].score; });
    std::vector<const MaskCandidate*> accepted;
    QHash<qint64, std::vector<const MaskCandidate*>> cells;
    for (const std::size_t index : order) {
        const MaskCandidate& candidate = candidates[index];
        const std::int32_t c0 = candidate.x0 / cellSize;
        const std::int32_t c1 = (candidate.x1 - 1) / cellSize;
        const std::int32_t r0 = candidate.y0 / cellSize;
        const std::int32_t r1 = (candidate.y1 - 1) / cellSize;
        bool suppressed = false;
        for (std::int32_t row = r0; row <= r1 && !suppressed; ++row) {
            for (std::int32_t column = c0; column <= c1 && !suppressed; ++column) {
                const auto bucket = cells.constFind(cellKey(column, row));
                if (bucket == cells.constEnd()) {
                    continue;
                }
                suppressed = std::any_of(bucket->begin(), bucket->end(), [&](const MaskCandidate* kept) {
                    return kept->x0 < candidate.x1 && candidate.x0 < kept->x1 && kept->y0 < candidate.y1 &&
                           candidate.y0 < kept->y1 && maskIou(candidate, *kept) > iouThreshold;
                });
            }
        }
        if (suppressed) {
            continue;
        }
        for (std::int32_t row = r0; row <= r1; ++row) {
            for (std::int32_t column = c0; column <= c1; ++column) {
                cells[cellKey(column, row)].push_back(&candidate);
            }
        }
        accepted.push_back(&candidate);
    }
    return accepted;
}

std::int32_t paintInstances(const std::vector<const MaskCandidate*>& accepted, std::int32_t* labels,
                            std::int32_t width, std::int32_t height) {
    std::int32_t count = 0;
    for (const MaskCandidate* candidate : accepted) {
        const std::int32_t label = count + 1;
        bool painted = false;
        for (std::int32_t y = std::max(candidate->y0, 0); y < std::min(candidate->y1, height); ++y) {
            const std::uint8_t* row =
                candidate->mask.data() +
                static_cast<std::ptrdiff_t>(y - candidate->y0) * (candidate->x1 - candidate->x0);
            std::int32_t* out = labels + static_cast<std::ptrdiff_t>(y) * width;
            for (std::int32_t x = std::max(candidate->x0, 0); x < std::min(candidate->x1, width); ++x) {
                if (row[x - candidate->x0] != 0 && out[x] == 0) {
                    out[x] = label;
                    painted = true;
                }
            }
        }
        count += painted ? 1 : 0;
    }
    return count;
}

}  // namespace Tarnivale::AI::Tasks
