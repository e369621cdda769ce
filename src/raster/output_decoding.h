#pragma once

// The decoder writing into an existing tensor: its buffer is reused when it has the right size and is not
// shared, so a tile loop decodes without allocating.

#include <tarnivale/ai/raster.h>

namespace Tarnivale::AI {

void decodeInto(const AiTensor& tensor, const AiOutputDecoderSpec& spec, AiTensor& result);

}  // namespace Tarnivale::AI
