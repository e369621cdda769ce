#pragma once

// What the two building kinds share after inference: the polygon writer's target ("buildings.gpkg", layer
// "building_predictions", 64-bit "instance_id", the building messages and the "Creating polygons" stage) and
// the label raster of a result on the source grid.

#include "raster/label_polygons.h"
#include "tasks/task_context.h"

namespace Tarnivale::AI::Tasks {

/// Writes every positive label of the raster to the task's "buildings.gpkg"; returns its path and the
/// polygon count.
struct BuildingPolygons {
    QString path;
    qint64 polygons = 0;
};
BuildingPolygons writeBuildingPolygons(const LabelRaster& labels, TaskContext& task);

}  // namespace Tarnivale::AI::Tasks
