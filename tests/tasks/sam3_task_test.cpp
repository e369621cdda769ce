// The "sam3-text" and "sam3-tracker" kinds through the task functions, on the generated bundles: drafts
// published in the workspace, start-time and worker refusals, and the process-wide SAM3 lock (a second SAM3
// task waits, a Dynamic World task does not).

#include "sam3/sam3_fixture.h"
#include "sam3/sam3_tokenizer.h"
#include "support/expectations.h"
#include "support/raster_fixture.h"
#include "tasks/sam3_task_support.h"
#include "tasks/task_fixture.h"

#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <future>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

std::atomic<int> g_locked{0};
std::shared_future<void> g_gate;

class Sam3Tasks : public TaskTest {
protected:
    void SetUp() override {
        TaskTest::SetUp();
        pins = Sam3::taskTokenizerPins();
        Sam3::taskTokenizerPins() = {sha256File(textBundle.path("processor/tokenizer.json")).hex,
                                     sha256File(textBundle.path("processor/processor_config.json")).hex};
        TestRasterSpec spec;
        spec.width = 96;
        spec.height = 64;
        spec.bands = 3;
        spec.dataType = GDT_Byte;
        spec.colorInterpretations = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand};
        spec.value = [](int band, int x, int) {
            return (band == 1 && x < 48) || (band == 2 && x >= 48) ? 255.0 : 0.0;
        };
        raster = path("halves.tif");
        writeTestRaster(raster, spec);
    }
    void TearDown() override {
        Sam3::taskTokenizerPins() = pins;
        Tasks::sam3TaskLockedHook = nullptr;
        TaskTest::TearDown();
    }
    QJsonObject textRequest() const {
        return {{"task", "sam3-text"},
                {"modelPackagePath", textBundle.root()},
                {"rasterPath", raster},
                {"text", "pool"}};
    }
    QJsonObject trackerRequest() const {
        return {{"task", "sam3-tracker"},
                {"modelPackagePath", trackerBundle.manifestPath()},
                {"rasterPath", raster},
                {"coordinateSpace", "pixel"},
                {"points", QJsonArray{QJsonObject{{"x", 70}, {"y", 30}}}}};
    }

    BundleCopy textBundle{"sam3-text"};
    BundleCopy trackerBundle{"sam3-tracker"};
    QString raster;
    Sam3::TokenizerPins pins;
};

QJsonObject with(QJsonObject request, const QJsonObject& changes, const QStringList& removed = {}) {
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        request.insert(it.key(), it.value());
    }
    for (const QString& key : removed) {
        request.remove(key);
    }
    return request;
}

}  // namespace

TEST_F(Sam3Tasks, PublishDraftsThatExportLikeOtherResults) {
    for (const QJsonObject& request : {textRequest(), trackerRequest()}) {
        const std::uint64_t id = startTask(request);
        ASSERT_NE(id, 0u) << lastTaskError();
        const QJsonObject status = waitForTask(id);
        ASSERT_EQ(text(status, "state"), "completed") << text(status, "error");
        const QJsonObject result = taken(TarnivaleAI_GetTaskResultUtf8(id));
        EXPECT_EQ(field(result, "task"), request.value("task"));
        EXPECT_TRUE(field(result, "reviewRequired").toBool());
        EXPECT_EQ(text(result, "resultState"), "draft");
        EXPECT_GE(field(result, "instances").toInt(), 1);
        EXPECT_EQ(field(result, "polygons"), field(result, "instances"));
        EXPECT_EQ(field(result, "width").toInt(), 96);
        EXPECT_EQ(field(result, "geoTransform").toArray().size(), 6);
        EXPECT_EQ(text(result, "provider"), "CPU");
        EXPECT_EQ(text(result, "provenance.task"), request.value("task").toString().toStdString());
        EXPECT_TRUE(field(result, "provenance.review_required").toBool());
        EXPECT_TRUE(text(result, "rasterPath").find("/result/instances.tif") != std::string::npos);
        const QString exported = path(request.value("task").toString() + ".shp");
        taken(TarnivaleAI_ExportTaskResultUtf8(
            id,
            QJsonDocument(QJsonObject{{"format", "shapefile"}, {"path", exported}}).toJson().constData()));
        EXPECT_TRUE(QFileInfo::exists(exported)) << lastTaskError();
        EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    }
    // The tracker's click on the green half selects the green half.
    const std::uint64_t id = startTask(trackerRequest());
    waitForTask(id);
    const std::vector<double> labels =
        readTestBand(QString::fromStdString(text(taken(TarnivaleAI_GetTaskResultUtf8(id)), "rasterPath")), 1);
    EXPECT_EQ(labels[20 * 96 + 70], 1.0);
    EXPECT_EQ(labels[20 * 96 + 10], 0.0);
    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(Sam3Tasks, RefuseAtStartAndInTheWorker) {
    const QJsonArray sixtyThree =
        QJsonArray::fromVariantList(QVariantList(63, QVariantMap{{"x", 70}, {"y", 30}}));
    const std::vector<std::pair<QJsonObject, const char*>> atStart{
        {with(textRequest(), {}, {"text"}),
         "SAM3 text requires a nonempty text prompt (up to 4096 characters)."},
        {with(textRequest(), {{"text", " \t"}}),
         "SAM3 text requires a nonempty text prompt (up to 4096 characters)."},
        {with(textRequest(), {{"text", QString(4097, u'a')}}),
         "SAM3 text requires a nonempty text prompt (up to 4096 characters)."},
        {with(textRequest(), {{"points", QJsonArray{}}}),
         "Text mode uses window for a raster ROI; point/box prompts require sam3-tracker."},
        {with(textRequest(), {{"scoreThreshold", "0.5"}}), "Invalid SAM3 score threshold."},
        {with(textRequest(), {{"scoreThreshold", 1.5}}), "Invalid SAM3 score threshold."},
        {with(trackerRequest(), {{"coordinateSpace", "crs"}}),
         "SAM3 coordinateSpace must be pixel or source-crs."},
        {with(trackerRequest(), {{"scoreThreshold", 0.5}}),
         "Tracker mask selection uses model quality scores, not text scoreThreshold."},
        {with(trackerRequest(), {{"points", QJsonObject{}}}), "SAM3 points must be an array."},
        {with(trackerRequest(), {{"points", QJsonArray{1}}}), "SAM3 point must be an object."},
        {with(trackerRequest(), {{"points", QJsonArray{QJsonObject{{"x", "1"}, {"y", 2}}}}}),
         "Invalid SAM3 point."},
        {with(trackerRequest(), {{"points", QJsonArray{QJsonObject{{"x", 1}, {"y", 2}, {"positive", 1}}}}}),
         "Invalid SAM3 point."},
        {with(trackerRequest(), {{"box", QJsonArray{1, 2, 3}}}),
         "SAM3 box must be [minimumX,minimumY,maximumX,maximumY]."},
        {with(trackerRequest(), {{"box", QJsonArray{1, 2, "3", 4}}}), "Invalid SAM3 box coordinate."},
        {with(trackerRequest(), {{"box", QJsonArray{3, 0, 1, 4}}}),
         "SAM3 box must have positive width and height."},
        {with(trackerRequest(), {{"points", sixtyThree}, {"box", QJsonArray{0, 0, 4, 4}}}),
         "SAM3 accepts at most 64 prompt tokens."},
        {with(trackerRequest(),
              {{"points", QJsonArray{QJsonObject{{"x", 1}, {"y", 2}, {"positive", false}}}}}),
         "SAM3 tracker requires a positive point or a box; negative-only prompts are ambiguous."},
        {with(trackerRequest(), {}, {"points"}),
         "SAM3 tracker requires a positive point or a box; negative-only prompts are ambiguous."},
    };
    for (const auto& [request, message] : atStart) {
        EXPECT_EQ(startTask(request), 0u) << message;
        EXPECT_EQ(lastTaskError(), message);
    }
    // 64 points and no box, and a negative point with a box, are accepted.
    QJsonArray sixtyFour = sixtyThree;
    sixtyFour.append(sixtyThree.at(0));
    for (const QJsonObject& accepted :
         {with(trackerRequest(), {{"points", sixtyFour}}),
          with(trackerRequest(),
               {{"points", QJsonArray{QJsonObject{{"x", 1}, {"y", 2}, {"positive", false}}}},
                {"box", QJsonArray{48, 0, 96, 64}}})}) {
        EXPECT_EQ(text(finish(accepted), "state"), "completed");
    }

    QDir().mkpath(path("empty-bundle"));
    QDir().mkpath(path("big"));
    writeBytes(path("big/sam3-package.json"), QByteArray(1048577, ' '));
    writeBytes(
        path("tall.vrt"),
        R"(<VRTDataset rasterXSize="4096" rasterYSize="4097"><VRTRasterBand dataType="Byte" band="1"/></VRTDataset>)");
    const std::vector<std::pair<QJsonObject, const char*>> inWorker{
        {with(trackerRequest(), {{"modelPackagePath", textBundle.root()}}),
         "SAM3 bundle profile does not match the requested task."},
        {with(textRequest(), {{"modelPackagePath", path("empty-bundle")}}),
         "Cannot open SAM3 bundle manifest."},
        {with(textRequest(), {{"modelPackagePath", path("big")}}), "Cannot open SAM3 bundle manifest."},
        {with(textRequest(), {{"rasterPath", path("missing.tif")}}), "Cannot open SAM3 source raster."},
        {with(textRequest(), {{"rasterPath", path("tall.vrt")}}),
         "SAM3 source exceeds the 16-million-pixel task budget."},
        {with(textRequest(), {{"bands", QJsonArray{1, 2}}}), "SAM3 requires three RGB band indices."},
        {with(textRequest(), {{"bands", QJsonArray{1, 2, 9}}}), "Invalid SAM3 RGB band index."},
        {with(textRequest(), {{"minimums", QJsonArray{0, 0, 0}}}),
         "SAM3 display ranges require three minimums and maximums."},
        {with(textRequest(), {{"minimums", QJsonArray{0, 0, 0}}, {"maximums", QJsonArray{1, 0, 1}}}),
         "Invalid SAM3 RGB display range."},
        {with(textRequest(), {{"window", 5}}), "SAM3 window must be a pixel window object."},
        {with(textRequest(), {{"window", QJsonObject{{"x", 0.5}, {"y", 0}, {"width", 8}, {"height", 8}}}}),
         "SAM3 window fields must be integers."},
        {with(textRequest(), {{"window", QJsonObject{{"x", 90}, {"y", 0}, {"width", 8}, {"height", 8}}}}),
         "SAM3 window lies outside the raster."},
        {with(textRequest(), {{"provider", "tpu"}}), "Unsupported task provider."},
    };
    for (const auto& [request, message] : inWorker) {
        const QJsonObject status = finish(request);
        EXPECT_EQ(text(status, "state"), "failed") << message;
        EXPECT_EQ(text(status, "error"), message);
    }
    // 4 096 x 4 096 is within the budget: it gets past the check to the bundle.
    writeBytes(
        path("square.vrt"),
        R"(<VRTDataset rasterXSize="4096" rasterYSize="4096"><VRTRasterBand dataType="Byte" band="1"/></VRTDataset>)");
    EXPECT_EQ(text(finish(with(trackerRequest(), {{"rasterPath", path("square.vrt")},
                                                  {"modelPackagePath", textBundle.root()}})),
                   "error"),
              "SAM3 bundle profile does not match the requested task.");
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(Sam3Tasks, ASecondSam3TaskWaitsAndOtherKindsDoNot) {
    std::promise<void> open;
    g_gate = open.get_future().share();
    g_locked = 0;
    Tasks::sam3TaskLockedHook = [] {
        if (++g_locked == 1) {
            g_gate.wait();  // the first SAM3 task holds the lock until the test opens the gate
        }
    };
    const std::uint64_t first = startTask(textRequest());
    waitForTask(first, [](const QJsonObject&) { return g_locked > 0; });
    ASSERT_EQ(g_locked, 1);
    const std::uint64_t second = startTask(trackerRequest());
    const QJsonObject waiting = waitForTask(second, [](const QJsonObject& status) {
        return status.value("message") == QJsonValue("Waiting for the active SAM3 task");
    });
    EXPECT_EQ(text(waiting, "state"), "running");
    EXPECT_EQ(text(waiting, "message"), "Waiting for the active SAM3 task");
    // A Dynamic World task runs to the end meanwhile.
    const QJsonObject landCover = finish(scene("scene", 32, 32, [](int, int) { return 1; }));
    EXPECT_EQ(text(landCover, "state"), "completed");
    EXPECT_EQ(text(taskStatus(second), "message"), "Waiting for the active SAM3 task");
    open.set_value();
    EXPECT_EQ(text(waitForTask(first), "state"), "completed");
    EXPECT_EQ(text(waitForTask(second), "state"), "completed");
    EXPECT_EQ(g_locked, 2);
    EXPECT_EQ(TarnivaleAI_ReleaseTask(first), 1);
    EXPECT_EQ(TarnivaleAI_ReleaseTask(second), 1);
}
