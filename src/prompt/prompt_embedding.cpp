#include "prompt/prompt_embedding.h"

#include "prompt/band_range.h"
#include "runtime/errors.h"
#include "runtime/gdal_handles.h"

#include <algorithm>
#include <array>

namespace Tarnivale::AI {

namespace {

constexpr int kMaximumBands = 4;
// Rows are read a strip at a time, small enough for the strip to still be in cache when its range is
// taken: the range then costs no second trip through memory.
constexpr std::size_t kStripBytes = std::size_t{1} << 20;

}  // namespace

std::shared_ptr<const PromptEmbedding> buildPromptEmbedding(const QString& path) {
    const Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    if (!dataset) {
        throwRuntimeError(QStringLiteral("Prompt segmentation raster could not be opened."));
    }
    const int width = GDALGetRasterXSize(dataset.get());
    const int height = GDALGetRasterYSize(dataset.get());
    const int bandCount = std::min(GDALGetRasterCount(dataset.get()), kMaximumBands);
    if (width < 1 || height < 1 || bandCount < 1) {
        throwRuntimeError(QStringLiteral("Prompt segmentation raster has no readable pixels."));
    }

    auto embedding = std::make_shared<PromptEmbedding>();
    embedding->width = width;
    embedding->height = height;
    embedding->bandCount = bandCount;
    const std::size_t pixels = embedding->pixelCount();
    embedding->planes = PlaneBuffer(pixels * static_cast<std::size_t>(bandCount));

    // One dataset read per strip takes every band: a pixel-interleaved file then decodes each block once.
    std::array<int, kMaximumBands> bandMap{1, 2, 3, 4};
    std::array<BandRange, kMaximumBands> ranges{};
    const std::size_t rowBytes = static_cast<std::size_t>(width) * sizeof(float) * bandCount;
    const int stripRows = static_cast<int>(std::clamp<std::size_t>(kStripBytes / rowBytes, 1, height));
    float* planes = embedding->planes.data();
    for (int row = 0; row < height; row += stripRows) {
        const int rows = std::min(stripRows, height - row);
        const std::size_t offset = static_cast<std::size_t>(row) * static_cast<std::size_t>(width);
        if (GDALDatasetRasterIOEx(dataset.get(), GF_Read, 0, row, width, rows, planes + offset, width, rows,
                                  GDT_Float32, bandCount, bandMap.data(), sizeof(float),
                                  static_cast<GSpacing>(width) * sizeof(float),
                                  static_cast<GSpacing>(pixels * sizeof(float)), nullptr) != CE_None) {
            throwRuntimeError(QStringLiteral("Prompt segmentation raster band could not be encoded."));
        }
        const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(width);
        for (int band = 0; band < bandCount; ++band) {
            ranges[band].widen(planes + band * pixels + offset, count);
        }
    }
    for (int band = 0; band < bandCount; ++band) {
        stretchToUnit(planes + band * pixels, pixels, ranges[band]);
    }

    std::array<double, 6> transform{};
    if (GDALGetGeoTransform(dataset.get(), transform.data()) == CE_None) {
        embedding->geoTransform = QList<double>(transform.begin(), transform.end());
    }
    embedding->projectionWkt = QString::fromUtf8(GDALGetProjectionRef(dataset.get()));
    return embedding;
}

}  // namespace Tarnivale::AI
