#include "detection/detection_merge.h"

#include "detection/box_overlap.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <vector>

namespace Tarnivale::AI {

namespace {

struct CellRange {
    qint64 first[2];
    qint64 last[2];
};

CellRange cellsOf(const AiDetection& box, double cellSize) {
    const auto cell = [cellSize](double value) { return static_cast<qint64>(std::floor(value / cellSize)); };
    return {{cell(box.xMin), cell(box.yMin)}, {cell(box.xMax), cell(box.yMax)}};
}

qint64 cellKey(qint64 column, qint64 row) {
    return (row << 32) ^ (column & 0xffffffff);
}

}  // namespace

QList<AiDetection> mergeDetections(QList<AiDetection> candidates, double nmsThreshold, bool classAgnostic,
                                   double cellSize) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const AiDetection& a, const AiDetection& b) { return a.score > b.score; });
    // A box far larger than the cells would touch too many of them: the cells grow to the largest box.
    for (const AiDetection& box : candidates) {
        cellSize = std::max({cellSize, box.xMax - box.xMin, box.yMax - box.yMin});
    }
    QList<AiDetection> accepted;
    QHash<qint64, std::vector<qsizetype>> cells;
    for (const AiDetection& candidate : candidates) {
        const CellRange range = cellsOf(candidate, cellSize);
        bool suppressed = false;
        for (qint64 row = range.first[1]; row <= range.last[1] && !suppressed; ++row) {
            for (qint64 column = range.first[0]; column <= range.last[0] && !suppressed; ++column) {
                const auto bucket = cells.constFind(cellKey(column, row));
                if (bucket == cells.constEnd()) {
                    continue;
                }
                suppressed = std::any_of(bucket->begin(), bucket->end(), [&](qsizetype index) {
                    const AiDetection& kept = accepted.at(index);
                    return (classAgnostic || kept.classId == candidate.classId) &&
                           intersectionOverUnion(candidate, kept) > nmsThreshold;
                });
            }
        }
        if (suppressed) {
            continue;
        }
        for (qint64 row = range.first[1]; row <= range.last[1]; ++row) {
            for (qint64 column = range.first[0]; column <= range.last[0]; ++column) {
                cells[cellKey(column, row)].push_back(accepted.size());
            }
        }
        accepted.append(candidate);
    }
    return accepted;
}

}  // namespace Tarnivale::AI
