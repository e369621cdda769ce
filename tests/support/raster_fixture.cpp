#include "support/raster_fixture.h"

#include "runtime/gdal_handles.h"

#include <array>
#include <functional>
#include <stdexcept>
#include <vector>

namespace Tarnivale::AI::Testing {

namespace {

[[noreturn]] void fail(const QString& what) {
    throw std::runtime_error(Gdal::lastErrorMessage(what).toStdString());
}

}  // namespace

void writeTestRaster(const QString& path, const TestRasterSpec& spec) {
    Gdal::registerDrivers();
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    if (driver == nullptr) {
        fail(QStringLiteral("the GTiff driver is missing"));
    }
    QStringList options = spec.creationOptions;
    if (spec.blockWidth > 0 && spec.blockHeight > 0) {
        options << QStringLiteral("TILED=YES") << QStringLiteral("BLOCKXSIZE=%1").arg(spec.blockWidth)
                << QStringLiteral("BLOCKYSIZE=%1").arg(spec.blockHeight);
    }
    if (spec.lastBandIsAlpha) {
        options << QStringLiteral("ALPHA=YES");
    }
    Gdal::StringList list;
    for (const QString& option : options) {
        list.reset(CSLAddString(list.release(), option.toUtf8().constData()));
    }
    Gdal::Dataset dataset(GDALCreate(driver, path.toUtf8().constData(), spec.width, spec.height, spec.bands,
                                     spec.dataType, list.get()));
    if (!dataset) {
        fail(QStringLiteral("cannot create %1").arg(path));
    }
    if (spec.geoTransform) {
        GDALSetGeoTransform(dataset.get(), std::array<double, 6>(*spec.geoTransform).data());
    }
    if (spec.epsg != 0) {
        Gdal::SpatialReference srs(OSRNewSpatialReference(nullptr));
        if (OSRImportFromEPSG(srs.get(), spec.epsg) != OGRERR_NONE) {
            fail(QStringLiteral("unknown EPSG code %1").arg(spec.epsg));
        }
        GDALSetSpatialRef(dataset.get(), srs.get());
    }
    // Bands and the mask are written row by row from doubles (GDAL converts them to the band's type).
    std::vector<double> row(static_cast<size_t>(spec.width));
    const auto writeRows = [&](GDALRasterBandH band, const std::function<double(int x, int y)>& value) {
        for (int y = 0; y < spec.height; ++y) {
            for (int x = 0; x < spec.width; ++x) {
                row[static_cast<size_t>(x)] = value(x, y);
            }
            if (GDALRasterIO(band, GF_Write, 0, y, spec.width, 1, row.data(), spec.width, 1, GDT_Float64, 0,
                             0) != CE_None) {
                fail(QStringLiteral("cannot write %1").arg(path));
            }
        }
    };
    for (int band = 1; band <= spec.bands; ++band) {
        GDALRasterBandH handle = GDALGetRasterBand(dataset.get(), band);
        if (spec.noData) {
            GDALSetRasterNoDataValue(handle, *spec.noData);
        }
        if (static_cast<size_t>(band) <= spec.colorInterpretations.size()) {
            GDALSetRasterColorInterpretation(handle,
                                             spec.colorInterpretations[static_cast<size_t>(band - 1)]);
        }
        if (spec.lastBandIsAlpha && band == spec.bands) {
            GDALSetRasterColorInterpretation(handle, GCI_AlphaBand);
        }
        writeRows(handle, [&](int x, int y) { return spec.value(band, x, y); });
    }
    if (spec.maskValid) {
        GDALRasterBandH first = GDALGetRasterBand(dataset.get(), 1);
        if (GDALCreateMaskBand(first, GMF_PER_DATASET) != CE_None) {
            fail(QStringLiteral("cannot create the mask of %1").arg(path));
        }
        writeRows(GDALGetMaskBand(first), [&](int x, int y) { return spec.maskValid(x, y) ? 255.0 : 0.0; });
    }
    // Closing flushes; a failed flush must not pass silently.
    CPLErrorReset();
    dataset.reset();
    if (CPLGetLastErrorType() >= CE_Failure) {
        fail(QStringLiteral("cannot finish %1").arg(path));
    }
}

std::vector<double> readTestBand(const QString& path, int band) {
    const Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    if (!dataset) {
        fail(QStringLiteral("cannot open %1").arg(path));
    }
    const int width = GDALGetRasterXSize(dataset.get());
    const int height = GDALGetRasterYSize(dataset.get());
    std::vector<double> values(static_cast<size_t>(width) * static_cast<size_t>(height));
    GDALRasterBandH handle = GDALGetRasterBand(dataset.get(), band);
    if (handle == nullptr || GDALRasterIO(handle, GF_Read, 0, 0, width, height, values.data(), width, height,
                                          GDT_Float64, 0, 0) != CE_None) {
        fail(QStringLiteral("cannot read band %1 of %2").arg(band).arg(path));
    }
    return values;
}

}  // namespace Tarnivale::AI::Testing
