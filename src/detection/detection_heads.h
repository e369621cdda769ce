#pragma once

// How a detection manifest's three heads are found and which decoder options they imply; shared by the
// package executor, the one-shot raster run and sliced detection.

#include <tarnivale/ai/detection.h>

namespace Tarnivale::AI {

struct DetectionHeads {
    const AiOutputDecoderSpec* boxes = nullptr;
    const AiOutputDecoderSpec* scores = nullptr;
    const AiOutputDecoderSpec* classes = nullptr;
    AiObjectDetectionOptions options;  ///< defaults, then the scores threshold, then each head's options
};

/// Finds the decoders of the roles "boxes", "scores", "classes" (one each) and derives the options.
DetectionHeads detectionHeads(const AiModelManifest& manifest);

/// Makes the request's thresholds, when set, the last word: they are written into the classes head's
/// options, which are applied after the others'.
void overrideThresholds(AiModelManifest& manifest, const AiRasterObjectDetectionRequest& request);

/// Adds "imageWidth"/"imageHeight" to the three heads' options where absent, for normalised boxes.
void setImageSize(AiModelManifest& manifest, std::int32_t width, std::int32_t height);

}  // namespace Tarnivale::AI
