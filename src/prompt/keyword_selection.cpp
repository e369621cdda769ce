#include "prompt/keyword_selection.h"

#include <cmath>
#include <limits>

namespace Tarnivale::AI {

namespace {

bool containsAny(const QString& text, std::initializer_list<const char*> words) {
    for (const char* word : words) {
        if (text.contains(QLatin1String(word))) {
            return true;
        }
    }
    return false;
}

int bandsNeeded(KeywordGroup group) {
    return group == KeywordGroup::Cloud ? 3 : 4;
}

}  // namespace

KeywordGroup keywordGroup(const QString& text) {
    if (containsAny(text, {"water", "su"})) {
        return KeywordGroup::Water;
    }
    if (containsAny(text, {"cloud", "bulut", "bright"})) {
        return KeywordGroup::Cloud;
    }
    if (containsAny(text, {"vegetation", "bitki"})) {
        return KeywordGroup::Vegetation;
    }
    return KeywordGroup::None;
}

float selectionBound(double threshold, double divisor) {
    constexpr float infinity = std::numeric_limits<float>::infinity();
    if (std::isnan(threshold)) {
        return std::numeric_limits<float>::quiet_NaN();  // nothing exceeds NaN, nor any float a NaN
    }
    const auto exceeds = [&](float s) { return static_cast<double>(s) / divisor > threshold; };
    // The rounded product is within a few steps of the bound; walk to it.
    float bound = static_cast<float>(threshold * divisor);
    while (exceeds(bound) && bound != -infinity) {
        bound = std::nextafter(bound, -infinity);
    }
    for (float next = std::nextafter(bound, infinity); next != bound && !exceeds(next);
         next = std::nextafter(bound, infinity)) {
        bound = next;
    }
    return bound;
}

bool selectByKeywords(PromptMask& mask, const PromptEmbedding& embedding, const QString& text,
                      double threshold) {
    const KeywordGroup group = keywordGroup(text);
    if (group == KeywordGroup::None || embedding.bandCount < bandsNeeded(group) ||
        embedding.pixelCount() == 0) {
        return false;
    }
    const float* b1 = embedding.band(0);
    const float* b2 = embedding.band(1);
    const float* b3 = embedding.band(2);
    switch (group) {
        case KeywordGroup::Water: {
            const float* b4 = embedding.band(3);
            const float bound = selectionBound(threshold, 1.0);
            mask.selectWhere([=](std::int64_t i) { return b2[i] - b4[i] > bound; });
            break;
        }
        case KeywordGroup::Cloud: {
            // The mean's sum is taken in single precision, the division by three in double.
            const float bound = selectionBound(threshold, 3.0);
            mask.selectWhere([=](std::int64_t i) { return b1[i] + b2[i] + b3[i] > bound; });
            break;
        }
        case KeywordGroup::Vegetation: {
            const float* b4 = embedding.band(3);
            const float bound = selectionBound(threshold, 1.0);
            mask.selectWhere([=](std::int64_t i) { return b4[i] - b1[i] > bound; });
            break;
        }
        case KeywordGroup::None:
            break;
    }
    return true;
}

}  // namespace Tarnivale::AI
