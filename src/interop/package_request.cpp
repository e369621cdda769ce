#include "interop/package_request.h"

namespace Tarnivale::AI::Interop {

AiRasterInferenceRequest packageInferenceRequest(const AiModelPackage& package, const QString& rasterPath,
                                                 AiRasterOutputMode outputMode) {
    const AiModelManifest& manifest = package.manifest();
    AiRasterInferenceRequest request;
    request.modelPath = package.modelPath();
    request.modelSha256 = package.modelSha256();
    request.modelId = manifest.id;
    request.modelVersion = manifest.version;
    request.modelRevision = manifest.provenance.revision;
    request.rasterPath = rasterPath;
    request.inputName = manifest.inputs.front().name;
    request.outputName = manifest.outputs.front().name;
    request.bands = manifest.inputAdapters.front().bands;
    request.tiling = manifest.tiling;
    request.normalization = manifest.normalization;
    request.outputDecoder = manifest.outputDecoders.front();
    request.outputMode = outputMode;
    return request;
}

}  // namespace Tarnivale::AI::Interop
