// The "prithvi-flood" task end to end through the task functions on the generated Prithvi-shaped model: water
// where green exceeds near infrared, ties not water, the six bands selected from thirteen, each tile's
// latitude and longitude in that order (swapped, the model turns land into water), the water polygons; the
// refusals.

#include "support/raster_fixture.h"
#include "support/test_paths.h"
#include "tasks/task_fixture.h"

#include <tarnivale/ai/models.h>

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <QDir>
#include <QFileInfo>

#include <tuple>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

// 300 x 260: a lake of 60 x 50 across the tiles' overlap, a strip of 10 x 20 where green equals near
// infrared. With 13 bands, green is band 3 and narrow near infrared band 9; with 6, bands 2 and 4.
void writeScene(const QString& path, int bands = 13, int width = 300, int height = 260, int epsg = 32633) {
    TestRasterSpec spec{.width = width, .height = height, .bands = bands};
    spec.epsg = epsg;
    const int green = bands == 13 ? 3 : 2;
    const int nir = bands == 13 ? 9 : 4;
    spec.value = [green, nir](int band, int x, int y) {
        const bool lake = x >= 50 && x < 110 && y >= 190 && y < 240;
        const bool tie = x >= 250 && x < 260 && y >= 10 && y < 30;
        if (band == green) {
            return lake ? 900.0 : tie ? 500.0 : 300.0;
        }
        if (band == nir) {
            return lake ? 200.0 : 500.0;
        }
        return 1000.0 + band;
    };
    writeTestRaster(path, spec);
}

class PrithviFlood : public TaskTest {
protected:
    QString prithvi(const QString& name, const std::function<void(AiModelManifest&)>& change = {}) {
        AiModelManifest manifest = AiModelManifestLoader::fromJson(R"({"version": "1.0",
            "id": "ibm-nasa-prithvi-eo2-300m-tl-sen1floods11", "task": "semantic_segmentation",
            "provenance": {"revision": "test"},
            "inputs": [{"name": "image", "dataType": "Float32", "shape": [1, 6, 1, 224, 224]},
                       {"name": "location_coords", "dataType": "Float32", "shape": [1, 2]}],
            "outputs": [{"name": "logits", "dataType": "Float32", "layout": "NCHW", "shape": [1, 2, 224, 224]}],
            "labels": ["not water", "water"]})");
        manifest.modelPath = testModelPath("prithvi_flood.onnx");
        if (change) {
            change(manifest);
        }
        QDir().mkpath(path(name));
        return AiModelPackage::create(path(name), manifest, true).directoryPath();
    }
    QJsonObject request(const QString& packagePath, const QString& raster) const {
        return {{"task", "prithvi-flood"},
                {"modelPackagePath", packagePath},
                {"rasterPath", path(raster)},
                {"intraOpThreads", 1}};
    }
};

}  // namespace

TEST_F(PrithviFlood, MapsWaterFromSummedLogitsWithEachTilesLocation) {
    const QString prithviPackage = prithvi("prithvi");
    for (const int bands : {13, 6}) {
        writeScene(path("scene.tif"), bands);
        const std::uint64_t id = startTask(request(prithviPackage, "scene.tif"));
        const QJsonObject status = waitForTask(id);
        ASSERT_EQ(text(status, "state"), "completed") << text(status, "error");
        const QJsonObject result = taken(TarnivaleAI_GetTaskResultUtf8(id));
        EXPECT_EQ(field(result, "sourceBandIndices").toArray(),
                  bands == 13 ? (QJsonArray{2, 3, 4, 9, 12, 13}) : (QJsonArray{1, 2, 3, 4, 5, 6}));
        // The lake only: the tie strip stays land, and land stays land (the coordinates are in order).
        EXPECT_EQ(field(result, "classPixels.1").toInteger(), 60 * 50) << bands;
        EXPECT_EQ(field(result, "polygons").toInteger(), 1);
        EXPECT_EQ(text(result, "locationOrder"), "latitude,longitude");
        EXPECT_EQ(text(result, "merge"), "sum overlapping logits; argmax; ties non-water");
        // 300 x 260 in 224-pixel tiles overlapping by 32: starts 0 and 76 across, 0 and 36 down.
        const QJsonArray locations = field(result, "tileLocations").toArray();
        ASSERT_EQ(locations.size(), 4);
        EXPECT_EQ(field(locations, "3.x").toInt(), 76);
        EXPECT_EQ(field(locations, "3.y").toInt(), 36);
        // The first tile's centre, (112, 112) pixels from the corner at 500000 E, 4100000 N in UTM 33N.
        OGRSpatialReference utm;
        OGRSpatialReference wgs84;
        utm.importFromEPSG(32633);
        wgs84.importFromEPSG(4326);
        wgs84.SetAxisMappingStrategy(OAMS_AUTHORITY_COMPLIANT);  // latitude first
        const std::unique_ptr<OGRCoordinateTransformation> toWgs84(
            OGRCreateCoordinateTransformation(&utm, &wgs84));
        double latitude = 500000.0 + 112 * 10.0;
        double longitude = 4100000.0 - 112 * 10.0;
        ASSERT_TRUE(toWgs84->Transform(1, &latitude, &longitude));
        EXPECT_NEAR(field(locations, "0.latitude").toDouble(), latitude, 1e-9);
        EXPECT_NEAR(field(locations, "0.longitude").toDouble(), longitude, 1e-9);

        const GDALDatasetUniquePtr water(GDALDataset::Open(
            field(result, "vectorPath").toString().toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY));
        ASSERT_TRUE(water);
        OGRLayer* layer = water->GetLayerByName("water_predictions");
        ASSERT_NE(layer, nullptr);
        for (const auto& feature : *layer) {
            EXPECT_STREQ(feature->GetFieldAsString("class_name"), "Water / flood");
            EXPECT_EQ(feature->GetGeometryRef()->toPolygon()->get_Area(), 60 * 50 * 100.0);
        }
        EXPECT_EQ(QFileInfo(field(result, "rasterPath").toString()).dir().entryList(QDir::Files),
                  (QStringList{"classes.tif", "flood-rgba.tif", "source-rgb.tif", "water.gpkg"}));
        EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
        EXPECT_EQ(leftovers(), QStringList());
    }
}

TEST_F(PrithviFlood, RefusesWithItsOwnMessages) {
    const std::string source =
        "Prithvi requires 6 selected or 13 Sentinel-2 bands, dimensions >=224, within the pixel budget.";
    writeScene(path("scene.tif"));
    writeScene(path("seven.tif"), 7);
    writeScene(path("narrow.tif"), 13, 223, 300);
    writeScene(path("nocrs.tif"), 13, 300, 260, 0);
    const QString good = prithvi("good");
    const std::vector<std::tuple<const char*, QString, std::string>> rows = {
        {"seven.tif", good, source},
        {"narrow.tif", good, source},
        {"nocrs.tif", good, "Prithvi input requires a valid CRS and affine transform."},
        {"scene.tif", prithvi("other", [](AiModelManifest& m) { m.id = "ibm-nasa-prithvi-other"; }),
         "Unsupported Prithvi image/location model contract."},
    };
    for (const auto& [raster, packagePath, error] : rows) {
        const QJsonObject status = finish(request(packagePath, raster));
        EXPECT_EQ(text(status, "state"), "failed") << raster;
        EXPECT_EQ(text(status, "error"), error) << raster;
        EXPECT_EQ(leftovers(), QStringList()) << raster;
    }
}
