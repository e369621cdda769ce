#pragma once

// Shared by the task tests: the UTF-8 task functions, JSON values by path, a generated Dynamic World package
// and scenes, a private temporary location in which leftover workspaces show, and a gate at polygonisation.

#include <tarnivale/ai/interop.h>

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <functional>
#include <string>

namespace Tarnivale::AI::Testing {

/// The value at a dotted path of object keys and array indices ("provenance.model.id", "inputs.0.name").
inline QJsonValue field(const QJsonValue& json, const char* path) {
    QJsonValue value = json;
    for (const QString& key : QString::fromLatin1(path).split(u'.')) {
        bool isIndex = false;
        const int index = key.toInt(&isIndex);
        value = isIndex ? value.toArray().at(index) : value.toObject().value(key);
    }
    return value;
}
inline std::string text(const QJsonValue& json, const char* path) {
    return field(json, path).toString().toStdString();
}

/// A returned task string read as JSON (empty when null), freed.
inline QJsonObject taken(char* text) {
    const QJsonObject json = text ? QJsonDocument::fromJson(text).object() : QJsonObject();
    TarnivaleAI_FreeTaskString(text);
    return json;
}
inline QJsonObject taskStatus(std::uint64_t taskId) {
    return taken(TarnivaleAI_GetTaskStatusUtf8(taskId));
}
inline std::string lastTaskError() {
    char* error = TarnivaleAI_GetLastTaskErrorUtf8();
    const std::string message = error;
    TarnivaleAI_FreeTaskString(error);
    return message;
}
inline std::uint64_t startTask(const QJsonObject& request) {
    return TarnivaleAI_StartTaskUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact).constData());
}
/// Polls until `until` holds for a status or the state is terminal; returns that status.
QJsonObject waitForTask(std::uint64_t taskId, const std::function<bool(const QJsonObject&)>& until = {});

/// A gate where polygonisation starts (the task tests replace GDALPolygonize by a pass-through that waits
/// there first), so that tests act on a running task whatever its speed. Workers stay until it opens (Off);
/// with UntilInterrupted they also leave, failing, once their task's checkpoint (the polygon writer's
/// progress function) reports a cancellation, a release or the deadline.
enum class Hold { Off, UntilOpened, UntilInterrupted };
void holdPolygonisation(Hold hold);
/// Waits until a worker is held (true) or the task has ended.
bool waitUntilHeld(std::uint64_t taskId);

/// Points the system temporary location at a private directory for the test.
class TaskTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    QString path(const QString& name) const { return files.filePath(name); }
    QStringList leftovers() const;
    /// A package around a generated model (dynamic_world.onnx by default) with the nine Dynamic World class
    /// names as its labels.
    QString writePackage(const QString& name, const QString& id = "google-dynamicworld",
                         const QString& model = "dynamic_world.onnx");
    /// `name`.tif, `bands` Float32 bands where band classOf(x, y) + 1 holds 1 (the model's class), and its
    /// mask (1 where valid, all by default); returns their dynamic-world request with the default package.
    QJsonObject scene(const QString& name, int width, int height, const std::function<int(int, int)>& classOf,
                      const std::function<bool(int, int)>& valid = {}, int bands = 9);
    /// Starts the request, waits for its end, releases it and returns its final status.
    QJsonObject finish(const QJsonObject& request);

    QTemporaryDir files;
    QString package;
    QString temporary;
    QByteArray previousTmpDir;
};

}  // namespace Tarnivale::AI::Testing
