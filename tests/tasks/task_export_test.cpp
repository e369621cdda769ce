// Exporting a completed task's outputs: GeoTIFF by atomic save, Shapefile with all sidecars or none, never
// over an existing file.

#include <tarnivale/ai/interop.h>

#include "tasks/task_fixture.h"

#include <gtest/gtest.h>

#include <gdal.h>
#include <ogr_api.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>

#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

class TaskExport : public TaskTest {
protected:
    void SetUp() override {
        TaskTest::SetUp();
        const QString raster = path(QStringLiteral("scene.tif"));
        const QString mask = path(QStringLiteral("mask.tif"));
        writeNineBandRaster(raster, 30, 20, [](int x, int y) { return (x / 10 + y / 10) % 9; });
        writeValidityMask(mask, 30, 20, [](int x, int) { return x >= 2; });
        id = startTask(dynamicWorldRequest(raster, mask));
        ASSERT_NE(id, 0u);
        ASSERT_EQ(waitForTask(id).value(QStringLiteral("state")).toString(), QStringLiteral("completed"));
        result = taskResult(id);
        out = path(QStringLiteral("out"));
        ASSERT_TRUE(QDir().mkpath(out));
    }
    void TearDown() override {
        TarnivaleAI_ReleaseTask(id);
        TaskTest::TearDown();
    }

    // The export's response, or a null object with the error in `error`.
    QJsonObject exportAs(const QString& format, const QString& destination) {
        const QByteArray request = QJsonDocument(QJsonObject{{QStringLiteral("format"), format},
                                                             {QStringLiteral("path"), destination}})
                                       .toJson(QJsonDocument::Compact);
        const TaskString response(TarnivaleAI_ExportTaskResultUtf8(id, request.constData()));
        error = lastTaskError();
        return response.json();
    }
    QStringList outFiles() const {
        return QDir(out).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::AllDirs |
                                   QDir::NoDotAndDotDot);
    }

    std::uint64_t id = 0;
    QJsonObject result;
    QString out;
    QString error;
};

QByteArray contents(const QString& file) {
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

TEST_F(TaskExport, GeoTiffIsCopiedWholeAndNeverOverwrites) {
    const QString first = QDir(out).absoluteFilePath(QStringLiteral("classes.tif"));
    const QJsonObject response = exportAs(QStringLiteral("GeoTIFF"), first);
    ASSERT_EQ(error, QString());
    EXPECT_EQ(response.value(QStringLiteral("format")).toString(), QStringLiteral("geotiff"));
    EXPECT_EQ(response.value(QStringLiteral("path")).toString(), first);
    EXPECT_TRUE(response.value(QStringLiteral("exported")).toBool());
    EXPECT_EQ(contents(first), contents(result.value(QStringLiteral("rasterPath")).toString()));
    EXPECT_FALSE(contents(first).isEmpty());

    // The same task again, elsewhere; a relative path is taken against the current directory.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(out));
    const QJsonObject relative = exportAs(QStringLiteral("geotiff"), QStringLiteral("again.tif"));
    QDir::setCurrent(previous);
    EXPECT_EQ(relative.value(QStringLiteral("path")).toString(),
              QDir(out).absoluteFilePath(QStringLiteral("again.tif")));
    EXPECT_EQ(contents(QDir(out).absoluteFilePath(QStringLiteral("again.tif"))), contents(first));

    EXPECT_TRUE(exportAs(QStringLiteral("geotiff"), first).isEmpty());
    EXPECT_EQ(error, QStringLiteral("Export destination exists."));
    const QString empty = QDir(out).absoluteFilePath(QStringLiteral("empty.tif"));
    QFile(empty).open(QIODevice::WriteOnly);
    EXPECT_TRUE(exportAs(QStringLiteral("geotiff"), empty).isEmpty());
    EXPECT_EQ(error, QStringLiteral("Export destination exists."));
    EXPECT_EQ(QFileInfo(empty).size(), 0);
    const QString link = QDir(out).absoluteFilePath(QStringLiteral("link.tif"));
    ASSERT_TRUE(QFile::link(QDir(out).absoluteFilePath(QStringLiteral("nowhere.tif")), link));
    EXPECT_TRUE(exportAs(QStringLiteral("geotiff"), link).isEmpty());
    EXPECT_EQ(error, QStringLiteral("Export destination exists."));
    EXPECT_TRUE(exportAs(QStringLiteral("geotiff"), path(QStringLiteral("no/such/dir/x.tif"))).isEmpty());
    EXPECT_EQ(error, QStringLiteral("Export directory does not exist."));
    EXPECT_TRUE(exportAs(QStringLiteral("png"), path(QStringLiteral("x.png"))).isEmpty());
    EXPECT_EQ(error, QStringLiteral("Unsupported AI export format."));
    EXPECT_TRUE(exportAs(QStringLiteral("geotiff"), QString()).isEmpty());
    EXPECT_EQ(error, QStringLiteral("Required task path is missing or invalid."));
    EXPECT_TRUE(TaskString(TarnivaleAI_ExportTaskResultUtf8(id, nullptr)).isNull());
    EXPECT_EQ(lastTaskError(), QStringLiteral("Task JSON is null."));
    EXPECT_EQ(outFiles().size(), 4)
        << outFiles().join(u',').toStdString();  // two exports, the empty file, the link
}

TEST_F(TaskExport, ShapefileArrivesWithAllSidecarsOrNotAtAll) {
    const QJsonObject response =
        exportAs(QStringLiteral("shapefile"), QDir(out).absoluteFilePath(QStringLiteral("out.SHP")));
    ASSERT_EQ(error, QString());
    EXPECT_EQ(response.value(QStringLiteral("format")).toString(), QStringLiteral("shapefile"));
    for (const char* name : {"out.shp", "out.shx", "out.dbf", "out.prj"}) {
        EXPECT_TRUE(QFileInfo::exists(QDir(out).absoluteFilePath(QLatin1String(name)))) << name;
    }
    GDALAllRegister();
    GDALDatasetH shapefile =
        GDALOpenEx(QDir(out).absoluteFilePath(QStringLiteral("out.shp")).toUtf8().constData(), GDAL_OF_VECTOR,
                   nullptr, nullptr, nullptr);
    ASSERT_NE(shapefile, nullptr);
    OGRLayerH layer = GDALDatasetGetLayer(shapefile, 0);
    EXPECT_EQ(OGR_L_GetFeatureCount(layer, TRUE), result.value(QStringLiteral("polygons")).toInteger());
    EXPECT_GE(OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(layer), "class_id"), 0);
    EXPECT_NE(OGR_L_GetSpatialRef(layer), nullptr);
    GDALClose(shapefile);

    EXPECT_TRUE(exportAs(QStringLiteral("shapefile"), QDir(out).absoluteFilePath(QStringLiteral("out.gpkg")))
                    .isEmpty());
    EXPECT_EQ(error, QStringLiteral("Shapefile destination must end in .shp."));
    EXPECT_TRUE(exportAs(QStringLiteral("shapefile"), QDir(out).absoluteFilePath(QStringLiteral("out.shp")))
                    .isEmpty());
    EXPECT_EQ(error, QStringLiteral("Export destination exists."));

    // A sidecar in the way: nothing moves, the existing file is untouched, no staging directory stays.
    const QString blocker = QDir(out).absoluteFilePath(QStringLiteral("second.dbf"));
    QFile dbf(blocker);
    ASSERT_TRUE(dbf.open(QIODevice::WriteOnly));
    dbf.write("mine");
    dbf.close();
    const QStringList before = outFiles();
    EXPECT_TRUE(
        exportAs(QStringLiteral("shapefile"), QDir(out).absoluteFilePath(QStringLiteral("second.shp")))
            .isEmpty());
    EXPECT_EQ(error, QStringLiteral("Shapefile sidecar destination exists."));
    EXPECT_EQ(outFiles(), before);
    EXPECT_EQ(contents(blocker), QByteArray("mine"));

    // Again to another name: the task can be exported any number of times.
    EXPECT_FALSE(
        exportAs(QStringLiteral("Shapefile"), QDir(out).absoluteFilePath(QStringLiteral("third.shp")))
            .isEmpty())
        << error.toStdString();
    EXPECT_TRUE(QFileInfo::exists(QDir(out).absoluteFilePath(QStringLiteral("third.prj"))));
    for (const QString& name : outFiles()) {
        EXPECT_FALSE(name.startsWith(QStringLiteral(".tvai-export-"))) << name.toStdString();
    }
}

TEST_F(TaskExport, OnlyCompletedTasksExport) {
    const std::uint64_t failed =
        startTask(QJsonObject{{QStringLiteral("task"), QStringLiteral("sam3-text")},
                              {QStringLiteral("modelPackagePath"), package},
                              {QStringLiteral("rasterPath"), QStringLiteral("x.tif")}});
    ASSERT_NE(failed, 0u);
    waitForTask(failed);
    const TaskString response(TarnivaleAI_ExportTaskResultUtf8(
        failed, "{\"format\": \"geotiff\", \"path\": \"/tmp/never-written.tif\"}"));
    EXPECT_TRUE(response.isNull());
    EXPECT_EQ(lastTaskError(), QStringLiteral("Only completed AI tasks can be exported."));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/tmp/never-written.tif")));
    EXPECT_EQ(TarnivaleAI_ReleaseTask(failed), 1);
}

// A process killed at any moment of an export leaves nothing or complete files at the destination: the
// GeoTIFF is renamed into place whole, and the Shapefile's .shp arrives only after its sidecars.
TEST_F(TaskExport, KilledExportsLeaveNothingOrCompleteFiles) {
    const QByteArray source = contents(result.value(QStringLiteral("rasterPath")).toString());
    int completeGeoTiffs = 0;
    int completeShapefiles = 0;
    for (int attempt = 0; attempt < 24; ++attempt) {
        const QString geoTiff = QDir(out).absoluteFilePath(QStringLiteral("killed%1.tif").arg(attempt));
        const QString shapefile = QDir(out).absoluteFilePath(QStringLiteral("killed%1.shp").arg(attempt));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const QByteArray first =
                QJsonDocument(QJsonObject{{QStringLiteral("format"), QStringLiteral("geotiff")},
                                          {QStringLiteral("path"), geoTiff}})
                    .toJson(QJsonDocument::Compact);
            const QByteArray second =
                QJsonDocument(QJsonObject{{QStringLiteral("format"), QStringLiteral("shapefile")},
                                          {QStringLiteral("path"), shapefile}})
                    .toJson(QJsonDocument::Compact);
            TarnivaleAI_FreeTaskString(TarnivaleAI_ExportTaskResultUtf8(id, first.constData()));
            TarnivaleAI_FreeTaskString(TarnivaleAI_ExportTaskResultUtf8(id, second.constData()));
            _exit(0);
        }
        // From at once to well after both exports; the last child is left to finish.
        int status = 0;
        bool ended = false;
        if (attempt < 23) {
            usleep(static_cast<useconds_t>(attempt * 1500));
        } else {
            for (int wait = 0; wait < 500 && !ended; ++wait) {
                ended = waitpid(child, &status, WNOHANG) == child;
                usleep(10000);
            }
        }
        if (!ended) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }

        if (QFileInfo::exists(geoTiff)) {
            EXPECT_EQ(contents(geoTiff), source) << attempt;
            ++completeGeoTiffs;
        }
        if (QFileInfo::exists(shapefile)) {
            for (const char* extension : {"shx", "dbf", "prj"}) {
                EXPECT_TRUE(QFileInfo::exists(QDir(out).absoluteFilePath(
                    QStringLiteral("killed%1.%2").arg(attempt).arg(QLatin1String(extension)))))
                    << attempt << extension;
            }
            GDALDatasetH opened =
                GDALOpenEx(shapefile.toUtf8().constData(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
            ASSERT_NE(opened, nullptr) << attempt;
            EXPECT_EQ(OGR_L_GetFeatureCount(GDALDatasetGetLayer(opened, 0), TRUE),
                      result.value(QStringLiteral("polygons")).toInteger());
            GDALClose(opened);
            ++completeShapefiles;
        }
    }
    // Some runs were killed early and some finished: both ends were seen.
    EXPECT_LT(completeGeoTiffs, 24);
    EXPECT_GT(completeShapefiles, 0);
}
