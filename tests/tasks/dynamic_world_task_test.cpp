// The "dynamic-world" task end to end through the task functions: classes, preview, polygons, counts and
// class names on a generated nine-band raster; the raster, package, provider and mask checks; cancellation
// during polygonisation.

#include "support/raster_fixture.h"
#include "tasks/task_fixture.h"

#include <gdal.h>
#include <ogr_api.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>

#include <map>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

constexpr int Width = 70;
constexpr int Height = 50;
// The Dynamic World palette, by class.
constexpr std::uint32_t Palette[9] = {0x419BDF, 0x397D49, 0x88B053, 0x7A87C6, 0xE49635,
                                      0xDFC35A, 0xC4281B, 0xA59B8F, 0xB39FE1};

int classAt(int x, int y) {
    return (x / 16 + 2 * (y / 12)) % 9;
}

bool validAt(int x, int y) {
    return !(x >= 30 && x < 45 && y >= 5 && y < 20);
}

class DynamicWorld : public TaskTest {
protected:
    void SetUp() override {
        TaskTest::SetUp();
        request = scene("scene", Width, Height, classAt, validAt);
    }
    // The scene's request with the given keys replaced.
    QJsonObject with(const QJsonObject& changes) const {
        QJsonObject changed = request;
        for (auto it = changes.begin(); it != changes.end(); ++it) {
            changed.insert(it.key(), it.value());
        }
        return changed;
    }
    // The scene's request with a mask that differs from its own as `change` makes it.
    QJsonObject withMask(const QString& name, const std::function<void(TestRasterSpec&)>& change) {
        TestRasterSpec mask{.width = Width, .height = Height, .dataType = GDT_Byte};
        mask.value = [](int, int x, int y) { return validAt(x, y) ? 1.0 : 0.0; };
        change(mask);
        writeTestRaster(path(name), mask);
        return with({{"validityMaskPath", path(name)}});
    }
    QJsonObject request;
};

}  // namespace

TEST_F(DynamicWorld, ClassifiesMasksPreviewsAndPolygonises) {
    const QByteArray json = QJsonDocument(with({{"provider", "Auto"}})).toJson(QJsonDocument::Compact);
    const QJsonObject estimate = taken(TarnivaleAI_EstimateTaskUtf8(json.constData()));
    const std::uint64_t id = TarnivaleAI_StartTaskUtf8(json.constData());
    int percent = 0;
    const QJsonObject status = waitForTask(id, [&](const QJsonObject& seen) {
        EXPECT_GE(field(seen, "percent").toInt(), percent);
        percent = field(seen, "percent").toInt();
        EXPECT_TRUE(percent < 100 || text(seen, "state") == "completed");
        return false;
    });
    ASSERT_EQ(text(status, "state"), "completed") << text(status, "error") << lastTaskError();
    EXPECT_EQ(field(status, "percent").toInt(), 100);
    EXPECT_EQ(field(status, "completedTiles"), field(status, "totalTiles"));

    const QJsonObject result = taken(TarnivaleAI_GetTaskResultUtf8(id));
    EXPECT_EQ(text(result, "schemaVersion"), "1.0");
    EXPECT_EQ(text(result, "task"), "dynamic-world");
    EXPECT_EQ(field(result, "sourceRasterPath"), QFileInfo(path("scene.tif")).absoluteFilePath());
    EXPECT_EQ(field(result, "width").toInt(), Width);
    EXPECT_EQ(field(result, "height").toInt(), Height);
    EXPECT_EQ(field(result, "geoTransform.1").toDouble(), 10.0);
    EXPECT_TRUE(field(result, "projectionWkt").toString().contains("32633"));
    EXPECT_EQ(text(result, "provider"), "CPU");
    EXPECT_GT(field(result, "tiles").toInt(), 1);
    EXPECT_EQ(field(result, "tiles"), field(status, "totalTiles"));
    // The estimate made before the run is the run's own accounting.
    for (const char* key : {"width", "height", "peakMemoryBytes"}) {
        EXPECT_EQ(field(estimate, key), field(result, key)) << key;
    }
    EXPECT_EQ(field(estimate, "totalTiles"), field(result, "tiles"));
    EXPECT_EQ(field(estimate, "outputBytes").toInteger(), std::int64_t{Width} * Height * 4);
    EXPECT_EQ(text(estimate, "task"), "dynamic-world");
    EXPECT_EQ(text(result, "provenance.model.id"), "google-dynamicworld");
    EXPECT_EQ(field(result, "classNames").toVariant().toStringList().join(u' ').toStdString(),  // the labels
              "water trees grass flooded_vegetation crops shrub_and_scrub built bare snow_and_ice");
    const QString classes = field(result, "rasterPath").toString();
    const QString preview = field(result, "previewPath").toString();
    const QDir workspace = QFileInfo(classes).absoluteDir();  // in the system temporary location
    EXPECT_EQ(QFileInfo(workspace.absolutePath()).absolutePath(), QFileInfo(temporary).absoluteFilePath());

    // Classes where valid and -1 elsewhere, preview colours (masked pixels transparent) and counts, computed
    // here independently.
    std::vector<double> codes(Width * Height, -1.0);
    std::vector<std::vector<double>> rgba(4, std::vector<double>(Width * Height, 0.0));
    QJsonArray counts = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < Width * Height; ++i) {
        if (const int c = classAt(i % Width, i / Width); validAt(i % Width, i / Width)) {
            codes[i] = c;
            counts[c] = counts[c].toInteger() + 1;
            for (int band = 0; band < 4; ++band) {
                rgba[band][i] = band == 3 ? 255 : (Palette[c] >> (16 - 8 * band)) & 0xFF;
            }
        }
    }
    EXPECT_EQ(readTestBand(classes, 1), codes);
    for (int band = 0; band < 4; ++band) {
        EXPECT_EQ(readTestBand(preview, band + 1), rgba[band]) << band;
    }
    EXPECT_EQ(field(result, "classPixels"), counts);

    // Polygons: layer "classes", field "class_id"; each class's area is its valid pixels' (10 m x 10 m), so
    // masked pixels are in no polygon.
    GDALDatasetH gpkg = GDALOpenEx(field(result, "vectorPath").toString().toUtf8().constData(),
                                   GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
    ASSERT_NE(gpkg, nullptr);
    OGRLayerH layer = GDALDatasetGetLayerByName(gpkg, "classes");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(OGR_L_GetFeatureCount(layer, TRUE), field(result, "polygons").toInteger());
    EXPECT_NE(OGR_L_GetSpatialRef(layer), nullptr);
    const int classField = OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(layer), "class_id");
    ASSERT_GE(classField, 0);
    std::map<int, double> areas;
    while (OGRFeatureH feature = OGR_L_GetNextFeature(layer)) {
        areas[OGR_F_GetFieldAsInteger(feature, classField)] += OGR_G_Area(OGR_F_GetGeometryRef(feature));
        OGR_F_Destroy(feature);
    }
    GDALClose(gpkg);
    EXPECT_EQ(areas.count(-1), 0u);
    for (int c = 0; c < 9; ++c) {
        EXPECT_NEAR(areas[c], counts[c].toDouble() * 100.0, 1e-6) << c;
    }
    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);  // deletes the workspace with its files
    EXPECT_FALSE(workspace.exists());
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(DynamicWorld, RefusesWrongRastersPackagesProvidersAndMasksWithTheirOwnMessages) {
    // The pixel budget, on empty virtual rasters: 4096 x 4096 passes (then meets a missing package), 4097
    // does not. A package whose model changed after packaging fails its integrity check.
    for (const int width : {4096, 4097}) {
        const QByteArray file = path(QStringLiteral("v%1.vrt").arg(width)).toUtf8();
        GDALClose(
            GDALCreate(GDALGetDriverByName("VRT"), file.constData(), width, 4096, 9, GDT_Float32, nullptr));
    }
    const QString tampered = writePackage("tampered");
    QFile model(QDir(tampered).absoluteFilePath("dynamic_world.onnx"));
    ASSERT_TRUE(model.open(QIODevice::Append) && model.write("x") == 1);
    model.close();
    const std::string bands = "Dynamic World requires nine-band input.";
    const std::string integrity = "Model package failed integrity validation.";
    const std::string size = "Validity mask dimensions differ from the input raster.";
    const std::string crs = "Validity mask CRS differs from input.";
    const std::string provider = "Unsupported task provider.";
    const std::pair<QJsonObject, std::string> outcomes[] = {
        {with({{"rasterPath", field(scene(
                                        "eight", 8, 8, [](int, int) { return 0; }, {}, 8),
                                    "rasterPath")}}),
         bands},
        {with({{"rasterPath", path("missing.tif")}}), bands},
        {with({{"rasterPath", path("v4097.vrt")}}), "Raster exceeds the task pixel budget."},
        {with({{"rasterPath", path("v4096.vrt")}, {"modelPackagePath", path("none")}}), integrity},
        {with({{"modelPackagePath", writePackage("other", "other-model")}}),
         "Unsupported Dynamic World model contract."},
        {with({{"modelPackagePath", tampered}}), integrity},
        {withMask("wide.tif", [](TestRasterSpec& mask) { ++mask.width; }), size},
        {with({{"validityMaskPath", path("none.tif")}}), size},
        {withMask("plain.tif", [](TestRasterSpec& mask) { mask.geoTransform.reset(); }),
         "Validity mask has no transform."},
        {withMask("shifted.tif", [](TestRasterSpec& mask) { (*mask.geoTransform)[0] += 2.5; }),
         "Validity mask grid differs from the input raster."},
        {withMask("utm34.tif", [](TestRasterSpec& mask) { mask.epsg = 32634; }), crs},
        {withMask("nocrs.tif", [](TestRasterSpec& mask) { mask.epsg = 0; }), crs},
        // Only "auto" and "CPU" (any case) run here; a provider that is not a string is none.
        {with({{"provider", "directml"}}), provider},
        {with({{"provider", 3}}), provider},
        {with({{"provider", true}}), provider},
        {with({{"provider", QJsonObject{}}}), provider},
        // Accepted: a mask shifted far below the tolerance (the same grid), the CPU by name.
        {withMask("close.tif", [](TestRasterSpec& mask) { (*mask.geoTransform)[0] += 1e-6; }), ""},
        {with({{"provider", "CPU"}}), ""},
    };
    for (const auto& [changed, error] : outcomes) {
        const QJsonObject status = finish(changed);
        EXPECT_EQ(text(status, "state"), error.empty() ? "completed" : "failed");
        EXPECT_EQ(text(status, "error"), error) << QJsonDocument(changed).toJson().constData();
    }
    EXPECT_TRUE(leftovers().isEmpty());
}

// The worker is held where polygonisation starts, so the cancellation finds it there whatever the machine's
// speed; a cancelled task never completes (publication refuses once the flag is set), so it ends "cancelled"
// with "AI task cancelled." wherever it notices the flag.
TEST_F(DynamicWorld, CancellingDuringPolygonisationEndsCancelled) {
    holdPolygonisation(Hold::UntilOpened);
    const std::uint64_t id = startTask(request);
    ASSERT_TRUE(waitUntilHeld(id)) << text(taskStatus(id), "error");
    const QJsonObject polygonising = taskStatus(id);
    EXPECT_EQ(text(polygonising, "state"), "running");
    EXPECT_EQ(text(polygonising, "message"), "Creating class polygons");
    EXPECT_EQ(field(polygonising, "percent").toInt(), 90);
    EXPECT_EQ(TarnivaleAI_GetTaskResultUtf8(id), nullptr);
    EXPECT_EQ(lastTaskError(), "AI task has no completed result.");
    EXPECT_EQ(TarnivaleAI_CancelTask(id), 1);
    EXPECT_EQ(TarnivaleAI_CancelTask(id), 1) << lastTaskError();  // again while cancelling
    EXPECT_EQ(text(taskStatus(id), "state"), "cancelling");
    holdPolygonisation(Hold::Off);
    const QJsonObject status = waitForTask(id);
    EXPECT_EQ(text(status, "state"), "cancelled");
    EXPECT_EQ(text(status, "error"), "AI task cancelled.");
    EXPECT_EQ(field(status, "percent").toInt(), 90);
    EXPECT_TRUE(leftovers().isEmpty());  // the unpublished workspace went before the state turned terminal
    EXPECT_EQ(TarnivaleAI_CancelTask(id), 0);
    EXPECT_EQ(lastTaskError(), "AI task is already terminal.");
    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
}
