#pragma once

// Keyword prompts: the text names a group (water, cloud, vegetation) whose band index selects pixels.

#include "prompt/prompt_embedding.h"
#include "prompt/prompt_mask.h"

#include <QString>

namespace Tarnivale::AI {

enum class KeywordGroup { None, Water, Cloud, Vegetation };

/// The group of a trimmed, lower-case text; the first group with a matching substring wins, so "su" (Turkish
/// for water) also matches texts such as "sunny fields".
KeywordGroup keywordGroup(const QString& text);

/// Selects the pixels whose group index exceeds `threshold`. False, with the mask unchanged, when the text
/// names no group, the group needs more bands than the embedding has, or there are no pixels.
bool selectByKeywords(PromptMask& mask, const PromptEmbedding& embedding, const QString& text,
                      double threshold);

/// The largest float s with double(s) / divisor <= threshold: for every float s, s > bound exactly when
/// double(s) / divisor > threshold, so the per-pixel test stays in single precision.
float selectionBound(double threshold, double divisor);

}  // namespace Tarnivale::AI
