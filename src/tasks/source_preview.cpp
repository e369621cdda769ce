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
    for (int b = 0; b < 3; ++b) {
        checkpoint();
        float* values = samples.data() + b * plane;
        GDALRasterBandH band = GDALGetRasterBand(source.get(), bands[b]);
        if (band == nullptr || GDALRasterIO(band, GF_Read, 0, 0, planes.width, planes.height, values,
                                            planes.width, planes.height, GDT_Float32, 0, 0) != CE_None) {
            throwRuntimeError(readMessage);
        }
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
