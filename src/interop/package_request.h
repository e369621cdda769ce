#pragma once

// The raster executor's request for a model package, as the built-in tasks build it: the package's model
// and digest, identity, the first input, output, input adapter and decoder, its tiling and normalisation.
// The caller adds the session options and the interruption test.

#include <tarnivale/ai/models.h>
#include <tarnivale/ai/raster.h>

namespace Tarnivale::AI::Interop {

/// The manifest must declare at least one input, output, input adapter and output decoder.
AiRasterInferenceRequest packageInferenceRequest(const AiModelPackage& package, const QString& rasterPath,
                                                 AiRasterOutputMode outputMode = AiRasterOutputMode::ClassMask);

}  // namespace Tarnivale::AI::Interop
