// The task functions: the input is the task request (TarnivaleAI_EstimateTaskUtf8, then
// TarnivaleAI_StartTaskUtf8), then optionally a line "---" and either an export request
// (TarnivaleAI_ExportTaskResultUtf8 once the task has completed) or the word "cancel" (TarnivaleAI_CancelTask
// right after the start). The harness waits for the task to end, reads its status and result, and releases
// it; nothing may be left in the temporary location afterwards.
// "@PACKAGE@" is a Dynamic World package (the generated nine-class model), "@RASTER@" a 16 x 12 nine-band
// scene and "@MASK@" its validity mask, "@RGB@" a 48 x 32 RGB scene, "@SAM3_TEXT@" and "@SAM3_TRACKER@" the
// generated SAM3 bundles (their tokenizer pins set to these copies), "@OUT@" the output directory: an
// export's "path" must stay inside it.

#include "fuzz/fuzz_support.h"

#include <tarnivale/ai/models.h>

#include "runtime/sha256.h"
#include "sam3/sam3_tokenizer.h"
#include "support/raster_fixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QThread>

#include <cstdlib>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Fuzzing;

namespace {

constexpr qint64 LongestTaskMilliseconds = 60000;

QString g_temporary;  // the system temporary location while fuzzing: task workspaces appear here

QString taskError() {
    char* text = TarnivaleAI_GetLastTaskErrorUtf8();
    if (text == nullptr) {
        fail("TarnivaleAI_GetLastTaskErrorUtf8 returned null");
    }
    const QString error = QString::fromUtf8(text);
    TarnivaleAI_FreeTaskString(text);
    return error;
}

// A task string as a JSON object: null needs a task error, anything else must be an object.
std::optional<QJsonObject> checked(char* text, const char* function) {
    const QString error = taskError();
    if (text == nullptr) {
        if (error.isEmpty()) {
            fail(std::string(function) + " returned null with an empty task error");
        }
        return std::nullopt;
    }
    const QByteArray bytes(text);
    TarnivaleAI_FreeTaskString(text);
    if (!error.isEmpty()) {
        fail(std::string(function) + " succeeded with a task error: " + error.toStdString());
    }
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isObject()) {
        fail(std::string(function) +
             " returned something other than a JSON object: " + bytes.left(300).toStdString());
    }
    return document.object();
}

QJsonObject statusOf(std::uint64_t id) {
    const std::optional<QJsonObject> status = checked(TarnivaleAI_GetTaskStatusUtf8(id), "GetTaskStatus");
    if (!status) {
        fail("no status for a live task: " + taskError().toStdString());
    }
    static const QStringList states = {"queued", "running", "cancelling", "completed", "failed", "cancelled"};
    const QString state = status->value(QStringLiteral("state")).toString();
    const int percent = status->value(QStringLiteral("percent")).toInt(-1);
    if (!states.contains(state) || percent < 0 || percent > 100) {
        fail("a malformed task status: " +
             QJsonDocument(*status).toJson(QJsonDocument::Compact).toStdString());
    }
    return *status;
}

bool terminal(const QString& state) {
    return state == QLatin1String("completed") || state == QLatin1String("failed") ||
           state == QLatin1String("cancelled");
}

QByteArray terminated(const QByteArray& text) {
    return QByteArray(text.constData(), text.size());  // a deep copy, NUL-terminated
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    initialise("task", argc, argv);
    refuseUrls();
    const QString raster = fixturePath(QStringLiteral("scene.tif"));
    Testing::TestRasterSpec scene{.width = 16, .height = 12, .bands = 9};
    scene.value = [](int band, int x, int y) { return (x / 4 + y / 4) % 9 + 1 == band ? 1.0 : 0.0; };
    Testing::writeTestRaster(raster, scene);
    const QString mask = fixturePath(QStringLiteral("mask.tif"));
    Testing::TestRasterSpec valid{.width = 16, .height = 12, .dataType = GDT_Byte};
    valid.value = [](int, int x, int y) { return x + y < 20 ? 1.0 : 0.0; };
    Testing::writeTestRaster(mask, valid);
    const QString rgb = fixturePath(QStringLiteral("rgb.tif"));
    Testing::TestRasterSpec colours{.width = 48, .height = 32, .bands = 3, .dataType = GDT_Byte};
    colours.colorInterpretations = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand};
    colours.value = [](int band, int x, int) {
        return (band == 1 && x < 24) || (band == 2 && x >= 24) ? 255 : 0;
    };
    Testing::writeTestRaster(rgb, colours);

    AiModelManifest manifest = AiModelManifestLoader::fromJson(R"({"version": "1.0",
        "task": "semantic_segmentation", "provenance": {"revision": "test"},
        "inputs": [{"name": "image", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
        "outputs": [{"name": "scores", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
        "inputAdapters": [{"tensor": "image", "bands": [1, 2, 3, 4, 5, 6, 7, 8, 9]}],
        "outputDecoders": [{"id": "classes", "tensor": "scores", "activation": "softmax"}],
        "tiling": {"width": 8, "height": 8, "overlapX": 2, "overlapY": 2}, "labels": ["water", "trees",
        "grass", "flooded_vegetation", "crops", "shrub_and_scrub", "built", "bare", "snow_and_ice"]})");
    manifest.id = "google-dynamicworld";
    manifest.modelPath = testModel(QStringLiteral("dynamic_world.onnx"));
    const QString package =
        AiModelPackage::create(fixturePath(QStringLiteral("dynamic-world")), manifest, true).directoryPath();

    const QString text = copyTestModel(QStringLiteral("sam3-text"), QStringLiteral("sam3-text"));
    const QString tracker = copyTestModel(QStringLiteral("sam3-tracker"), QStringLiteral("sam3-tracker"));
    Sam3::taskTokenizerPins() = {sha256File(text + QStringLiteral("/processor/tokenizer.json")).hex,
                                 sha256File(text + QStringLiteral("/processor/processor_config.json")).hex};

    // Workspaces go to a private temporary location, so that a leftover shows (set before any thread starts).
    g_temporary = fixturePath(QStringLiteral("tmp"));
    QDir().mkpath(g_temporary);
    ::setenv("TMPDIR", QFile::encodeName(g_temporary).constData(), 1);

    definePlaceholder("@PACKAGE@", package);
    definePlaceholder("@RASTER@", raster);
    definePlaceholder("@MASK@", mask);
    definePlaceholder("@RGB@", rgb);
    definePlaceholder("@SAM3_TEXT@", text);
    definePlaceholder("@SAM3_TRACKER@", tracker);
    runText(R"({"task": "dynamic-world", "modelPackagePath": "@PACKAGE@", "rasterPath": "@RASTER@",
        "validityMaskPath": "@MASK@", "intraOpThreads": 1})"
            "\n---\n"
            R"({"format": "geotiff", "path": "@OUT@/classes.tif"})");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const DocumentPair documents = splitDocuments(substituted(data, size));
    const QByteArray task = terminated(documents.first);
    const bool cancel = documents.second && documents.second->trimmed() == "cancel";
    const std::optional<QByteArray> exportRequest =
        documents.second && !cancel ? std::optional(terminated(*documents.second)) : std::nullopt;
    if (!safeDocument(task) || (exportRequest && !safeDocument(*exportRequest, {QStringLiteral("path")}))) {
        return Refused;
    }

    // An estimate answers with a document or an error, and writes nothing.
    checked(TarnivaleAI_EstimateTaskUtf8(task.constData()), "EstimateTask");
    const std::uint64_t id = TarnivaleAI_StartTaskUtf8(task.constData());
    const QString startError = taskError();
    if (id == 0) {
        if (startError.isEmpty()) {
            fail("a refused start left the task error empty");
        }
        note(QStringLiteral("start refused: ") + startError);
        return Ran;
    }
    if (!startError.isEmpty()) {
        fail("a started task left a task error: " + startError.toStdString());
    }
    if (cancel && TarnivaleAI_CancelTask(id) != 1 && taskError().isEmpty()) {
        fail("a refused cancellation left the task error empty");
    }

    QElapsedTimer clock;
    clock.start();
    QJsonObject status = statusOf(id);
    while (!terminal(status.value(QStringLiteral("state")).toString())) {
        if (clock.elapsed() > LongestTaskMilliseconds) {
            fail("the task did not end within a minute: " +
                 QJsonDocument(status).toJson(QJsonDocument::Compact).toStdString());
        }
        QThread::usleep(1000);
        status = statusOf(id);
    }

    note(QStringLiteral("ended: ") + QString::fromUtf8(QJsonDocument(status).toJson(QJsonDocument::Compact)));
    const bool completed = status.value(QStringLiteral("state")).toString() == QLatin1String("completed");
    const std::optional<QJsonObject> result = checked(TarnivaleAI_GetTaskResultUtf8(id), "GetTaskResult");
    if (result.has_value() != completed) {
        fail(completed ? "a completed task has no result" : "an unfinished task has a result");
    }
    if (exportRequest) {
        const std::optional<QJsonObject> exported =
            checked(TarnivaleAI_ExportTaskResultUtf8(id, exportRequest->constData()), "ExportTaskResult");
        note(exported ? QStringLiteral("exported") : QStringLiteral("export refused: ") + taskError());
        if (exported && !QFileInfo(exported->value(QStringLiteral("path")).toString()).isFile()) {
            fail("an export reported success without its file: " +
                 QJsonDocument(*exported).toJson(QJsonDocument::Compact).toStdString());
        }
    }

    if (TarnivaleAI_ReleaseTask(id) != 1) {
        fail("releasing an ended task failed: " + taskError().toStdString());
    }
    if (TarnivaleAI_GetTaskStatusUtf8(id) != nullptr || taskError().isEmpty()) {
        fail("a released task still has a status");
    }
    const QStringList left =
        QDir(g_temporary).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (!left.isEmpty()) {
        fail("a released task left files behind: " + left.join(QStringLiteral(", ")).toStdString());
    }
    clearOutputs();
    return Ran;
}
