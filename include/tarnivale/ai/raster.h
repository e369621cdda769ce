#pragma once

// Raster inference: tiling (tiling.h), output decoders and, with later additions, the tiled executor.

#include <tarnivale/ai/export.h>
#include <tarnivale/ai/models.h>
#include <tarnivale/ai/runtime.h>
#include <tarnivale/ai/tiling.h>

namespace Tarnivale::AI {

/// Turns raw output tensors into decoded ones, driven by a manifest's decoder spec.
class TARNIVALE_AI_EXPORT AiOutputDecoder {
public:
    /// Applies the spec's activation over its channel axis, optionally keeping one channel
    /// (options "channel", else "classIndex"). Float32 in, Float32 out; throws std::invalid_argument.
    static AiTensor decode(const AiTensor& tensor, const AiOutputDecoderSpec& spec);
    /// 1 where the value is at least the threshold, else 0, as an Int32 tensor of the same shape.
    static AiTensor threshold(const AiTensor& tensor, double threshold);
};

}  // namespace Tarnivale::AI
