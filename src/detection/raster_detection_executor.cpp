#include <tarnivale/ai/detection.h>

#include "detection/detection_heads.h"
#include "detection/detection_input.h"
#include "detection/detection_run.h"
#include "runtime/errors.h"
#include "runtime/gdal_handles.h"

namespace Tarnivale::AI {

AiRasterObjectDetectionResult AiRasterObjectDetectionExecutor::run(
    const AiRasterObjectDetectionRequest& request, const AiRasterObjectDetectionProgressCallback& progress) {
    const auto report = [&progress](std::int32_t percent, const char* message) {
        if (progress) {
            progress({percent, QString::fromLatin1(message)});
        }
    };
    checkDetectionRequest(request);
    report(5, "Opening model package...");
    DetectionPackage package = openDetectionPackage(request);
    AiRasterObjectDetectionResult result;
    if (detectionCancelled(request)) {
        result.cancelled = true;
        return result;
    }
    const Gdal::Dataset dataset = openDetectionRaster(request.rasterPath, result);
    const DetectionModelInput input = detectionModelInput(package.manifest);
    const bool resample = input.resamples();
    if (!resample && (result.rasterWidth != input.width || result.rasterHeight != input.height)) {
        throwInvalidArgument(QStringLiteral(
            "Resize mode 'none' requires raster dimensions to match the model input dimensions."));
    }
    report(20, "Preparing raster tensor...");
    DetectionTensorReader reader(dataset.get(), input, package.manifest.normalization);
    const QList<AiTensor>& tensors =
        reader.read(0, 0, result.rasterWidth, result.rasterHeight, input.width, input.height);
    if (detectionCancelled(request)) {
        result.cancelled = true;
        return result;
    }
    report(55, "Running object detection...");
    const AiSession session(package.modelPath, request.sessionOptions);
    const AiInferenceResult outputs = session.run(tensors);
    setImageSize(package.manifest, input.width, input.height);
    result.detection = AiObjectDetectionExecutor::decode(package.manifest, outputs);

    const double scaleX = resample ? static_cast<double>(result.rasterWidth) / input.width : 1.0;
    const double scaleY = resample ? static_cast<double>(result.rasterHeight) / input.height : 1.0;
    for (AiDetection& detection : result.detection.detections) {
        detection.xMin *= scaleX;
        detection.xMax *= scaleX;
        detection.yMin *= scaleY;
        detection.yMax *= scaleY;
    }
    finishDetectionResult(result);
    report(100, "Object detection complete.");
    return result;
}

}  // namespace Tarnivale::AI
