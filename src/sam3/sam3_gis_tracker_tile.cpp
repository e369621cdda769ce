#include "sam3/sam3_gis_writer_impl.h"

#include "runtime/errors.h"

#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Tarnivale::AI {

void AiSamGisWriter::consume(const AiSamTrackerResult& selection) {
    if (!d || !d->writable) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS writer is no longer writable."));
    }
    d->writable = false;  // until the selection is merged whole
    const std::int64_t width = selection.width;
    const std::int64_t height = selection.height;
    if (width < 1 || height < 1 ||
        width * height > d->options.maximumBufferBytes / SamGis::TileBytesPerPixel ||
        selection.bandCount != 1 || selection.dataType != AiTensorDataType::Int32 ||
        selection.data.size() != width * height * 4 || selection.selectedCandidate < 0 ||
        selection.selectedCandidate >= selection.qualityScores.size()) {
        throwInvalidArgument(QStringLiteral("Invalid tracker GIS mask."));
    }
    const double quality = selection.qualityScores.at(selection.selectedCandidate);
    if (!std::isfinite(quality)) {
        throwInvalidArgument(QStringLiteral("Nonfinite tracker GIS quality."));
    }
    AiSamTileResult tile;
    tile.window = selection.window;
    AiSamTextResult& result = tile.result;
    result.width = result.maskWidth = selection.width;
    result.height = result.maskHeight = selection.height;
    result.validity = selection.validity;
    result.validPixelCount =
        static_cast<std::int64_t>(std::count(selection.validity.begin(), selection.validity.end(), 1));
    result.geoTransform = selection.geoTransform;
    result.projectionWkt = selection.projectionWkt;
    AiSamTextInstance instance;
    instance.queryIndex = selection.selectedCandidate;
    instance.score = std::clamp(quality, 0.0, 1.0);
    instance.mask = QByteArray(static_cast<qsizetype>(width * height), Qt::Uninitialized);
    const auto* values = reinterpret_cast<const std::int32_t*>(selection.data.constData());
    for (std::int64_t i = 0; i < width * height; ++i) {
        if (i % 65536 == 0) {
            d->budget.check();
        }
        if (values[i] != 0 && values[i] != 1) {
            throwInvalidArgument(QStringLiteral("Tracker GIS selection must be binary."));
        }
        instance.mask[static_cast<qsizetype>(i)] = static_cast<char>(values[i]);
    }
    result.instances.append(instance);
    QJsonObject inference = d->options.provenance.value(QStringLiteral("inference")).toObject();
    inference.insert(QStringLiteral("score_kind"), QStringLiteral("tracker_iou_quality_clamped"));
    d->options.provenance.insert(QStringLiteral("inference"), inference);
    d->writable = true;
    consume(tile);
}

}  // namespace Tarnivale::AI
