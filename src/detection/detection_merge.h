#pragma once

// One greedy suppression over a whole scene's detections, with the decoder's rule (IoU above the threshold
// suppresses, within a class unless class-agnostic). Boxes are bucketed on a grid so each candidate is
// compared only with accepted boxes near it: a scene may hold far more detections than one window.

#include <tarnivale/ai/detection.h>

namespace Tarnivale::AI {

/// The detections best first after suppression; `cellSize` should be about the largest box size.
QList<AiDetection> mergeDetections(QList<AiDetection> candidates, double nmsThreshold, bool classAgnostic,
                                   double cellSize);

}  // namespace Tarnivale::AI
