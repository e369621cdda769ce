#pragma once

// The task operations behind the flat task functions: start, status, result, cancel, release and export.
// They throw with the texts the host sees; the flat frames turn that into a failure value and an error slot.

#include <QByteArray>
#include <QJsonObject>

#include <cstdint>

namespace Tarnivale::AI::Tasks {

/// Checks the request's envelope and the kind's own start checks in order, registers the task and starts
/// its thread; returns its identifier.
std::uint64_t startTask(const char* taskJson);
/// The same checks as start, then the kind's estimate document with "task": what the run will cost, without
/// running it. A kind without an estimate fails with "AI task kind has no estimate: <kind>".
QJsonObject estimateTask(const char* taskJson);
/// The status document.
QJsonObject taskStatus(std::uint64_t taskId);
/// The completed task's result document as compact JSON.
QByteArray taskResultJson(std::uint64_t taskId);
void cancelTask(std::uint64_t taskId);
/// Removes the identifier; waits for the worker and deletes the workspace when no other call holds the task.
void releaseTask(std::uint64_t taskId);
/// Copies the task's raster (GeoTIFF) or polygons (Shapefile) to the requested destination; never replaces
/// anything there.
QJsonObject exportTaskResult(std::uint64_t taskId, const char* exportJson);

}  // namespace Tarnivale::AI::Tasks
