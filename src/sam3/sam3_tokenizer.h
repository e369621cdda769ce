#pragma once

// The byte-level BPE tokenizer of SAM3 text prompts: 32 ids (beginning, at most 30 content ids, end,
// padding) and their attention mask. Only the pinned tokenizer and processor assets are accepted on the
// public path; the digest arguments exist so the engine can be exercised on a small vocabulary.

#include <QHash>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>

namespace Tarnivale::AI::Sam3 {

inline constexpr char PinnedTokenizerSha256[] =
    "aa52e1ac1aa5e6669a42d9515f19c6598b9038ce20d5488c2c334145d97d44a2";
inline constexpr char PinnedProcessorSha256[] =
    "13a9f4183ee01007d717384560c259d80e78a253057f3bb7e4a49fd226aed47f";

/// The tokenizer and processor digests a session opened by a task checks: the published assets' unless a
/// test has replaced them (internal; hosts only ever reach the pinned constructor).
struct TokenizerPins {
    QString tokenizerSha256 = QString::fromLatin1(PinnedTokenizerSha256);
    QString processorSha256 = QString::fromLatin1(PinnedProcessorSha256);
};
TokenizerPins& taskTokenizerPins();

struct TokenizedPrompt {
    QList<std::int64_t> ids;            ///< 32 entries
    QList<std::int64_t> attentionMask;  ///< 32 entries, 1 up to and including the end id
};

class Tokenizer {
public:
    /// Reads "tokenizer.json" and checks "processor_config.json" in the processor directory against the pins.
    static Tokenizer load(const QString& processorDirectory);
    /// The same with other expected digests (lower-case hexadecimal).
    static Tokenizer load(const QString& processorDirectory, const QString& tokenizerSha256,
                          const QString& processorSha256);

    /// Throws std::invalid_argument for a prompt that is empty, too long, holds "<|", or does not encode.
    TokenizedPrompt encode(const QString& prompt) const;

private:
    QHash<QString, std::int32_t> m_vocabulary;
    QHash<QString, std::int32_t> m_merges;  // left + U+0000 + right -> rank
    std::array<QChar, 256> m_byteAlphabet{};
};

}  // namespace Tarnivale::AI::Sam3
