// Exporting a completed task's outputs: the GeoTIFF renamed into place whole, the Shapefile with all its
// sidecars or none; never over anything at the destination, not even a file that appears there during the
// export, and nothing incomplete when the process is killed before any of its renames.

#include "support/expectations.h"
#include "tasks/task_fixture.h"
#include "tasks/task_table.h"

#include <gdal.h>
#include <ogr_api.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {
struct {
    std::string intruder;  // a destination ending so is created (holding "mine") just before its rename
    int stopBefore = -1;   // the rename (from 0) before which the process stops itself, to be killed
    int calls = 0;
} g_renames;
}  // namespace

// Linked ahead of the C library, so every renameat2 of the test binary (the export's among them) comes here.
extern "C" int renameat2(int fromDirectory, const char* from, int toDirectory, const char* to,
                         unsigned int flags) noexcept {
    if (g_renames.stopBefore >= 0 && g_renames.calls++ == g_renames.stopBefore) {
        raise(SIGSTOP);
    }
    if (!g_renames.intruder.empty() && std::string(to).ends_with(g_renames.intruder)) {
        writeBytes(QString::fromUtf8(to), "mine");
    }
    return static_cast<int>(syscall(SYS_renameat2, fromDirectory, from, toDirectory, to, flags));
}

namespace {

QByteArray exportRequest(const QString& format, const QString& destination) {
    return QJsonDocument(QJsonObject{{"format", format}, {"path", destination}})
        .toJson(QJsonDocument::Compact);
}

QByteArray contents(const QString& file) {
    QFile opened(file);
    return opened.open(QIODevice::ReadOnly) ? opened.readAll() : QByteArray();
}

class TaskExport : public TaskTest {
protected:
    void SetUp() override {
        TaskTest::SetUp();
        id = startTask(scene(
            "scene", 30, 20, [](int x, int y) { return (x / 10 + y / 10) % 9; },
            [](int x, int) { return x >= 2; }));
        ASSERT_EQ(text(waitForTask(id), "state"), "completed") << lastTaskError();
        result = taken(TarnivaleAI_GetTaskResultUtf8(id));
        source = contents(field(result, "rasterPath").toString());
        ASSERT_FALSE(source.isEmpty());
        ASSERT_TRUE(QDir().mkpath(path("out")));
    }
    void TearDown() override {
        TarnivaleAI_ReleaseTask(id);
        TaskTest::TearDown();
    }
    QString out(const QString& name) const { return QDir(path("out")).absoluteFilePath(name); }
    // The export's response, or an empty object with the error in `error`.
    QJsonObject exportAs(const QString& format, const QString& destination) {
        const QJsonObject response =
            taken(TarnivaleAI_ExportTaskResultUtf8(id, exportRequest(format, destination).constData()));
        error = lastTaskError();
        return response;
    }
    // The destination directory's entries, hidden ones included, by name.
    std::string listing() const {
        return QDir(path("out"))
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
            .join(u' ')
            .toStdString();
    }
    // The Shapefile opens with every polygon of the task, its class field and its CRS.
    void expectWholeShapefile(const QString& file) {
        GDALAllRegister();
        GDALDatasetH opened =
            GDALOpenEx(file.toUtf8().constData(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr);
        ASSERT_NE(opened, nullptr) << file.toStdString();
        OGRLayerH layer = GDALDatasetGetLayer(opened, 0);
        EXPECT_EQ(OGR_L_GetFeatureCount(layer, TRUE), field(result, "polygons").toInteger());
        EXPECT_GE(OGR_FD_GetFieldIndex(OGR_L_GetLayerDefn(layer), "class_id"), 0);
        EXPECT_NE(OGR_L_GetSpatialRef(layer), nullptr);
        GDALClose(opened);
    }

    std::uint64_t id = 0;
    QJsonObject result;
    QByteArray source;
    std::string error;
};

}  // namespace

TEST_F(TaskExport, GeoTiffIsRenamedIntoPlaceWholeAndNeverReplacesAnything) {
    const QJsonObject response = exportAs("GeoTIFF", out("classes.tif"));
    ASSERT_EQ(error, "");
    EXPECT_EQ(text(response, "format"), "geotiff");
    EXPECT_EQ(field(response, "path"), out("classes.tif"));
    EXPECT_TRUE(field(response, "exported").toBool());
    EXPECT_EQ(contents(out("classes.tif")), source);
    EXPECT_EQ(listing(), "classes.tif");           // no temporary file left beside it
    const QString previous = QDir::currentPath();  // a relative path is taken against the current directory
    ASSERT_TRUE(QDir::setCurrent(path("out")));
    EXPECT_EQ(field(exportAs("geotiff", "again.tif"), "path"), out("again.tif"));
    QDir::setCurrent(previous);
    EXPECT_EQ(contents(out("again.tif")), source);

    // Occupied destinations stay as they were: a file, an empty file, a dangling link, and a file that
    // appears after the check, just before the rename.
    writeBytes(out("mine.tif"), "mine");
    writeBytes(out("empty.tif"), "");
    ASSERT_TRUE(QFile::link(out("nowhere.tif"), out("link.tif")));
    g_renames.intruder = "late.tif";
    for (const char* name : {"classes.tif", "mine.tif", "empty.tif", "link.tif", "late.tif"}) {
        EXPECT_TRUE(exportAs("geotiff", out(name)).isEmpty()) << name;
        EXPECT_EQ(error, "Export destination exists.") << name;
    }
    g_renames.intruder.clear();
    EXPECT_EQ(contents(out("classes.tif")), source);
    EXPECT_EQ(contents(out("mine.tif")), "mine");
    EXPECT_EQ(contents(out("late.tif")), "mine");
    EXPECT_EQ(contents(out("empty.tif")), "");
    EXPECT_EQ(QFile::symLinkTarget(out("link.tif")), out("nowhere.tif"));

    const std::pair<QByteArray, std::string> refused[] = {
        {exportRequest("geotiff", path("no/such/dir/x.tif")), "Export directory does not exist."},
        {exportRequest("png", out("x.png")), "Unsupported AI export format."},
        {exportRequest("geotiff", ""), "Required task path is missing or invalid."},
        {"{\"format\": \"geotiff\", \"path\": ", "Invalid task JSON object."},
        {QByteArray(), "Task JSON is null."},
    };
    for (const auto& [request, message] : refused) {
        EXPECT_EQ(TarnivaleAI_ExportTaskResultUtf8(id, request.isNull() ? nullptr : request.constData()),
                  nullptr);
        EXPECT_EQ(lastTaskError(), message);
    }
    EXPECT_EQ(listing(), "again.tif classes.tif empty.tif late.tif link.tif mine.tif");
}

TEST_F(TaskExport, ShapefileArrivesWithAllSidecarsOrNotAtAll) {
    EXPECT_EQ(text(exportAs("shapefile", out("out.SHP")), "format"), "shapefile");
    EXPECT_EQ(listing(), "out.dbf out.prj out.shp out.shx") << error;
    expectWholeShapefile(out("out.shp"));
    EXPECT_TRUE(exportAs("shapefile", out("out.gpkg")).isEmpty());
    EXPECT_EQ(error, "Shapefile destination must end in .shp.");
    EXPECT_TRUE(exportAs("shapefile", out("out.shp")).isEmpty());
    EXPECT_EQ(error, "Export destination exists.");

    // A sidecar in the way before the export, or a file appearing at a sidecar's or at the .shp's destination
    // during the moves: nothing of the export stays, and the other file is untouched.
    const std::tuple<const char*, const char*, bool, std::string> blocked[] = {
        {"second.shp", "second.dbf", false, "Shapefile sidecar destination exists."},
        {"third.shp", "third.prj", true, "Cannot commit Shapefile sidecars."},
        {"fourth.shp", "fourth.shp", true, "Cannot commit Shapefile sidecars."},
    };
    for (const auto& [name, other, appears, message] : blocked) {
        const std::string before = listing();
        if (!appears) {
            writeBytes(out(other), "mine");
        }
        g_renames.intruder = appears ? other : "";
        EXPECT_TRUE(exportAs("shapefile", out(name)).isEmpty()) << name;
        g_renames.intruder.clear();
        EXPECT_EQ(error, message);
        EXPECT_EQ(contents(out(other)), "mine");
        EXPECT_TRUE(QFile::remove(out(other)));
        EXPECT_EQ(listing(), before);
    }
    EXPECT_FALSE(exportAs("Shapefile", out("fifth.shp")).isEmpty()) << error;  // again and again
    expectWholeShapefile(out("fifth.shp"));
}

// A process killed during an export leaves nothing or complete files at the destination. Only renames change
// what is there, so a child stops before its n-th rename and is killed there, for every n: the GeoTIFF is
// there whole after the first, the Shapefile's .shp only after all its sidecars.
TEST_F(TaskExport, KilledExportsLeaveNothingOrCompleteFiles) {
    // Both exports in a child that stops itself before rename `stopBefore` and is killed there; the renames
    // done (a child that does not stop exits with their count).
    const auto exportInChild = [&](int stopBefore, const QString& name) {
        const pid_t child = fork();
        if (child == 0) {
            g_renames.stopBefore = stopBefore;
            taken(TarnivaleAI_ExportTaskResultUtf8(id, exportRequest("geotiff", name + ".tif").constData()));
            taken(
                TarnivaleAI_ExportTaskResultUtf8(id, exportRequest("shapefile", name + ".shp").constData()));
            _exit(g_renames.calls);
        }
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, WUNTRACED), child);
        if (WIFSTOPPED(status)) {
            kill(child, SIGKILL);
            EXPECT_EQ(waitpid(child, &status, 0), child);
            return stopBefore;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    // A worker thread still ending at a fork (closing PROJ's database) would leave the child its locks held.
    Tasks::TaskTable::instance().find(id)->worker.join();
    const int renames = exportInChild(1000, out("whole"));
    ASSERT_GE(renames, 5);  // the GeoTIFF, then at least three sidecars and the .shp
    EXPECT_EQ(contents(out("whole.tif")), source);
    expectWholeShapefile(out("whole.shp"));
    for (int n = 0; n < renames; ++n) {
        const QString name = out(QStringLiteral("killed%1").arg(n));
        EXPECT_EQ(exportInChild(n, name), n);
        EXPECT_EQ(contents(name + ".tif"), n >= 1 ? source : QByteArray()) << n;
        EXPECT_FALSE(QFileInfo::exists(name + ".shp")) << n;
    }
}
