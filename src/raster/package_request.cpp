#include "raster/package_request.h"

namespace Tarnivale::AI {

QString validatedModelSha256(const AiModelPackage& package) {
    const QString recorded = package.manifest().modelSha256;
    return recorded.isEmpty() ? package.modelSha256() : recorded.toLower();
}

AiRasterInferenceRequest packageInferenceRequest(const AiModelPackage& package, const QString& rasterPath,
                                                 AiRasterOutputMode outputMode) {
    const AiModelManifest& manifest = package.manifest();
    AiRasterInferenceRequest request;
    request.modelPath = package.modelPath();
    request.modelSha256 = validatedModelSha256(package);
    request.modelId = manifest.id;
    request.modelVersion = manifest.version;
    request.modelRevision = manifest.provenance.revision;
    request.rasterPath = rasterPath;
    request.inputName = manifest.inputs.front().name;
    request.outputName = manifest.outputs.front().name;
    if (!manifest.inputAdapters.isEmpty()) {
        request.bands = manifest.inputAdapters.front().bands;
    }
    request.tiling = manifest.tiling;
    request.normalization = manifest.normalization;
    if (!manifest.outputDecoders.isEmpty()) {
        request.outputDecoder = manifest.outputDecoders.front();
    }
    request.outputMode = outputMode;
    return request;
}

}  // namespace Tarnivale::AI
