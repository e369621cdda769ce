#include "raster/class_raster_products.h"

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace Tarnivale::AI {

namespace {

std::int32_t* classCodes(AiRasterInferenceResult& result) {
    return reinterpret_cast<std::int32_t*>(result.data.data());
}

const std::int32_t* classCodes(const AiRasterInferenceResult& result) {
    return reinterpret_cast<const std::int32_t*>(result.data.constData());
}

}  // namespace

void applyValidityMask(AiRasterInferenceResult& result, const QString& maskPath, std::int32_t classCount,
                       const QString& unexpectedCodeMessage, const Checkpoint& checkpoint) {
    const Gdal::Dataset mask = Gdal::open(maskPath, GDAL_OF_RASTER | GDAL_OF_READONLY);
    if (!mask || GDALGetRasterXSize(mask.get()) != result.width ||
        GDALGetRasterYSize(mask.get()) != result.height || GDALGetRasterCount(mask.get()) < 1) {
        throwRuntimeError(QStringLiteral("Validity mask dimensions differ from the input raster."));
    }
    double transform[6] = {};
    if (GDALGetGeoTransform(mask.get(), transform) != CE_None) {
        throwRuntimeError(QStringLiteral("Validity mask has no transform."));
    }
    for (int i = 0; i < 6; ++i) {
        const double tolerance = std::max(std::abs(transform[i]), 1.0) * 1e-10;
        // Written so that a NaN on either side fails.
        if (!(std::abs(transform[i] - result.geoTransform.value(i)) <= tolerance)) {
            throwRuntimeError(QStringLiteral("Validity mask grid differs from the input raster."));
        }
    }
    const Gdal::SpatialReference resultCrs = Gdal::spatialReferenceFromWkt(result.projectionWkt);
    const Gdal::SpatialReference maskCrs =
        Gdal::spatialReferenceFromWkt(QString::fromUtf8(GDALGetProjectionRef(mask.get())));
    if (!resultCrs || !maskCrs || !OSRIsSame(resultCrs.get(), maskCrs.get())) {
        throwRuntimeError(QStringLiteral("Validity mask CRS differs from input."));
    }

    GDALRasterBandH band = GDALGetRasterBand(mask.get(), 1);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(result.width));
    std::int32_t* codes = classCodes(result);
    for (std::int32_t y = 0; y < result.height; ++y) {
        checkpoint();
        if (GDALRasterIO(band, GF_Read, 0, y, result.width, 1, row.data(), result.width, 1, GDT_Byte, 0, 0) !=
            CE_None) {
            throwRuntimeError(QStringLiteral("Cannot read validity mask."));
        }
        std::int32_t* line = codes + static_cast<std::ptrdiff_t>(y) * result.width;
        for (std::int32_t x = 0; x < result.width; ++x) {
            if (line[x] < -1 || line[x] >= classCount) {
                throwRuntimeError(unexpectedCodeMessage);
            }
            if (row[static_cast<std::size_t>(x)] == 0) {
                line[x] = -1;
            }
        }
    }
}

QList<qint64> writeClassPreview(const AiRasterInferenceResult& result, const QString& previewPath,
                                const QList<ClassColor>& colors, const Checkpoint& checkpoint) {
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    // Band-sequential, so that each band's rows go straight to their own strips.
    const char* const options[] = {"INTERLEAVE=BAND", nullptr};
    Gdal::Dataset preview(driver == nullptr
                              ? nullptr
                              : GDALCreate(driver, previewPath.toUtf8().constData(), result.width,
                                           result.height, 4, GDT_Byte, const_cast<char**>(options)));
    if (!preview) {
        throwRuntimeError(QStringLiteral("Cannot create classification preview."));
    }
    double transform[6];
    std::copy_n(result.geoTransform.constBegin(), std::min<qsizetype>(6, result.geoTransform.size()),
                transform);
    if (result.geoTransform.size() != 6 || GDALSetGeoTransform(preview.get(), transform) != CE_None ||
        GDALSetProjection(preview.get(), result.projectionWkt.toUtf8().constData()) != CE_None) {
        throwRuntimeError(QStringLiteral("Cannot georeference classification preview."));
    }

    const std::int32_t classCount = static_cast<std::int32_t>(colors.size());
    const std::int32_t* codes = classCodes(result);
    const std::size_t pixels =
        static_cast<std::size_t>(result.width) * static_cast<std::size_t>(result.height);
    QList<qint64> counts(classCount, 0);
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::int32_t code = codes[i];
        if (code < -1 || code >= classCount) {
            throwRuntimeError(QStringLiteral("Unexpected classification code."));
        }
        if (code >= 0) {
            ++counts[code];
        }
    }

    const GDALColorInterp interpretations[4] = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand, GCI_AlphaBand};
    for (int b = 0; b < 4; ++b) {
        GDALSetRasterColorInterpretation(GDALGetRasterBand(preview.get(), b + 1), interpretations[b]);
    }
    // One lookup per band: index code + 1, so that -1 (transparent, all zero) is entry 0.
    std::vector<std::uint8_t> lookup(static_cast<std::size_t>(classCount) + 1);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(result.width));
    for (int b = 0; b < 4; ++b) {
        lookup[0] = 0;
        for (std::int32_t c = 0; c < classCount; ++c) {
            const ClassColor& color = colors[c];
            lookup[static_cast<std::size_t>(c) + 1] = b == 0   ? color.red
                                                      : b == 1 ? color.green
                                                      : b == 2 ? color.blue
                                                               : 255;
        }
        GDALRasterBandH band = GDALGetRasterBand(preview.get(), b + 1);
        for (std::int32_t y = 0; y < result.height; ++y) {
            checkpoint();
            const std::int32_t* line = codes + static_cast<std::ptrdiff_t>(y) * result.width;
            for (std::int32_t x = 0; x < result.width; ++x) {
                row[static_cast<std::size_t>(x)] = lookup[static_cast<std::size_t>(line[x] + 1)];
            }
            if (GDALRasterIO(band, GF_Write, 0, y, result.width, 1, row.data(), result.width, 1, GDT_Byte, 0,
                             0) != CE_None) {
                throwRuntimeError(QStringLiteral("Cannot write classification preview."));
            }
        }
    }
    // GDALFlushCache reports failures only through the error state in this GDAL version.
    CPLErrorReset();
    GDALFlushCache(preview.get());
    if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal) {
        throwRuntimeError(QStringLiteral("Cannot write classification preview."));
    }
    return counts;
}

}  // namespace Tarnivale::AI
