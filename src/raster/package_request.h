#pragma once

// The raster executor's request for a model package, as the built-in tasks build it: the package's model
// and digest, identity, the first input, output, input adapter and decoder, its tiling and normalisation.
// The caller adds the session options and the interruption test.

#include <tarnivale/ai/models.h>
#include <tarnivale/ai/raster.h>

namespace Tarnivale::AI {

/// The model's digest for a package whose validationErrors() came back empty: validation has already hashed
/// the file and compared it with the manifest's digest, so that one is used; the file is hashed only when
/// the manifest records none. Large models are then read once, not twice.
QString validatedModelSha256(const AiModelPackage& package);

/// For a validated package whose manifest declares at least one input and output; the first input adapter's
/// bands (else all bands) and the first output decoder, when the manifest has them.
AiRasterInferenceRequest packageInferenceRequest(
    const AiModelPackage& package, const QString& rasterPath,
    AiRasterOutputMode outputMode = AiRasterOutputMode::ClassMask);

}  // namespace Tarnivale::AI
