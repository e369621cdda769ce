#include "tasks/source_preview.h"

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"
#include "runtime/huge_pages.h"
#include "tasks/display_stretch.h"

#include <cmath>

namespace Tarnivale::AI::Tasks {

void writeSourcePreview(const QString& rasterPath, const QList<std::int32_t>& bands,
                        const QString& previewPath, const Checkpoint& checkpoint) {
    const QString readMessage = QStringLiteral("Cannot read source preview bands.");
    const Gdal::Dataset source = Gdal::open(rasterPath, GDAL_OF_RASTER | GDAL_OF_READONLY);
    if (!source || bands.size() != 3) {
        throwRuntimeError(readMessage);
    }
    PreviewPlanes planes;
    planes.width = GDALGetRasterXSize(source.get());
    planes.height = GDALGetRasterYSize(source.get());
    double transform[6];
    if (GDALGetGeoTransform(source.get(), transform) == CE_None) {
        planes.geoTransform = QList<double>(transform, transform + 6);
    }
    planes.projectionWkt = QString::fromUtf8(GDALGetProjectionRef(source.get()));
    const std::size_t plane = static_cast<std::size_t>(planes.width) * planes.height;
    PlaneBuffer samples(3 * plane);
    std::array<DisplayStretch, 3> stretches;
    // One read of the three bands: an interleaved source decodes each block once, not once per band.
    checkpoint();
    int bandList[3] = {bands[0], bands[1], bands[2]};
    if (GDALDatasetRasterIOEx(source.get(), GF_Read, 0, 0, planes.width, planes.height, samples.data(),
                              planes.width, planes.height, GDT_Float32, 3, bandList, 0, 0,
                              static_cast<GSpacing>(plane * sizeof(float)), nullptr) != CE_None) {
        throwRuntimeError(readMessage);
    }
    for (int b = 0; b < 3; ++b) {
        checkpoint();
        float* values = samples.data() + b * plane;
        for (std::size_t i = 0; i < plane; ++i) {
            values[i] = std::isfinite(values[i]) ? values[i] : 0.0f;
        }
        stretches[b] = percentileStretch(values, plane);
        planes.bands[b] = values;
    }
    writeStretchedPreview(previewPath, planes, stretches,
                          {QStringLiteral("Cannot create source preview."),
                           QStringLiteral("Cannot set source preview band interpretation."),
                           QStringLiteral("Cannot write source preview row.")},
                          checkpoint);
}

}  // namespace Tarnivale::AI::Tasks
