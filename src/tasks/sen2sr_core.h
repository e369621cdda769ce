#pragma once

// The SEN2SR super-resolution core: a four-band raw-DN scene enlarged four times by a packaged SEN2SRLite
// model, run directly through an AiSession over 128 x 128 tiles with reflected 16-pixel halos, of whose
// 512 x 512 outputs the central 384 x 384 are kept.

#include <tarnivale/ai/models.h>
#include <tarnivale/ai/raster.h>

#include "runtime/huge_pages.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <functional>

namespace Tarnivale::AI::Tasks {

inline constexpr std::int32_t Sen2srScale = 4;
inline constexpr std::int32_t Sen2srTile = 128;
inline constexpr std::int32_t Sen2srHalo = 16;
inline constexpr std::int32_t Sen2srCore = Sen2srTile - 2 * Sen2srHalo;  // 96
inline constexpr std::int32_t Sen2srBands = 4;
inline constexpr std::int32_t Sen2srMaximumSide = 32768;
/// Output pixels that fit 512 MiB of four Float32 bands.
inline constexpr qint64 Sen2srMaximumOutputPixels = 33554432;
inline constexpr const char* Sen2srModelId = "esaopensr-sen2srlite-rgbn-x4";

/// Tiles over a source of width × height: one per 96 × 96 core.
inline std::int64_t sen2srTileCount(std::int64_t width, std::int64_t height) {
    return ((width + Sen2srCore - 1) / Sen2srCore) * ((height + Sen2srCore - 1) / Sen2srCore);
}

/// The run's memory: the source's and the enlarged output's Float32 planes, one input and one output tile.
inline std::int64_t sen2srPeakMemory(std::int64_t width, std::int64_t height) {
    const std::int64_t tile = std::int64_t{Sen2srTile} * Sen2srTile;
    return (width * height * (1 + Sen2srScale * Sen2srScale) + tile * (1 + Sen2srScale * Sen2srScale)) *
           Sen2srBands * 4;
}

/// The scene: Float32 samples band after band, (b × height + r) × width + c.
struct Sen2srSource {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bands = Sen2srBands;
    AiTensorDataType dataType = AiTensorDataType::Float32;
    QByteArray samples;
    QList<double> geoTransform;
    QString projectionWkt;
    /// Where the samples were read; recorded in the provenance.
    QString path;
};

/// The enlarged scene. `grid` describes it (size, bands, georeferencing, provider, tiles, provenance, whether
/// the run stopped early) and carries no data: the samples, up to 512 MiB, are in `samples`.
struct Sen2srOutput {
    AiRasterInferenceResult grid;
    PlaneBuffer samples;
};

/// True for the model this core runs: its id, one input and one output.
bool sen2srContract(const AiModelManifest& manifest);

/// Runs the model over the scene. The stop test is asked before each tile; when it says stop, the output
/// comes back with grid.cancelled set. Progress is reported after each tile.
Sen2srOutput superResolve(const Sen2srSource& source, const QString& packagePath,
                          const AiSessionOptions& options, const std::function<bool()>& stop,
                          const AiRasterProgressCallback& progress);

}  // namespace Tarnivale::AI::Tasks
