#pragma once

// What a classification run turns into beside its class raster: the validity mask applied in place and an
// RGBA colour preview with class counts. The loops call the caller's checkpoint, which stops them by
// throwing (a cancelled or overdue task).

#include <tarnivale/ai/raster.h>

#include <QList>
#include <QString>

#include <cstdint>
#include <functional>

namespace Tarnivale::AI {

/// Called between rows; throws to stop the work.
using Checkpoint = std::function<void()>;

/// A preview colour, indexed by class code.
struct ClassColor {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
};

/// Checks the mask's size, grid and CRS against the single Int32 band of the result, then sets every class
/// code whose mask byte is 0 to -1. Codes must lie in -1..(classCount - 1), else unexpectedCodeMessage.
void applyValidityMask(AiRasterInferenceResult& result, const QString& maskPath, std::int32_t classCount,
                       const QString& unexpectedCodeMessage, const Checkpoint& checkpoint);

/// Writes a four-band RGBA GeoTIFF (code -1 fully transparent) and returns the pixel count of each class.
QList<qint64> writeClassPreview(const AiRasterInferenceResult& result, const QString& previewPath,
                                const QList<ClassColor>& colors, const Checkpoint& checkpoint);

}  // namespace Tarnivale::AI
