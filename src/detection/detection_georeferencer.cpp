#include <tarnivale/ai/detection.h>

#include "runtime/errors.h"

#include <algorithm>
#include <cmath>

namespace Tarnivale::AI {

QList<AiGeoreferencedDetection> AiDetectionGeoreferencer::transform(const QList<AiDetection>& detections,
                                                                    const QList<double>& geoTransform) {
    if (geoTransform.size() != 6) {
        throwInvalidArgument(QStringLiteral("A six-value GDAL geotransform is required."));
    }
    if (!std::all_of(geoTransform.begin(), geoTransform.end(), [](double v) { return std::isfinite(v); })) {
        throwInvalidArgument(QStringLiteral("The geotransform contains a non-finite value."));
    }
    const QList<double>& g = geoTransform;
    const auto map = [&g](double px, double py) {
        return AiGeoPoint{g[0] + px * g[1] + py * g[2], g[3] + px * g[4] + py * g[5]};
    };
    QList<AiGeoreferencedDetection> mapped;
    for (const AiDetection& d : detections) {
        const bool finite =
            std::isfinite(d.xMin) && std::isfinite(d.yMin) && std::isfinite(d.xMax) && std::isfinite(d.yMax);
        if (!finite || d.xMin >= d.xMax || d.yMin >= d.yMax) {
            continue;
        }
        mapped.append({d.xMin,
                       d.yMin,
                       d.xMax,
                       d.yMax,
                       d.score,
                       d.classId,
                       d.label,
                       {map(d.xMin, d.yMin), map(d.xMax, d.yMin), map(d.xMax, d.yMax), map(d.xMin, d.yMax)}});
    }
    return mapped;
}

}  // namespace Tarnivale::AI
