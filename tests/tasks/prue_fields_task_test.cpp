// The "prue-fields" task end to end through the task functions on the generated 1 x 1 field model: field
// interiors as polygons with their class name, invalid samples zero-filled (a NaN and a nodata value that
// would otherwise read as field), the staging copy gone, and the refusals.

#include "support/raster_fixture.h"
#include "support/test_paths.h"
#include "tasks/source_preview.h"
#include "tasks/task_fixture.h"
#include "tasks/zero_filled_copy.h"

#include <tarnivale/ai/models.h>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <QDir>
#include <QFileInfo>

#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

constexpr double NoData = 7.0;

// Fields: band 4 at 1 inside, ringed by boundary pixels (band 8 at 1.2); three NaN samples, one in a field's
// band 4, one in the preview's band 6; a band-4 nodata sample on the ground; the preview's bands 5-7 vary.
void writeFields(const QString& path, int bands = 8, int epsg = 32633) {
    TestRasterSpec spec{.width = 100, .height = 80, .bands = bands};
    spec.epsg = epsg;
    spec.noData = NoData;
    spec.value = [](int band, int x, int y) {
        const bool inA = x >= 10 && x < 30 && y >= 10 && y < 40;
        const bool inB = x >= 50 && x < 80 && y >= 20 && y < 60;
        const bool ringA = !inA && x >= 9 && x <= 30 && y >= 9 && y <= 40;
        if (band == 4 && x == 15 && y == 15) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        if (band == 1 && x == 0 && y == 0) {
            return std::numeric_limits<double>::infinity();
        }
        if (band == 4 && x == 90 && y == 70) {
            return NoData;
        }
        if (band == 6 && x == 3 && y == 77) {
            return -std::numeric_limits<double>::infinity();
        }
        if (band >= 5 && band <= 7) {
            return 0.1 * ((x * band + y) % 17);
        }
        if (band == 4) {
            return inA || inB ? 1.0 : 0.0;
        }
        return band == 8 && ringA ? 1.2 : 0.1;
    };
    writeTestRaster(path, spec);
}

class PrueFields : public TaskTest {
protected:
    QString prue(const QString& name, const QString& id = "fieldsoftheworld-prue-efficientnet-b5-ccby") {
        AiModelManifest manifest = AiModelManifestLoader::fromJson(R"({"version": "1.0",
            "task": "semantic_segmentation", "provenance": {"revision": "test"},
            "inputs": [{"name": "image", "dataType": "Float32", "layout": "NCHW", "shape": [1, 8, -1, -1]}],
            "outputs": [{"name": "logits", "dataType": "Float32", "layout": "NCHW", "shape": [1, 3, -1, -1]}],
            "inputAdapters": [{"tensor": "image", "bands": [1, 2, 3, 4, 5, 6, 7, 8]}],
            "outputDecoders": [{"id": "classes", "tensor": "logits", "activation": "softmax"}],
            "tiling": {"width": 64, "height": 64, "overlapX": 8, "overlapY": 8},
            "labels": ["background", "field", "boundary"]})");
        manifest.id = id;
        manifest.modelPath = testModelPath("prue_fields.onnx");
        QDir().mkpath(path(name));
        return AiModelPackage::create(path(name), manifest, true).directoryPath();
    }
    QJsonObject request(const QString& packagePath, const QString& raster) const {
        return {{"task", "prue-fields"},
                {"modelPackagePath", packagePath},
                {"rasterPath", path(raster)},
                {"intraOpThreads", 1}};
    }
};

}  // namespace

TEST_F(PrueFields, PolygonisesFieldInteriorsFromZeroFilledInput) {
    writeFields(path("fields.tif"));
    const std::uint64_t id = startTask(request(prue("prue"), "fields.tif"));
    const QJsonObject status = waitForTask(id);
    ASSERT_EQ(text(status, "state"), "completed") << text(status, "error");
    const QJsonObject result = taken(TarnivaleAI_GetTaskResultUtf8(id));
    EXPECT_EQ(text(result, "task"), "prue-fields");
    EXPECT_EQ(field(result, "invalidInputSamplesZeroFilled").toInteger(), 4);
    EXPECT_EQ(text(result, "polygonClass"), "Field interior");
    EXPECT_EQ(text(result, "temporalOrder.window_A").substr(0, 9), "bands 1-4");
    EXPECT_EQ(field(result, "bandNames").toArray().size(), 8);
    // Interiors: 20 x 30 less the zero-filled NaN, and 30 x 40; the ring is boundary; the nodata sample and
    // the rest are background.
    EXPECT_EQ(field(result, "classPixels.1").toInteger(), 599 + 1200);
    EXPECT_EQ(field(result, "classPixels.2").toInteger(), 22 * 32 - 600);
    // The workspace holds the products and not the staging copy.
    EXPECT_EQ(QFileInfo(field(result, "rasterPath").toString()).dir().entryList(QDir::Files),
              (QStringList{"classes.tif", "field-rgba.tif", "fields.gpkg", "source-rgb.tif"}));

    const GDALDatasetUniquePtr fields(GDALDataset::Open(
        field(result, "vectorPath").toString().toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY));
    ASSERT_TRUE(fields);
    OGRLayer* layer = fields->GetLayerByName("field_predictions");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetFeatureCount(), 2);
    EXPECT_EQ(field(result, "polygons").toInteger(), 2);
    double area = 0;
    for (const auto& feature : *layer) {
        EXPECT_EQ(feature->GetFieldAsInteger("class_id"), 1);
        EXPECT_STREQ(feature->GetFieldAsString("class_name"), "Field interior");
        area += feature->GetGeometryRef()->toPolygon()->get_Area() / 100.0;
    }
    EXPECT_EQ(area, 1799);
    const GDALDatasetUniquePtr preview(
        GDALDataset::Open(field(result, "sourcePreviewPath").toString().toUtf8().constData(),
                          GDAL_OF_RASTER | GDAL_OF_READONLY));
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->GetRasterCount(), 4);
    // Kept from the one pass over the source: the same as a preview read from the file itself.
    Tasks::writeSourcePreview(path("fields.tif"), {5, 6, 7}, path("reference.tif"), [] {});
    for (int band = 1; band <= 4; ++band) {
        EXPECT_EQ(readTestBand(field(result, "sourcePreviewPath").toString(), band),
                  readTestBand(path("reference.tif"), band))
            << band;
    }
    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    EXPECT_EQ(leftovers(), QStringList());
}

// The copy is made only for input with samples to fill, whichever block row holds the first of them; the
// clean rows before it are copied as they are.
TEST_F(PrueFields, StagingCopyAppearsOnlyForInputToFill) {
    for (const int badRow : {-1, 0, 255, 256, 599}) {
        const QString source = path(QStringLiteral("rows%1.tif").arg(badRow));
        TestRasterSpec spec{.width = 7, .height = 600, .bands = 2};
        spec.value = [badRow](int band, int x, int y) {
            return band == 2 && y == badRow && x == 3 ? std::numeric_limits<double>::quiet_NaN()
                                                      : band * 1000.0 + y * 7 + x;
        };
        writeTestRaster(source, spec);
        const QString staging = path(QStringLiteral("staging%1.tif").arg(badRow));
        const std::int64_t filled =
            Tasks::writeZeroFilledCopy(source, {2, 1}, staging, "read", "write", [] {});
        EXPECT_EQ(filled, badRow < 0 ? 0 : 1) << badRow;
        ASSERT_EQ(QFileInfo::exists(staging), badRow >= 0) << badRow;
        if (badRow >= 0) {
            std::vector<double> expected = readTestBand(source, 2);
            expected[static_cast<std::size_t>(badRow) * 7 + 3] = 0.0;
            EXPECT_EQ(readTestBand(staging, 1), expected) << badRow;
            EXPECT_EQ(readTestBand(staging, 2), readTestBand(source, 1)) << badRow;
        }
    }
}

TEST_F(PrueFields, RefusesWithItsOwnMessages) {
    writeFields(path("fields.tif"));
    writeFields(path("four.tif"), 4);
    writeFields(path("nocrs.tif"), 8, 0);
    const QString good = prue("good");
    const std::vector<std::tuple<const char*, QString, std::string>> rows = {
        {"four.tif", good, "PRUE requires eight aligned bi-temporal RGBN bands."},
        {"nocrs.tif", good, "PRUE input requires a valid CRS and affine transform."},
        {"fields.tif", prue("other", "fieldsoftheworld-prue-other"),
         "Unsupported PRUE CC-BY model contract."},
    };
    for (const auto& [raster, packagePath, error] : rows) {
        const QJsonObject status = finish(request(packagePath, raster));
        EXPECT_EQ(text(status, "state"), "failed") << raster;
        EXPECT_EQ(text(status, "error"), error) << raster;
        EXPECT_EQ(leftovers(), QStringList()) << raster;
    }
}
