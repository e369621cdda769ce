#pragma once

// A raster run's estimate as the JSON document hosts read, shared by the flat raster request and the tasks.

#include <tarnivale/ai/raster.h>

#include <QJsonObject>

namespace Tarnivale::AI {

/// {"estimateOnly": true, "width", "height", "totalTiles", "bandCount", "dataType", "peakMemoryBytes",
/// "outputBytes"}.
QJsonObject runEstimateJson(const AiRasterRunEstimate& estimate);

}  // namespace Tarnivale::AI
