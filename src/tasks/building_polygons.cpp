#include "tasks/building_polygons.h"

namespace Tarnivale::AI::Tasks {

BuildingPolygons writeBuildingPolygons(const LabelRaster& labels, TaskContext& task) {
    LabelPolygonTarget target;
    target.path = task.workspaceFile(QStringLiteral("buildings.gpkg"));
    target.layerName = QStringLiteral("building_predictions");
    target.fieldName = QStringLiteral("instance_id");
    target.wideField = true;
    target.selection = LabelSelection::EveryPositive;
    LabelPolygonMessages& messages = target.messages;
    messages.buffers = QStringLiteral("Cannot allocate building polygonization buffers.");
    messages.transform = QStringLiteral("Cannot set building grid transform.");
    messages.row = QStringLiteral("Cannot prepare building polygonization row.");
    messages.crs = QStringLiteral("Invalid building output CRS.");
    messages.output = QStringLiteral("Cannot create building polygon output.");
    messages.layer = QStringLiteral("Cannot create building polygon layer.");
    messages.field = QStringLiteral("Cannot create building instance ID field.");
    messages.polygonize = QStringLiteral("Building polygonization failed.");
    messages.budget = QStringLiteral("Building polygon count exceeds the task budget.");
    target.beforePolygonizing = [&task] { task.reportStage(90, QStringLiteral("Creating polygons")); };
    const qint64 polygons = writeLabelPolygons(labels, target, task.checkpointFunction());
    task.checkpoint();
    return {target.path, polygons};
}

}  // namespace Tarnivale::AI::Tasks
