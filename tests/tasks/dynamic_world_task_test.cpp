// The "dynamic-world" task end to end through the task functions: classes, preview, polygons and counts on
// a generated nine-band raster, the input and mask checks, and cancellation during polygonisation.

#include <tarnivale/ai/interop.h>

#include "support/raster_fixture.h"
#include "tasks/task_fixture.h"

#include <gtest/gtest.h>

#include <gdal.h>
#include <ogr_api.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

#include <cmath>
#include <map>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

constexpr int Width = 70;
constexpr int Height = 50;

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
        raster = path(QStringLiteral("scene.tif"));
        mask = path(QStringLiteral("mask.tif"));
        writeNineBandRaster(raster, Width, Height, classAt);
        writeValidityMask(mask, Width, Height, validAt);
    }

    // Runs the request to its end and returns the final status.
    QJsonObject run(const QJsonObject& request) {
        const std::uint64_t id = startTask(request);
        EXPECT_NE(id, 0u) << lastTaskError().toStdString();
        const QJsonObject status = waitForTask(id);
        EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
        return status;
    }

    QString failureOf(const QJsonObject& request) {
        const QJsonObject status = run(request);
        EXPECT_EQ(status.value(QStringLiteral("state")).toString(), QStringLiteral("failed"));
        return status.value(QStringLiteral("error")).toString();
    }

    QString raster;
    QString mask;
};

}  // namespace

TEST_F(DynamicWorld, ClassifiesMasksPreviewsAndPolygonises) {
    QJsonObject request = dynamicWorldRequest(raster, mask);
    request.insert(QStringLiteral("provider"), QStringLiteral("Auto"));
    const std::uint64_t id = startTask(request);
    ASSERT_NE(id, 0u) << lastTaskError().toStdString();
    int percent = 0;
    const QJsonObject status = waitForTask(id, [&](const QJsonObject& seen) {
        const int now = seen.value(QStringLiteral("percent")).toInt();
        EXPECT_GE(now, percent);
        EXPECT_TRUE(now < 100 ||
                    seen.value(QStringLiteral("state")).toString() == QLatin1String("completed"));
        percent = now;
    });
    ASSERT_EQ(status.value(QStringLiteral("state")).toString(), QStringLiteral("completed"))
        << status.value(QStringLiteral("error")).toString().toStdString();
    EXPECT_EQ(status.value(QStringLiteral("percent")).toInt(), 100);
    EXPECT_EQ(status.value(QStringLiteral("message")).toString(), QStringLiteral("Completed"));
    EXPECT_EQ(status.value(QStringLiteral("error")).toString(), QString());

    const QJsonObject result = taskResult(id);
    EXPECT_EQ(result.value(QStringLiteral("schemaVersion")).toString(), QStringLiteral("1.0"));
    EXPECT_EQ(result.value(QStringLiteral("task")).toString(), QStringLiteral("dynamic-world"));
    EXPECT_EQ(result.value(QStringLiteral("sourceRasterPath")).toString(),
              QFileInfo(raster).absoluteFilePath());
    EXPECT_EQ(result.value(QStringLiteral("width")).toInt(), Width);
    EXPECT_EQ(result.value(QStringLiteral("height")).toInt(), Height);
    EXPECT_EQ(result.value(QStringLiteral("geoTransform")).toArray().size(), 6);
    EXPECT_EQ(result.value(QStringLiteral("geoTransform")).toArray().at(1).toDouble(), 10.0);
    EXPECT_TRUE(result.value(QStringLiteral("projectionWkt")).toString().contains(QStringLiteral("32633")));
    EXPECT_EQ(result.value(QStringLiteral("provider")).toString(), QStringLiteral("CPU"));
    EXPECT_EQ(result.value(QStringLiteral("tiles")).toInt(),
              status.value(QStringLiteral("totalTiles")).toInt());
    EXPECT_EQ(status.value(QStringLiteral("completedTiles")), status.value(QStringLiteral("totalTiles")));
    EXPECT_GT(result.value(QStringLiteral("tiles")).toInt(), 1);
    EXPECT_EQ(result.value(QStringLiteral("provenance"))
                  .toObject()
                  .value(QStringLiteral("model"))
                  .toObject()
                  .value(QStringLiteral("id"))
                  .toString(),
              QStringLiteral("google-dynamicworld"));
    EXPECT_GE(result.value(QStringLiteral("elapsedMilliseconds")).toDouble(), 0.0);

    const QString classes = result.value(QStringLiteral("rasterPath")).toString();
    const QString preview = result.value(QStringLiteral("previewPath")).toString();
    const QString vectors = result.value(QStringLiteral("vectorPath")).toString();
    const QDir workspace = QFileInfo(classes).absoluteDir();
    EXPECT_EQ(QFileInfo(classes).fileName(), QStringLiteral("classes.tif"));
    EXPECT_EQ(QFileInfo(preview).absoluteFilePath(),
              workspace.absoluteFilePath(QStringLiteral("preview.tif")));
    EXPECT_EQ(QFileInfo(vectors).absoluteFilePath(),
              workspace.absoluteFilePath(QStringLiteral("classes.gpkg")));
    EXPECT_EQ(QFileInfo(workspace.absolutePath()).absolutePath(), QFileInfo(temporary).absoluteFilePath());

    // Classes: the model's class where valid, -1 where masked; counts computed here independently.
    static const int colors[9][3] = {{65, 155, 223},  {57, 125, 73},   {136, 176, 83},
                                     {122, 135, 198}, {228, 150, 53},  {223, 195, 90},
                                     {196, 40, 27},   {165, 155, 143}, {179, 159, 225}};
    const std::vector<double> codes = readTestBand(classes, 1);
    std::vector<std::vector<double>> rgba;
    for (int band = 1; band <= 4; ++band) {
        rgba.push_back(readTestBand(preview, band));
    }
    std::vector<qint64> expectedCounts(9, 0);
    for (int y = 0; y < Height; ++y) {
        for (int x = 0; x < Width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y * Width + x);
            const int expected = validAt(x, y) ? classAt(x, y) : -1;
            ASSERT_EQ(codes[i], expected) << x << "," << y;
            if (expected >= 0) {
                ++expectedCounts[static_cast<std::size_t>(expected)];
                EXPECT_EQ(rgba[0][i], colors[expected][0]);
                EXPECT_EQ(rgba[1][i], colors[expected][1]);
                EXPECT_EQ(rgba[2][i], colors[expected][2]);
                EXPECT_EQ(rgba[3][i], 255);
            } else {
                EXPECT_EQ(rgba[0][i] + rgba[1][i] + rgba[2][i] + rgba[3][i], 0.0);
            }
        }
    }
    const QJsonArray counts = result.value(QStringLiteral("classPixels")).toArray();
    ASSERT_EQ(counts.size(), 9);
    for (int c = 0; c < 9; ++c) {
        EXPECT_EQ(counts.at(c).toInteger(), expectedCounts[static_cast<std::size_t>(c)]) << c;
    }

    // Polygons: layer "classes", field "class_id"; the area of each class equals its valid pixels, so masked
    // pixels are in no polygon.
    GDALDatasetH gpkg = GDALOpenEx(vectors.toUtf8().constData(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
    ASSERT_NE(gpkg, nullptr);
    OGRLayerH layer = GDALDatasetGetLayerByName(gpkg, "classes");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(OGR_L_GetFeatureCount(layer, TRUE), result.value(QStringLiteral("polygons")).toInteger());
    EXPECT_NE(OGR_L_GetSpatialRef(layer), nullptr);
    const int field = OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(layer), "class_id");
    ASSERT_GE(field, 0);
    std::map<int, double> areas;
    OGR_L_ResetReading(layer);
    while (OGRFeatureH feature = OGR_L_GetNextFeature(layer)) {
        areas[OGR_F_GetFieldAsInteger(feature, field)] += OGR_G_Area(OGR_F_GetGeometryRef(feature));
        OGR_F_Destroy(feature);
    }
    GDALClose(gpkg);
    EXPECT_EQ(areas.count(-1), 0u);
    for (int c = 0; c < 9; ++c) {
        EXPECT_NEAR(areas[c], static_cast<double>(expectedCounts[static_cast<std::size_t>(c)]) * 100.0, 1e-6)
            << c;
    }

    // Release deletes the workspace with its files.
    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    EXPECT_FALSE(workspace.exists());
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(DynamicWorld, RefusesWrongInputsPackagesAndProviders) {
    const QString eight = path(QStringLiteral("eight.tif"));
    writeNineBandRaster(
        eight, 8, 8, [](int, int) { return 0; }, 8);
    EXPECT_EQ(failureOf(dynamicWorldRequest(eight, mask)),
              QStringLiteral("Dynamic World requires nine-band input."));
    EXPECT_EQ(failureOf(dynamicWorldRequest(path(QStringLiteral("missing.tif")), mask)),
              QStringLiteral("Dynamic World requires nine-band input."));

    // The pixel budget, on empty virtual rasters: 4096 x 4096 passes (and then meets a broken package),
    // 4097 x 4096 does not.
    const auto virtualRaster = [&](int width, int height) {
        const QString file = path(QStringLiteral("v%1.vrt").arg(width));
        GDALDatasetH vrt = GDALCreate(GDALGetDriverByName("VRT"), file.toUtf8().constData(), width, height, 9,
                                      GDT_Float32, nullptr);
        GDALClose(vrt);
        return file;
    };
    QJsonObject request = dynamicWorldRequest(virtualRaster(4097, 4096), mask);
    EXPECT_EQ(failureOf(request), QStringLiteral("Raster exceeds the task pixel budget."));
    request = dynamicWorldRequest(virtualRaster(4096, 4096), mask);
    request.insert(QStringLiteral("modelPackagePath"), path(QStringLiteral("no-package")));
    EXPECT_EQ(failureOf(request), QStringLiteral("Model package failed integrity validation."));

    request = dynamicWorldRequest(raster, mask);
    request.insert(
        QStringLiteral("modelPackagePath"),
        writeDynamicWorldPackage(path(QStringLiteral("other")), QStringLiteral("dynamic_world.onnx"),
                                 QStringLiteral("other-model")));
    EXPECT_EQ(failureOf(request), QStringLiteral("Unsupported Dynamic World model contract."));
    // A package whose model file changed after packaging fails its integrity check.
    const QString tampered = writeDynamicWorldPackage(path(QStringLiteral("tampered")));
    QFile model(QDir(tampered).absoluteFilePath(QStringLiteral("dynamic_world.onnx")));
    ASSERT_TRUE(model.open(QIODevice::Append));
    model.write("x");
    model.close();
    request.insert(QStringLiteral("modelPackagePath"), tampered);
    EXPECT_EQ(failureOf(request), QStringLiteral("Model package failed integrity validation."));

    request = dynamicWorldRequest(raster, mask);
    request.insert(QStringLiteral("provider"), QStringLiteral("directml"));
    EXPECT_EQ(failureOf(request), QStringLiteral("Unsupported task provider."));
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(DynamicWorld, RefusesMasksOnAnotherGrid) {
    const auto maskFailure = [&](const QString& name, int width, int height, double shift, int epsg,
                                 bool georeferenced = true) {
        const QString file = path(name);
        writeValidityMask(file, width, height, validAt, shift, epsg, georeferenced);
        return failureOf(dynamicWorldRequest(raster, file)).toStdString();
    };
    EXPECT_EQ(maskFailure("wide.tif", Width + 1, Height, 0.0, 32633),
              "Validity mask dimensions differ from the input raster.");
    EXPECT_EQ(failureOf(dynamicWorldRequest(raster, path(QStringLiteral("none.tif")))).toStdString(),
              "Validity mask dimensions differ from the input raster.");
    EXPECT_EQ(maskFailure("plain.tif", Width, Height, 0.0, 0, false), "Validity mask has no transform.");
    EXPECT_EQ(maskFailure("shifted.tif", Width, Height, 2.5, 32633),
              "Validity mask grid differs from the input raster.");
    EXPECT_EQ(maskFailure("utm34.tif", Width, Height, 0.0, 32634), "Validity mask CRS differs from input.");
    EXPECT_EQ(maskFailure("nocrs.tif", Width, Height, 0.0, 0), "Validity mask CRS differs from input.");
    // A shift far below the tolerance is the same grid.
    const QString close = path(QStringLiteral("close.tif"));
    writeValidityMask(close, Width, Height, validAt, 1e-6, 32633);
    EXPECT_EQ(run(dynamicWorldRequest(raster, close)).value(QStringLiteral("state")).toString(),
              QStringLiteral("completed"));
}

TEST_F(DynamicWorld, CancellingDuringPolygonisationEndsCancelled) {
    // A one-pixel checkerboard of two classes: a quarter of a million polygons, seconds of polygonisation.
    const QString board = path(QStringLiteral("board.tif"));
    const QString boardMask = path(QStringLiteral("board-mask.tif"));
    writeNineBandRaster(board, 720, 720, [](int x, int y) { return (x + y) % 2; });
    writeValidityMask(boardMask, 720, 720, [](int, int) { return true; });
    QJsonObject request = dynamicWorldRequest(board, boardMask);
    request.insert(
        QStringLiteral("modelPackagePath"),
        writeDynamicWorldPackage(path(QStringLiteral("big-tiles")), QStringLiteral("dynamic_world.onnx"),
                                 QStringLiteral("google-dynamicworld"), 256));
    const std::uint64_t id = startTask(request);
    ASSERT_NE(id, 0u);
    const QJsonObject polygonising = waitForStatus(id, [](const QJsonObject& status) {
        return status.value(QStringLiteral("message")).toString() == QLatin1String("Creating class polygons");
    });
    ASSERT_EQ(polygonising.value(QStringLiteral("percent")).toInt(), 90);
    EXPECT_EQ(TarnivaleAI_CancelTask(id), 1);
    const QJsonObject status = waitForTask(id);
    EXPECT_EQ(status.value(QStringLiteral("state")).toString(), QStringLiteral("cancelled"));
    EXPECT_EQ(status.value(QStringLiteral("error")).toString(), QStringLiteral("AI task cancelled."));
    EXPECT_TRUE(leftovers().isEmpty());  // the unpublished workspace went with the worker
    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
}
