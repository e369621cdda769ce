#include "tasks/source_preview.h"

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"
#include "runtime/huge_pages.h"
#include "tasks/display_stretch.h"

#include <cmath>

namespace Tarnivale::AI::Tasks {

void writeSourcePreview(PlaneBuffer& samples, const SourceRaster& raster, const QString& previewPath,
                        const Checkpoint& checkpoint) {
    PreviewPlanes planes;
    planes.width = raster.width;
    planes.height = raster.height;
    planes.geoTransform = raster.geoTransform;
    planes.projectionWkt = raster.projectionWkt;
    const std::size_t plane = static_cast<std::size_t>(planes.width) * planes.height;
    std::array<DisplayStretch, 3> stretches;
    for (std::size_t b = 0; b < 3; ++b) {
        checkpoint();
        float* values = samples.data() + b * plane;
        stretches[b] = percentileStretch(values, plane);
        planes.bands[b] = values;
    }
    writeStretchedPreview(previewPath, planes, stretches,
                          {QStringLiteral("Cannot create source preview."),
                           QStringLiteral("Cannot set source preview band interpretation."),
                           QStringLiteral("Cannot write source preview row.")},
                          checkpoint);
}

void writeSourcePreview(const QString& rasterPath, const QList<std::int32_t>& bands,
                        const QString& previewPath, const Checkpoint& checkpoint) {
    const QString readMessage = QStringLiteral("Cannot read source preview bands.");
    const Gdal::Dataset source = Gdal::open(rasterPath, GDAL_OF_RASTER | GDAL_OF_READONLY);
    if (!source || bands.size() != 3) {
        throwRuntimeError(readMessage);
    }
    SourceRaster raster;
    raster.width = GDALGetRasterXSize(source.get());
    raster.height = GDALGetRasterYSize(source.get());
    double transform[6];
    if (GDALGetGeoTransform(source.get(), transform) == CE_None) {
        raster.geoTransform = QList<double>(transform, transform + 6);
    }
    raster.projectionWkt = QString::fromUtf8(GDALGetProjectionRef(source.get()));
    const std::size_t plane = static_cast<std::size_t>(raster.width) * raster.height;
    PlaneBuffer samples(3 * plane);
    // One read of the three bands: an interleaved source decodes each block once, not once per band.
    checkpoint();
    int bandList[3] = {bands[0], bands[1], bands[2]};
    if (GDALDatasetRasterIOEx(source.get(), GF_Read, 0, 0, raster.width, raster.height, samples.data(),
                              raster.width, raster.height, GDT_Float32, 3, bandList, 0, 0,
                              static_cast<GSpacing>(plane * sizeof(float)), nullptr) != CE_None) {
        throwRuntimeError(readMessage);
    }
    float* values = samples.data();
    for (std::size_t i = 0; i < 3 * plane; ++i) {
        values[i] = std::isfinite(values[i]) ? values[i] : 0.0f;
    }
    writeSourcePreview(samples, raster, previewPath, checkpoint);
}

}  // namespace Tarnivale::AI::Tasks
