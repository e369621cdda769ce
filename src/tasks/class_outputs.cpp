#include "tasks/class_outputs.h"

#include <exception>
#include <future>

namespace Tarnivale::AI::Tasks {

QList<qint64> writeClassRasterAndPreview(const AiRasterInferenceResult& result, const QString& classesPath,
                                         const QString& previewPath, const QList<ClassColor>& colors,
                                         const TaskContext& task) {
    std::future<void> classesWritten = std::async(std::launch::async, [&result, &classesPath] {
        AiRasterInferenceExecutor::writeGeoTiff(result, classesPath);
    });
    QList<qint64> classPixels;
    std::exception_ptr previewFailure;
    try {
        classPixels = writeClassPreview(result, previewPath, colors, task.checkpointFunction());
    } catch (...) {
        previewFailure = std::current_exception();
    }
    classesWritten.get();
    if (previewFailure) {
        std::rethrow_exception(previewFailure);
    }
    return classPixels;
}

LabelPolygonTarget oneClassPolygonTarget(const QString& path, const QString& layerName, std::int32_t label,
                                         const QString& className, const QString& subject,
                                         TaskContext& task) {
    LabelPolygonTarget target;
    target.path = path;
    target.layerName = layerName;
    target.fieldName = QStringLiteral("class_id");
    target.selection = LabelSelection::One;
    target.selectedLabel = label;
    target.className = className;
    target.messages.crs = QStringLiteral("%1 classification raster has no CRS.").arg(subject);
    target.messages.polygonize = QStringLiteral("%1 polygonization failed.").arg(subject);
    target.messages.budget = QStringLiteral("%1 polygon count exceeds the task budget.").arg(subject);
    target.beforePolygonizing = [&task,
                                 stage = QStringLiteral("Creating %1 polygons").arg(subject.toLower())] {
        task.reportStage(90, stage);
    };
    return target;
}

LabelRaster labelRasterOf(const AiRasterInferenceResult& result) {
    return LabelRaster{reinterpret_cast<const std::int32_t*>(result.data.constData()), result.width,
                       result.height, result.geoTransform, result.projectionWkt};
}

}  // namespace Tarnivale::AI::Tasks
