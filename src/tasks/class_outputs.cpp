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

LabelRaster labelRasterOf(const AiRasterInferenceResult& result) {
    return LabelRaster{reinterpret_cast<const std::int32_t*>(result.data.constData()), result.width,
                       result.height, result.geoTransform, result.projectionWkt};
}

}  // namespace Tarnivale::AI::Tasks
