#include "sam3/sam3_profile.h"

namespace Tarnivale::AI::Sam3 {

const Profile& textProfile() {
    static const Profile profile{
        QStringLiteral("text-fixed-1008-32"),
        {QStringLiteral("text")},
        {QStringLiteral("vision_encoder.onnx"), QStringLiteral("text_encoder.onnx"),
         QStringLiteral("decoder.onnx")},
        {QStringLiteral("pred_masks"), QStringLiteral("pred_boxes"), QStringLiteral("pred_logits"),
         QStringLiteral("presence_logits"), QStringLiteral("semantic_seg")},
        false};
    return profile;
}

const Profile& trackerProfile() {
    static const Profile profile{
        QStringLiteral("tracker-rgb-1008"),
        {QStringLiteral("point"), QStringLiteral("box")},
        {QStringLiteral("tracker_encoder.onnx"), QStringLiteral("tracker_decoder.onnx")},
        {QStringLiteral("pred_masks"), QStringLiteral("iou_scores"), QStringLiteral("object_score_logits")},
        true};
    return profile;
}

}  // namespace Tarnivale::AI::Sam3
