#include "tasks/task_fixture.h"

#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/models.h>

#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QThread>

namespace Tarnivale::AI::Testing {

TaskString::~TaskString() {
    TarnivaleAI_FreeTaskString(m_text);
}

QJsonObject TaskString::json() const {
    return QJsonDocument::fromJson(bytes()).object();
}

QString lastTaskError() {
    return QString::fromUtf8(TaskString(TarnivaleAI_GetLastTaskErrorUtf8()).bytes());
}

std::uint64_t startTask(const QJsonObject& request) {
    return TarnivaleAI_StartTaskUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact).constData());
}

QJsonObject taskStatus(std::uint64_t taskId) {
    return TaskString(TarnivaleAI_GetTaskStatusUtf8(taskId)).json();
}

QJsonObject taskResult(std::uint64_t taskId) {
    return TaskString(TarnivaleAI_GetTaskResultUtf8(taskId)).json();
}

QJsonObject waitForStatus(std::uint64_t taskId, const std::function<bool(const QJsonObject&)>& predicate) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const QJsonObject status = taskStatus(taskId);
        const QString state = status.value(QStringLiteral("state")).toString();
        if (predicate(status) || state == QLatin1String("completed") || state == QLatin1String("failed") ||
            state == QLatin1String("cancelled") || status.isEmpty() || clock.elapsed() > 120000) {
            return status;
        }
        QThread::usleep(500);
    }
}

QJsonObject waitForTask(std::uint64_t taskId, const std::function<void(const QJsonObject&)>& observer) {
    return waitForStatus(taskId, [&](const QJsonObject& status) {
        if (observer) {
            observer(status);
        }
        return false;
    });
}

QString writeDynamicWorldPackage(const QString& directory, const QString& modelFile, const QString& id,
                                 int tileSize, const QString& inputName, const QString& outputName) {
    QDir().mkpath(directory);
    AiModelManifest manifest;
    manifest.id = id;
    manifest.version = QStringLiteral("1.0");
    manifest.task = AiTaskKind::SemanticSegmentation;
    manifest.modelPath = testModelPath(modelFile);
    manifest.inputs = {
        AiTensorSpec{inputName, AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 9, -1, -1}}};
    manifest.outputs = {
        AiTensorSpec{outputName, AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 9, -1, -1}}};
    AiInputAdapterSpec adapter;
    adapter.tensor = inputName;
    adapter.bands = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    manifest.inputAdapters = {adapter};
    AiOutputDecoderSpec decoder;
    decoder.id = QStringLiteral("classes");
    decoder.tensor = outputName;
    decoder.activation = QStringLiteral("softmax");
    manifest.outputDecoders = {decoder};
    manifest.tiling = AiTileOptions{tileSize, tileSize, tileSize / 8, tileSize / 8};
    manifest.provenance.revision = QStringLiteral("test");
    AiModelPackage::create(directory, manifest, true);
    return directory;
}

void writeNineBandRaster(const QString& path, int width, int height,
                         const std::function<int(int x, int y)>& classOf, int bands) {
    TestRasterSpec spec;
    spec.width = width;
    spec.height = height;
    spec.bands = bands;
    spec.value = [classOf](int band, int x, int y) { return classOf(x, y) + 1 == band ? 1.0 : 0.0; };
    writeTestRaster(path, spec);
}

void writeValidityMask(const QString& path, int width, int height,
                       const std::function<bool(int x, int y)>& valid, double originShiftX, int epsg,
                       bool georeferenced) {
    TestRasterSpec spec;
    spec.width = width;
    spec.height = height;
    spec.dataType = GDT_Byte;
    spec.epsg = epsg;
    if (georeferenced) {
        (*spec.geoTransform)[0] += originShiftX;
    } else {
        spec.geoTransform.reset();
    }
    spec.value = [valid](int, int x, int y) { return valid(x, y) ? 1.0 : 0.0; };
    writeTestRaster(path, spec);
}

void TaskTest::SetUp() {
    ASSERT_TRUE(files.isValid());
    temporary = files.filePath(QStringLiteral("tmp"));
    ASSERT_TRUE(QDir().mkpath(temporary));
    m_previousTmpDir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(temporary));
    package = writeDynamicWorldPackage(files.filePath(QStringLiteral("package")));
}

void TaskTest::TearDown() {
    if (m_previousTmpDir.isEmpty()) {
        qunsetenv("TMPDIR");
    } else {
        qputenv("TMPDIR", m_previousTmpDir);
    }
}

QStringList TaskTest::leftovers() const {
    return QDir(temporary).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

QString TaskTest::path(const QString& name) const {
    return files.filePath(name);
}

QJsonObject TaskTest::dynamicWorldRequest(const QString& raster, const QString& mask) const {
    return QJsonObject{{QStringLiteral("task"), QStringLiteral("dynamic-world")},
                       {QStringLiteral("modelPackagePath"), package},
                       {QStringLiteral("rasterPath"), raster},
                       {QStringLiteral("validityMaskPath"), mask},
                       {QStringLiteral("intraOpThreads"), 1}};
}

}  // namespace Tarnivale::AI::Testing
