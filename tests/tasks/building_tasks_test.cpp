// The "hotosm-buildings" and "geoai-usa-buildings" tasks end to end through the task functions, on generated
// models whose outputs follow red roofs and blue outlines of a synthetic aerial scene: instances, the
// smallest building kept, touching roofs split, a roof across window seams, the polygon layer reopened with
// OGR, the Shapefile export; every refusal of the source raster and the package; the candidate budget.

#include "support/raster_fixture.h"
#include "support/test_paths.h"
#include "tasks/instance_masks.h"
#include "tasks/task_fixture.h"

#include <tarnivale/ai/models.h>

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <functional>
#include <stdexcept>
#include <tuple>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

struct Roof {
    int x, y, width, height;
    bool outlined = false;  ///< a one-pixel blue ring around it
    bool blue = false;      ///< the rectangle itself is an outline
};

// A Byte aerial scene, three bands unless `change` says otherwise: red roofs, blue outlines, grey ground;
// georeferenced with 10 m pixels in EPSG:32633 unless `change` says otherwise.
void writeRoofs(const QString& path, int width, int height, const std::vector<Roof>& roofs,
                const std::function<void(TestRasterSpec&)>& change = {}) {
    TestRasterSpec spec{.width = width, .height = height, .bands = 3, .dataType = GDT_Byte};
    if (change) {
        change(spec);
    }
    spec.value = [roofs](int band, int x, int y) {
        int lit = 0;  // the band at 230: 1 red, 3 blue; the others at 40
        for (const Roof& r : roofs) {
            if (x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height) {
                lit = r.blue ? 3 : 1;
            } else if (r.outlined && lit == 0 && x >= r.x - 1 && x <= r.x + r.width && y >= r.y - 1 &&
                       y <= r.y + r.height) {
                lit = 3;
            }
        }
        return band == lit ? 230.0 : 40.0;
    };
    writeTestRaster(path, spec);
}

const std::array<double, 6> Singular{500000.0, 10.0, 20.0, 4100000.0, 5.0, 10.0};

// The building layer of a result: every instance's area in pixels (10 m x 10 m), sorted, after checking the
// layer, its 64-bit field and its CRS.
std::vector<double> instanceAreas(const QString& vectorPath,
                                  const QString& layerName = "building_predictions") {
    const GDALDatasetUniquePtr dataset(
        GDALDataset::Open(vectorPath.toUtf8().constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY));
    if (!dataset) {
        throw std::runtime_error("no polygon output at " + vectorPath.toStdString());
    }
    OGRLayer* layer = dataset->GetLayerByName(layerName.toUtf8().constData());
    if (layer == nullptr) {
        throw std::runtime_error("no building layer");
    }
    const bool shapefile = QFileInfo(vectorPath).suffix() == "shp";  // DBF names hold ten characters
    const int idField = layer->GetLayerDefn()->GetFieldIndex(shapefile ? "instance_i" : "instance_id");
    EXPECT_GE(idField, 0);
    if (idField >= 0 && !shapefile) {
        EXPECT_EQ(layer->GetLayerDefn()->GetFieldDefn(idField)->GetType(), OFTInteger64);
    }
    OGRSpatialReference utm;
    utm.importFromEPSG(32633);
    EXPECT_TRUE(layer->GetSpatialRef() != nullptr && layer->GetSpatialRef()->IsSame(&utm));
    std::vector<double> areas;
    std::vector<std::int64_t> ids;
    for (const auto& feature : *layer) {
        areas.push_back(feature->GetGeometryRef()->toPolygon()->get_Area() / 100.0);
        ids.push_back(feature->GetFieldAsInteger64(idField));
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_TRUE(std::adjacent_find(ids.begin(), ids.end()) == ids.end());  // one polygon per instance
    std::sort(areas.begin(), areas.end());
    return areas;
}

class BuildingTasks : public TaskTest {
protected:
    // A package of the generated three-head model (or `model`), changed by `change` before it is written.
    QString hotosmPackage(const QString& name, const std::function<void(AiModelManifest&)>& change = {},
                          const QString& model = "building_heads.onnx") {
        AiModelManifest manifest = AiModelManifestLoader::fromJson(R"({"version": "1.0",
            "id": "hotosm-dinov3s-buildings", "task": "semantic_segmentation",
            "provenance": {"revision": "test"},
            "inputs": [{"name": "image", "dataType": "Float32", "layout": "NCHW", "shape": [1, 3, -1, -1]}],
            "outputs": [{"name": "probability", "dataType": "Float32", "layout": "NCHW", "shape": [1, 1, -1, -1]},
                        {"name": "boundary", "dataType": "Float32", "layout": "NCHW", "shape": [1, 1, -1, -1]},
                        {"name": "distance", "dataType": "Float32", "layout": "NCHW", "shape": [1, 1, -1, -1]}],
            "inputAdapters": [{"tensor": "image", "bands": [1, 2, 3]}],
            "normalization": {"scale": 0.00392156862745098},
            "outputDecoders": [{"id": "building-probability", "tensor": "probability", "activation": "none"},
                               {"id": "building-boundary", "tensor": "boundary", "activation": "none"},
                               {"id": "building-distance", "tensor": "distance", "activation": "none"}],
            "tiling": {"width": 64, "height": 64, "overlapX": 8, "overlapY": 8}})");
        return writeManifest(name, manifest, model, change);
    }
    // A package of the generated Mask R-CNN-shaped model over 512 x 512 windows.
    QString geoaiPackage(const QString& name, const std::function<void(AiModelManifest&)>& change = {},
                         const QString& model = "maskrcnn_roofs.onnx") {
        AiModelManifest manifest = AiModelManifestLoader::fromJson(R"({"version": "1.0",
            "id": "mirtal-geoai-usa-maskrcnn-resnet50-fpn", "task": "instance_segmentation",
            "provenance": {"revision": "test"},
            "inputs": [{"name": "image", "dataType": "Float32", "layout": "NCHW", "shape": [1, 3, 512, 512]}],
            "outputs": [{"name": "boxes", "dataType": "Float32", "shape": [256, 4]},
                        {"name": "scores", "dataType": "Float32", "shape": [256]},
                        {"name": "classes", "dataType": "Int64", "shape": [256]},
                        {"name": "masks", "dataType": "Float32", "shape": [256, 1, 28, 28]}],
            "labels": ["building"]})");
        return writeManifest(name, manifest, model, change);
    }
    QString writeManifest(const QString& name, AiModelManifest manifest, const QString& model,
                          const std::function<void(AiModelManifest&)>& change) {
        manifest.modelPath = testModelPath(model);
        if (change) {
            change(manifest);
        }
        QDir().mkpath(path(name));
        return AiModelPackage::create(path(name), manifest, true).directoryPath();
    }
    QJsonObject request(const char* kind, const QString& packagePath, const QString& raster) const {
        return {{"task", kind},
                {"modelPackagePath", packagePath},
                {"rasterPath", path(raster)},
                {"intraOpThreads", 1}};
    }
    // Runs to the end; returns the final status and, when completed, the result (read before release).
    std::pair<QJsonObject, QJsonObject> run(const QJsonObject& json) {
        const std::uint64_t id = startTask(json);
        EXPECT_NE(id, 0u) << lastTaskError();
        const QJsonObject status = waitForTask(id);
        QJsonObject result;
        if (text(status, "state") == "completed") {
            result = taken(TarnivaleAI_GetTaskResultUtf8(id));
            QJsonArray areas;
            for (const double area : instanceAreas(field(result, "vectorPath").toString())) {
                areas.append(area);
            }
            result.insert("areas", areas);
            const QString exported = path(QStringLiteral("export-%1.shp").arg(id));
            char* written = TarnivaleAI_ExportTaskResultUtf8(
                id, QJsonDocument(QJsonObject{{"format", "shapefile"}, {"path", exported}})
                        .toJson(QJsonDocument::Compact)
                        .constData());
            EXPECT_NE(written, nullptr) << lastTaskError();
            TarnivaleAI_FreeTaskString(written);
            EXPECT_EQ(instanceAreas(exported, QFileInfo(exported).completeBaseName()).size(),
                      static_cast<std::size_t>(areas.size()));
        }
        EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
        EXPECT_EQ(leftovers(), QStringList());  // nothing outside the workspace, and the workspace gone
        return {status, result};
    }
    static std::vector<double> areasOf(const QJsonObject& result) {
        std::vector<double> areas;
        for (const QJsonValue& area : result.value("areas").toArray()) {
            areas.push_back(area.toDouble());
        }
        return areas;
    }
};

// Roofs of the three-head scene: one outlined, two touching across a one-pixel outline, the 27- and 28-pixel
// roofs on either side of the smallest building, one across the 64-pixel tiles' seams.
// The touching pair's outline column goes to the first roof, whose label is smaller.
const std::vector<Roof> HotosmRoofs = {{10, 10, 8, 8, true}, {30, 10, 10, 10}, {40, 10, 1, 10, false, true},
                                       {41, 10, 10, 10},     {60, 10, 3, 9},   {80, 10, 4, 7},
                                       {50, 40, 20, 12}};

}  // namespace

TEST_F(BuildingTasks, HotosmSeparatesOutlinedTouchingAndSmallRoofs) {
    writeRoofs(path("roofs.tif"), 120, 80, HotosmRoofs);
    QJsonObject json = request("hotosm-buildings", hotosmPackage("hotosm"), "roofs.tif");
    json.insert("threshold", 0.9);
    const auto [status, result] = run(json);
    ASSERT_EQ(text(status, "state"), "completed") << text(status, "error");
    EXPECT_EQ(text(result, "task"), "hotosm-buildings");
    EXPECT_EQ(field(result, "threshold").toDouble(), 0.9);
    EXPECT_EQ(field(result, "postprocessing.foregroundThreshold").toDouble(), 0.9);
    EXPECT_EQ(field(result, "postprocessing.minimumRegionPixels").toInt(), 28);
    EXPECT_EQ(field(result, "instances").toInt(), 5);
    EXPECT_EQ(field(result, "polygons").toInt(), 5);
    // Outlined 8 x 8 with its ring; the 3 x 9 roof is below the smallest building, the 4 x 7 one is not.
    EXPECT_EQ(areasOf(result), (std::vector<double>{28, 100, 100, 110, 240}));
}

TEST_F(BuildingTasks, HotosmRefusesWithItsOwnMessages) {
    writeRoofs(path("roofs.tif"), 40, 30, {{5, 5, 10, 10}});
    const QString good = hotosmPackage("good");
    writeRoofs(path("two.tif"), 40, 30, {}, [](TestRasterSpec& s) { s.bands = 2; });
    writeRoofs(path("nocrs.tif"), 40, 30, {}, [](TestRasterSpec& s) { s.epsg = 0; });
    writeRoofs(path("singular.tif"), 40, 30, {}, [](TestRasterSpec& s) { s.geoTransform = Singular; });
    const std::vector<std::tuple<const char*, QString, std::string>> rows = {
        {"two.tif", good, "HOTOSM requires georeferenced RGB input."},
        {"nocrs.tif", good, "HOTOSM input requires a valid CRS and affine transform."},
        {"singular.tif", good, "HOTOSM input requires a valid CRS and affine transform."},
        {"roofs.tif",
         hotosmPackage("edges", [](AiModelManifest& m) { m.outputDecoders[1].id = "building-edge"; }),
         "Unsupported HOTOSM mask/boundary/distance model contract."},
        // A manifest tiling whose buffers cannot be represented fails the task; it used to crash the host.
        {"roofs.tif",
         hotosmPackage("huge",
                       [](AiModelManifest& m) {
                           m.tiling = AiTileOptions{2147483647, 2147483647, 4, 4};
                       }),
         "AI tile buffers exceed the supported size."},
        {"roofs.tif", hotosmPackage("nan", {}, "building_heads_nan.onnx"),
         "HOTOSM model produced non-finite values."},
    };
    for (const auto& [raster, packagePath, error] : rows) {
        const auto [status, result] = run(request("hotosm-buildings", packagePath, raster));
        EXPECT_EQ(text(status, "state"), "failed") << raster;
        EXPECT_EQ(text(status, "error"), error) << raster;
    }
    for (const auto& [threshold, error] : std::vector<std::pair<QJsonValue, std::string>>{
             {1.0, "Building threshold must be between zero and one."},
             {0.0, "Building threshold must be between zero and one."},
             {"0.5", "Building threshold must be a number."}}) {
        QJsonObject json = request("hotosm-buildings", good, "roofs.tif");
        json.insert("threshold", threshold);
        EXPECT_EQ(startTask(json), 0u);
        EXPECT_EQ(lastTaskError(), error);
    }
}

// 896 x 640 gives windows at columns 0 and 384 and rows 0 and 128. The second roof crosses column 512, the
// first window's inner edge, where that window sees 22 of its 40 columns with the same score as the whole
// roof in the next window: only the seam rule keeps the whole one. The third lies in the last window, at the
// raster's corner.
TEST_F(BuildingTasks, GeoaiKeepsWholeRoofsAcrossWindowSeams) {
    writeRoofs(path("scene.tif"), 896, 640, {{64, 64, 40, 30}, {490, 200, 40, 64}, {860, 600, 30, 30}});
    const auto [status, result] = run(request("geoai-usa-buildings", geoaiPackage("geoai"), "scene.tif"));
    ASSERT_EQ(text(status, "state"), "completed") << text(status, "error");
    EXPECT_EQ(text(result, "task"), "geoai-usa-buildings");
    EXPECT_EQ(field(result, "instances").toInt(), 3);
    EXPECT_EQ(field(result, "postprocessing.tileStride").toInt(), 384);
    EXPECT_EQ(field(result, "tiles").toInt(), 4);
    EXPECT_EQ(text(result, "modelId"), "mirtal-geoai-usa-maskrcnn-resnet50-fpn");
    EXPECT_EQ(areasOf(result), (std::vector<double>{900, 1200, 2560}));
}

TEST_F(BuildingTasks, GeoaiRefusesWithItsOwnMessages) {
    const QString good = geoaiPackage("good");
    writeRoofs(path("two.tif"), 64, 64, {}, [](TestRasterSpec& s) { s.bands = 2; });
    writeRoofs(path("wide.tif"), 64, 64, {}, [](TestRasterSpec& s) { s.dataType = GDT_UInt16; });
    writeRoofs(path("nocrs.tif"), 64, 64, {}, [](TestRasterSpec& s) { s.epsg = 0; });
    writeRoofs(path("singular.tif"), 64, 64, {}, [](TestRasterSpec& s) { s.geoTransform = Singular; });
    writeRoofs(path("roofs.tif"), 64, 64, {});
    const std::vector<std::tuple<const char*, QString, std::string>> rows = {
        {"two.tif", good, "GeoAI USA requires RGB input."},
        {"wide.tif", good, "GeoAI USA requires byte RGB bands in positions 1, 2 and 3."},
        {"nocrs.tif", good, "GeoAI USA requires a valid raster CRS."},
        {"singular.tif", good, "GeoAI USA requires a valid affine transform."},
        {"roofs.tif", geoaiPackage("other", [](AiModelManifest& m) { m.id = "another-maskrcnn"; }),
         "Unsupported GeoAI USA Mask R-CNN model contract."},
        {"roofs.tif",
         geoaiPackage(
             "short", [](AiModelManifest& m) { m.outputs[3].shape[0] = 255; },
             "maskrcnn_roofs_short_masks.onnx"),
         "Unexpected Mask R-CNN output shapes."},
        {"roofs.tif",
         geoaiPackage(
             "double", [](AiModelManifest& m) { m.outputs[1].dataType = AiTensorDataType::Float64; },
             "maskrcnn_roofs_double_scores.onnx"),
         "Invalid Mask R-CNN output tensor."},
        {"roofs.tif", geoaiPackage("nomasks", [](AiModelManifest& m) { m.outputs.removeLast(); }),
         "Unsupported GeoAI USA Mask R-CNN model contract."},
    };
    for (const auto& [raster, packagePath, error] : rows) {
        const auto [status, result] = run(request("geoai-usa-buildings", packagePath, raster));
        EXPECT_EQ(text(status, "state"), "failed") << raster;
        EXPECT_EQ(text(status, "error"), error) << raster;
    }
}

// Candidates past either budget fail before they are kept; suppression compares only boxes that meet, in
// score order; painting keeps the better instance's pixels.
TEST(InstanceMasks, BudgetsSuppressionAndPainting) {
    const auto square = [](double score, int x, int y, int side) {
        Tasks::MaskCandidate c{
            score, x, y, x + side, y + side, std::vector<std::uint8_t>(side * side, 1), side * side};
        return c;
    };
    Tasks::MaskCandidates byCount(2, 1000, "too many");
    for (int i = 0; i < 2; ++i) {
        byCount.reserve(16);
        byCount.add(square(0.5, 0, 0, 4));
    }
    EXPECT_THROW(
        try { byCount.reserve(16); } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "too many");
            throw;
        },
        std::exception);
    Tasks::MaskCandidates byBytes(10, 40, "too large");
    byBytes.reserve(25);
    byBytes.add(square(0.5, 0, 0, 5));
    EXPECT_THROW(byBytes.reserve(16), std::exception);
    byBytes.reserve(15);

    // a overlaps b by 12 / 20 (> 0.5) and goes; c overlaps b by 6 / 26 and stays; d is far away.
    const std::vector<Tasks::MaskCandidate> candidates = {square(0.7, 0, 0, 4), square(0.9, 1, 0, 4),
                                                          square(0.8, 2, 2, 4), square(0.6, 100, 100, 4)};
    const std::vector<const Tasks::MaskCandidate*> kept = Tasks::suppressMasks(candidates, 0.5, 8);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0], &candidates[1]);
    EXPECT_EQ(kept[1], &candidates[2]);
    EXPECT_EQ(kept[2], &candidates[3]);

    std::vector<std::int32_t> labels(110 * 110, 0);
    EXPECT_EQ(Tasks::paintInstances(kept, labels.data(), 110, 110), 3);
    EXPECT_EQ(labels[2 * 110 + 2], 1);  // shared by b and c: b's
    EXPECT_EQ(labels[5 * 110 + 5], 2);
    EXPECT_EQ(std::count(labels.begin(), labels.end(), 2), 10);  // 16 less the 6 shared with b
    EXPECT_EQ(labels[101 * 110 + 101], 3);
}
