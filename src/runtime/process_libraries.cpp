#include "runtime/process_libraries.h"

#include "runtime/gdal_handles.h"
#include "runtime/sha256.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <functional>
#include <mutex>

namespace Tarnivale::AI {

namespace {
// PROJ builds its parsers' and registries' tables on first use and GDAL its drivers' state: every path the
// tasks take is walked once here (EPSG and WKT in and out, a transformation, a GeoTIFF with a CRS, a
// GeoPackage layer with a feature), in memory, so that their clean-up at exit is registered before ours.
void startGeospatialLibraries() {
    Gdal::registerDrivers();
    const Gdal::SpatialReference utm(OSRNewSpatialReference(nullptr));
    const Gdal::SpatialReference wgs84(OSRNewSpatialReference(nullptr));
    if (!utm || !wgs84 || OSRImportFromEPSG(utm.get(), 32633) != OGRERR_NONE ||
        OSRImportFromEPSG(wgs84.get(), 4326) != OGRERR_NONE) {
        return;
    }
    char* rawWkt = nullptr;
    OSRExportToWkt(utm.get(), &rawWkt);
    const Gdal::CplString wkt(rawWkt);
    const Gdal::SpatialReference parsed = Gdal::spatialReferenceFromWkt(QString::fromUtf8(wkt.get()));
    OSRValidate(parsed.get());
    OSRSetAxisMappingStrategy(wgs84.get(), OAMS_TRADITIONAL_GIS_ORDER);
    const Gdal::CoordinateTransformation toWgs84(OCTNewCoordinateTransformation(utm.get(), wgs84.get()));
    double x = 500000.0;
    double y = 4100000.0;
    if (toWgs84) {
        OCTTransform(toWgs84.get(), 1, &x, &y, nullptr);
    }

    const char* rasterPath = "/vsimem/tarnivale-start.tif";
    const char* vectorPath = "/vsimem/tarnivale-start.gpkg";
    {
        const Gdal::StringList options(CSLSetNameValue(nullptr, "COMPRESS", "DEFLATE"));
        const Gdal::Dataset raster(
            GDALCreate(GDALGetDriverByName("GTiff"), rasterPath, 2, 2, 1, GDT_Int32, options.get()));
        if (raster) {
            const double transform[6] = {500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0};
            GDALSetGeoTransform(raster.get(), const_cast<double*>(transform));
            GDALSetProjection(raster.get(), wkt.get());
            std::int32_t values[4] = {1, 1, 2, 2};
            // A failure here only leaves that part to start where it is first used.
            [[maybe_unused]] const CPLErr written = GDALRasterIO(GDALGetRasterBand(raster.get(), 1), GF_Write,
                                                                 0, 0, 2, 2, values, 2, 2, GDT_Int32, 0, 0);
        }
        const Gdal::Dataset vector(
            GDALCreate(GDALGetDriverByName("GPKG"), vectorPath, 0, 0, 0, GDT_Unknown, nullptr));
        if (vector) {
            OGRLayerH layer = GDALDatasetCreateLayer(vector.get(), "start", utm.get(), wkbPolygon, nullptr);
            const Gdal::Geometry polygon(OGR_G_CreateGeometry(wkbPolygon));
            const Gdal::FieldDefinition field(OGR_Fld_Create("id", OFTInteger64));
            if (layer != nullptr && polygon && field &&
                OGR_L_CreateField(layer, field.get(), TRUE) == OGRERR_NONE) {
                const Gdal::Feature feature(OGR_F_Create(OGR_L_GetLayerDefn(layer)));
                OGR_F_SetFieldInteger64(feature.get(), 0, 1);
                OGR_F_SetGeometry(feature.get(), polygon.get());
                [[maybe_unused]] const OGRErr created = OGR_L_CreateFeature(layer, feature.get());
            }
        }
    }
    VSIUnlink(rasterPath);
    VSIUnlink(vectorPath);
}

// A library that cannot start here fails later where it is used, with its own message.
void attempt(const std::function<void()>& start) noexcept {
    try {
        start();
    } catch (...) {
    }
}
}  // namespace

void startProcessLibraries() noexcept {
    static std::once_flag once;
    std::call_once(once, [] {
        attempt([] {
            OPENSSL_init_crypto(0, nullptr);
            // The first digest loads the provider and its tables.
            static_cast<void>(Sha256::hex(QByteArray()));
        });
        attempt(&startGeospatialLibraries);
        attempt(&startInferenceEngine);
    });
}

}  // namespace Tarnivale::AI
