#include "tasks/sen2sr_core.h"

#include "raster/package_request.h"
#include "raster/raster_input.h"
#include "runtime/errors.h"

#include <QElapsedTimer>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>

namespace Tarnivale::AI::Tasks {

namespace {

constexpr std::int32_t OutputTile = Sen2srTile * Sen2srScale;  // 512
constexpr std::int32_t OutputHalo = Sen2srHalo * Sen2srScale;  // 64
constexpr qsizetype TilePlane = qsizetype{Sen2srTile} * Sen2srTile;
constexpr qsizetype OutputTilePlane = qsizetype{OutputTile} * OutputTile;

using TileIndices = std::array<std::int32_t, Sen2srTile>;

bool validSource(const Sen2srSource& source) {
    const auto side = [](std::int32_t n) { return n >= 2 && n <= Sen2srMaximumSide; };
    return side(source.width) && side(source.height) && source.bands == Sen2srBands &&
           source.dataType == AiTensorDataType::Float32 && source.geoTransform.size() == 6 &&
           !source.projectionWkt.isEmpty() &&
           source.samples.size() == qsizetype{source.width} * source.height * Sen2srBands * 4;
}

AiModelPackage openPackage(const QString& path) {
    AiModelPackage package;
    try {
        package = AiModelPackage::open(path);
    } catch (const std::exception&) {
        throwInvalidArgument(QStringLiteral("Wrong or invalid SEN2SRLite package."));
    }
    if (!package.validationErrors().isEmpty() || !sen2srContract(package.manifest())) {
        throwInvalidArgument(QStringLiteral("Wrong or invalid SEN2SRLite package."));
    }
    return package;
}

// Mirrors an index about the edge samples without repeating them (-1 -> 1, n -> n - 2), again and again
// where a halo is wider than the raster.
std::int32_t reflect(std::int32_t index, std::int32_t n) {
    while (index < 0 || index >= n) {
        index = index < 0 ? -index : 2 * n - index - 2;
    }
    return index;
}

// The source rows (or columns) a tile's inputs read: from 16 before the core's origin, reflected.
TileIndices tileIndices(std::int32_t origin, std::int32_t n) {
    TileIndices indices{};
    for (std::int32_t i = 0; i < Sen2srTile; ++i) {
        indices[static_cast<std::size_t>(i)] = reflect(origin - Sen2srHalo + i, n);
    }
    return indices;
}

// Sample checks on the bit patterns, four at a time, so that they vectorise; `count` is a multiple of 4.
// Finite and not below zero (negative zero included): at most the largest float's pattern, or -0.
bool allValidDn(const float* values, std::size_t count) {
    std::uint32_t bad[4] = {};
    for (std::size_t i = 0; i < count; i += 4) {
        std::uint32_t bits[4];
        std::memcpy(bits, values + i, sizeof bits);
        for (int k = 0; k < 4; ++k) {
            bad[k] |= (bits[k] > 0x7f7fffffu) & (bits[k] != 0x80000000u);
        }
    }
    return (bad[0] | bad[1] | bad[2] | bad[3]) == 0;
}

// Infinite or NaN: every exponent bit set.
bool allFinite(const float* values, std::size_t count) {
    std::uint32_t bad[4] = {};
    for (std::size_t i = 0; i < count; i += 4) {
        std::uint32_t bits[4];
        std::memcpy(bits, values + i, sizeof bits);
        for (int k = 0; k < 4; ++k) {
            bad[k] |= (bits[k] & 0x7f800000u) == 0x7f800000u ? 1u : 0u;
        }
    }
    return (bad[0] | bad[1] | bad[2] | bad[3]) == 0;
}

void fillTile(const Sen2srSource& source, const TileIndices& rows, const TileIndices& columns, float* tile) {
    const auto* samples = reinterpret_cast<const float*>(source.samples.constData());
    const qsizetype plane = qsizetype{source.width} * source.height;
    // Reflected indices move by one at each step, so a span of 127 means no mirror: a plain run of samples.
    const bool contiguous = columns.back() - columns.front() == Sen2srTile - 1;
    for (std::int32_t b = 0; b < Sen2srBands; ++b) {
        for (std::int32_t i = 0; i < Sen2srTile; ++i) {
            const float* line =
                samples + b * plane + qsizetype{rows[static_cast<std::size_t>(i)]} * source.width;
            float* to = tile + b * TilePlane + qsizetype{i} * Sen2srTile;
            if (contiguous) {
                std::memcpy(to, line + columns.front(), Sen2srTile * sizeof(float));
                continue;
            }
            for (std::int32_t j = 0; j < Sen2srTile; ++j) {
                to[j] = line[columns[static_cast<std::size_t>(j)]];
            }
        }
    }
    if (!allValidDn(tile, Sen2srBands * TilePlane)) {
        throwRuntimeError(
            QStringLiteral("Source must be finite nonnegative DN with external nodata/cloud handling."));
    }
}

const float* checkedOutput(const AiInferenceResult& result) {
    const AiTensor* output = result.outputs.isEmpty() ? nullptr : &result.outputs.first();
    if (output == nullptr || output->dataType != AiTensorDataType::Float32 ||
        output->shape != QList<std::int64_t>{1, Sen2srBands, OutputTile, OutputTile} ||
        output->data.size() != Sen2srBands * OutputTilePlane * 4) {
        throwRuntimeError(QStringLiteral("Invalid super-resolution output."));
    }
    return reinterpret_cast<const float*>(output->data.constData());
}

// The tile's central part, without the 64-pixel output halo, into its place in the output.
void keepCore(const float* tile, std::int32_t y0, std::int32_t x0, const Sen2srSource& source,
              Sen2srOutput& output) {
    const std::int32_t rows = Sen2srScale * std::min(Sen2srCore, source.height - y0);
    const std::int32_t columns = Sen2srScale * std::min(Sen2srCore, source.width - x0);
    const qsizetype width = output.grid.width;
    const qsizetype plane = width * output.grid.height;
    bool finite = true;
    for (std::int32_t b = 0; b < Sen2srBands; ++b) {
        for (std::int32_t r = 0; r < rows; ++r) {
            const float* from =
                tile + b * OutputTilePlane + qsizetype{OutputHalo + r} * OutputTile + OutputHalo;
            float* to = output.samples.data() + b * plane + (qsizetype{Sen2srScale} * y0 + r) * width +
                        qsizetype{Sen2srScale} * x0;
            finite &= allFinite(from, static_cast<std::size_t>(columns));
            std::memcpy(to, from, static_cast<std::size_t>(columns) * sizeof(float));
        }
    }
    if (!finite) {
        throwRuntimeError(QStringLiteral("Nonfinite SR result."));
    }
}

}  // namespace

bool sen2srContract(const AiModelManifest& manifest) {
    return manifest.id == QLatin1String(Sen2srModelId) && manifest.inputs.size() == 1 &&
           manifest.outputs.size() == 1;
}

Sen2srOutput superResolve(const Sen2srSource& source, const QString& packagePath,
                          const AiSessionOptions& options, const std::function<bool()>& stop,
                          const AiRasterProgressCallback& progress) {
    QElapsedTimer clock;
    clock.start();
    if (!validSource(source)) {
        throwInvalidArgument(QStringLiteral("Expected georeferenced four-band Float32 raw-DN source."));
    }
    const AiModelPackage package = openPackage(packagePath);

    Sen2srOutput output;
    AiRasterInferenceResult& grid = output.grid;
    grid.width = source.width * Sen2srScale;
    grid.height = source.height * Sen2srScale;
    grid.bandCount = Sen2srBands;
    grid.dataType = AiTensorDataType::Float32;
    grid.geoTransform = source.geoTransform;
    for (const int term : {1, 2, 4, 5}) {
        grid.geoTransform[term] *= 1.0 / Sen2srScale;
    }
    grid.projectionWkt = source.projectionWkt;
    if (qint64{grid.width} * grid.height > Sen2srMaximumOutputPixels) {
        throwRuntimeError(QStringLiteral("Output exceeds512MiB; stream larger scenes in the application."));
    }

    AiRasterInferenceRequest described =
        packageInferenceRequest(package, source.path, AiRasterOutputMode::FloatBands);
    described.tiling = {Sen2srTile, Sen2srTile, 2 * Sen2srHalo, 2 * Sen2srHalo};
    grid.provenance = startProvenance(described, source.projectionWkt, {1, 2, 3, 4});

    const AiSession session(package.modelPath(), options);
    grid.provider = session.provider();
    // Zero pages until written: the memory is taken as the tiles land, a few rows of every band at a time.
    output.samples = PlaneBuffer(static_cast<std::size_t>(grid.width) * grid.height * Sen2srBands,
                                 PlaneBuffer::Pages::Base);

    AiTensor image;
    image.name = QStringLiteral("image");
    image.shape = {1, Sen2srBands, Sen2srTile, Sen2srTile};
    image.data = QByteArray(Sen2srBands * TilePlane * 4, Qt::Uninitialized);
    QList<AiTensor> inputs{std::move(image)};
    // One input buffer for every tile; the session reads it in place.
    float* tile = reinterpret_cast<float*>(inputs.first().data.data());
    AiInferenceResult result;

    const auto total = static_cast<std::int32_t>(sen2srTileCount(source.width, source.height));
    grid.peakMemoryBytes = sen2srPeakMemory(source.width, source.height);
    std::int32_t done = 0;
    for (std::int32_t y0 = 0; y0 < source.height && !grid.cancelled; y0 += Sen2srCore) {
        const TileIndices rows = tileIndices(y0, source.height);
        for (std::int32_t x0 = 0; x0 < source.width; x0 += Sen2srCore) {
            if (stop && stop()) {
                grid.cancelled = true;
                break;
            }
            fillTile(source, rows, tileIndices(x0, source.width), tile);
            session.runInto(inputs, result);
            keepCore(checkedOutput(result), y0, x0, source, output);
            ++done;
            if (progress) {
                progress({done, total, done * 100 / total, QStringLiteral("Super-resolving RGB+NIR...")});
            }
        }
    }
    grid.processedTiles = total;
    grid.elapsedMilliseconds = clock.elapsed();
    completeProvenance(grid);
    return output;
}

}  // namespace Tarnivale::AI::Tasks
