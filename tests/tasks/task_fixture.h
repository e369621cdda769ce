#pragma once

// Shared by the task tests: calls through the UTF-8 task functions, a generated Dynamic World package, nine-
// band rasters and validity masks, and a private temporary location so leftover workspaces can be seen.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <functional>

namespace Tarnivale::AI::Testing {

/// A task string returned by the library, released on destruction.
class TaskString {
public:
    explicit TaskString(char* text) : m_text(text) {}
    ~TaskString();
    TaskString(const TaskString&) = delete;
    TaskString& operator=(const TaskString&) = delete;
    bool isNull() const { return m_text == nullptr; }
    QByteArray bytes() const { return m_text ? QByteArray(m_text) : QByteArray(); }
    QJsonObject json() const;

private:
    char* m_text;
};

QString lastTaskError();
std::uint64_t startTask(const QJsonObject& request);
QJsonObject taskStatus(std::uint64_t taskId);
QJsonObject taskResult(std::uint64_t taskId);
/// Polls until the state is terminal ("completed", "failed", "cancelled"); returns the last status. Each
/// status seen is given to the observer first.
QJsonObject waitForTask(std::uint64_t taskId, const std::function<void(const QJsonObject&)>& observer = {});
/// Polls until the predicate holds for a status (or the task ends); returns that status.
QJsonObject waitForStatus(std::uint64_t taskId, const std::function<bool(const QJsonObject&)>& predicate);

/// Writes a package around a generated model: id "google-dynamicworld" unless given, input "image" with the
/// nine bands, output "scores", first decoder "classes".
QString writeDynamicWorldPackage(const QString& directory, const QString& modelFile = "dynamic_world.onnx",
                                 const QString& id = "google-dynamicworld", int tileSize = 64,
                                 const QString& inputName = "image", const QString& outputName = "scores");

/// Nine Float32 bands where band classOf(x, y) + 1 holds 1 and the others 0 (the test model's class).
void writeNineBandRaster(const QString& path, int width, int height,
                         const std::function<int(int x, int y)>& classOf, int bands = 9);
/// A Byte mask: 1 where valid, 0 elsewhere; the grid and CRS of the nine-band rasters unless changed.
void writeValidityMask(const QString& path, int width, int height,
                       const std::function<bool(int x, int y)>& valid, double originShiftX = 0.0,
                       int epsg = 32633, bool georeferenced = true);

/// Points the system temporary location at a private directory for the test, so that task workspaces can
/// be counted, and restores it afterwards.
class TaskTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    /// Entries left in the private temporary location.
    QStringList leftovers() const;
    QString path(const QString& name) const;
    /// A dynamic-world request for the given raster and mask, with the default package.
    QJsonObject dynamicWorldRequest(const QString& raster, const QString& mask) const;

    QTemporaryDir files;
    QString package;
    QString temporary;

private:
    QByteArray m_previousTmpDir;
};

}  // namespace Tarnivale::AI::Testing
