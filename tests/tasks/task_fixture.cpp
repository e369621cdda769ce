#include "tasks/task_fixture.h"

#include <tarnivale/ai/models.h>

#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gdal_alg.h>

#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <dlfcn.h>
#include <atomic>

using namespace Tarnivale::AI::Testing;

namespace {
std::atomic<Hold> g_hold{Hold::Off};
std::atomic<int> g_held{0};
}  // namespace

// Linked ahead of GDAL, so the library's polygon writer calls this: the gate, then GDAL's own function.
extern "C" CPLErr CPL_STDCALL GDALPolygonize(GDALRasterBandH source, GDALRasterBandH mask, OGRLayerH layer,
                                             int field, char** options, GDALProgressFunc progress,
                                             void* data) {
    if (g_hold != Hold::Off) {
        ++g_held;
        for (Hold hold = g_hold; hold != Hold::Off; hold = g_hold) {
            if (hold == Hold::UntilInterrupted && progress(0.0, "", data) == FALSE) {
                return CE_Failure;
            }
            QThread::usleep(1000);
        }
    }
    static const auto gdal = reinterpret_cast<decltype(&GDALPolygonize)>(dlsym(RTLD_NEXT, "GDALPolygonize"));
    return gdal(source, mask, layer, field, options, progress, data);
}

namespace Tarnivale::AI::Testing {

QJsonObject waitForTask(std::uint64_t taskId, const std::function<bool(const QJsonObject&)>& until) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const QJsonObject status = taskStatus(taskId);
        const QString state = status.value("state").toString();
        if ((until && until(status)) || state == "completed" || state == "failed" || state == "cancelled" ||
            status.isEmpty() || clock.elapsed() > 120000) {
            return status;
        }
        QThread::usleep(500);
    }
}

void holdPolygonisation(Hold hold) {
    g_held = 0;
    g_hold = hold;
}

bool waitUntilHeld(std::uint64_t taskId) {
    waitForTask(taskId, [](const QJsonObject&) { return g_held > 0; });
    return g_held > 0;
}

void TaskTest::SetUp() {
    ASSERT_TRUE(files.isValid());
    temporary = path("tmp");
    ASSERT_TRUE(QDir().mkpath(temporary));
    previousTmpDir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(temporary));
    package = writePackage("package");
}

void TaskTest::TearDown() {
    holdPolygonisation(Hold::Off);
    previousTmpDir.isEmpty() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", previousTmpDir);
}

QStringList TaskTest::leftovers() const {
    return QDir(temporary).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

QString TaskTest::writePackage(const QString& name, const QString& id, const QString& model) {
    AiModelManifest manifest = AiModelManifestLoader::fromJson(R"({"version": "1.0",
        "task": "semantic_segmentation", "provenance": {"revision": "test"},
        "inputs": [{"name": "image", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
        "outputs": [{"name": "scores", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
        "inputAdapters": [{"tensor": "image", "bands": [1, 2, 3, 4, 5, 6, 7, 8, 9]}],
        "outputDecoders": [{"id": "classes", "tensor": "scores", "activation": "softmax"}],
        "tiling": {"width": 64, "height": 64, "overlapX": 8, "overlapY": 8}, "labels": ["water", "trees",
        "grass", "flooded_vegetation", "crops", "shrub_and_scrub", "built", "bare", "snow_and_ice"]})");
    manifest.id = id;
    manifest.modelPath = testModelPath(model);
    QDir().mkpath(path(name));
    return AiModelPackage::create(path(name), manifest, true).directoryPath();
}

QJsonObject TaskTest::scene(const QString& name, int width, int height,
                            const std::function<int(int, int)>& classOf,
                            const std::function<bool(int, int)>& valid, int bands) {
    TestRasterSpec raster{.width = width, .height = height, .bands = bands};
    raster.value = [classOf](int band, int x, int y) { return classOf(x, y) + 1 == band ? 1.0 : 0.0; };
    writeTestRaster(path(name + ".tif"), raster);
    TestRasterSpec mask{.width = width, .height = height, .dataType = GDT_Byte};
    mask.value = [valid](int, int x, int y) { return !valid || valid(x, y) ? 1.0 : 0.0; };
    writeTestRaster(path(name + "-mask.tif"), mask);
    return QJsonObject{{"task", "dynamic-world"},
                       {"modelPackagePath", package},
                       {"rasterPath", path(name + ".tif")},
                       {"validityMaskPath", path(name + "-mask.tif")},
                       {"intraOpThreads", 1}};
}

QJsonObject TaskTest::finish(const QJsonObject& request) {
    const std::uint64_t id = startTask(request);
    EXPECT_NE(id, 0u) << lastTaskError();
    const QJsonObject status = waitForTask(id);
    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    return status;
}

}  // namespace Tarnivale::AI::Testing
