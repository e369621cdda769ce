#include "sam3/sam3_tokenizer.h"

#include "runtime/errors.h"
#include "runtime/sha256.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <limits>
#include <vector>

namespace Tarnivale::AI::Sam3 {

namespace {

constexpr qint64 MaximumTokenizerBytes = 8388608;
constexpr qint64 ProcessorBytesLimit = 1048576;  // this size or more is refused
constexpr std::int64_t BeginId = 49406;
constexpr std::int64_t EndId = 49407;
constexpr qsizetype ContextLength = 32;
constexpr qsizetype MaximumPromptLength = 4096;

/// Built once for every session: compiling the Unicode-aware pattern is the expensive part.
const QRegularExpression& splitExpression() {
    static const QRegularExpression expression = [] {
        QRegularExpression compiled(
            QStringLiteral("'s|'t|'re|'ve|'m|'ll|'d|[\\p{L}]+|[\\p{N}]|[^\\s\\p{L}\\p{N}]+"),
            QRegularExpression::UseUnicodePropertiesOption);
        compiled.optimize();
        return compiled;
    }();
    return expression;
}

const QRegularExpression& whiteSpaceRuns() {
    static const QRegularExpression expression = [] {
        QRegularExpression compiled(QStringLiteral("\\s+"), QRegularExpression::UseUnicodePropertiesOption);
        compiled.optimize();
        return compiled;
    }();
    return expression;
}

/// The printable character standing for each byte: bytes that are printable Latin-1 keep their code, the
/// other 68 take the characters 256, 257, ... in increasing byte order.
std::array<QChar, 256> byteAlphabet() {
    std::array<QChar, 256> alphabet{};
    char16_t next = 256;
    for (int byte = 0; byte < 256; ++byte) {
        const bool printable = (byte >= 33 && byte <= 126) || (byte >= 161 && byte <= 172) || byte >= 174;
        alphabet[static_cast<size_t>(byte)] = printable ? QChar(static_cast<char16_t>(byte)) : QChar(next++);
    }
    return alphabet;
}

QString mergeKey(const QString& left, const QString& right) {
    return left + QChar(u'\0') + right;
}

void unsupportedProfile() {
    throwInvalidArgument(QStringLiteral("Unsupported SAM3 tokenizer profile."));
}

}  // namespace

TokenizerPins& taskTokenizerPins() {
    static TokenizerPins pins;
    return pins;
}

Tokenizer Tokenizer::load(const QString& processorDirectory) {
    return load(processorDirectory, QString::fromLatin1(PinnedTokenizerSha256),
                QString::fromLatin1(PinnedProcessorSha256));
}

Tokenizer Tokenizer::load(const QString& processorDirectory, const QString& tokenizerSha256,
                          const QString& processorSha256) {
    QFile file(processorDirectory + QStringLiteral("/tokenizer.json"));
    if (!file.open(QIODevice::ReadOnly)) {
        throwInvalidArgument(QStringLiteral("Cannot open SAM3 tokenizer."));
    }
    if (file.size() > MaximumTokenizerBytes) {
        throwInvalidArgument(QStringLiteral("SAM3 tokenizer exceeds the profile size limit."));
    }
    const QByteArray bytes = file.read(MaximumTokenizerBytes + 1);
    if (Sha256::hex(bytes) != tokenizerSha256) {
        throwInvalidArgument(
            QStringLiteral("Unsupported SAM3 tokenizer asset; revalidate a new profile before use."));
    }
    const QJsonObject root = QJsonDocument::fromJson(bytes).object();
    const QJsonObject model = root.value(QStringLiteral("model")).toObject();
    if (model.value(QStringLiteral("type")) != QJsonValue(QStringLiteral("BPE")) ||
        model.value(QStringLiteral("end_of_word_suffix")) != QJsonValue(QStringLiteral("</w>")) ||
        root.value(QStringLiteral("padding")).toObject().value(QStringLiteral("pad_id")).toDouble(-1) !=
            EndId) {
        unsupportedProfile();
    }
    Tokenizer tokenizer;
    const QJsonObject vocabulary = model.value(QStringLiteral("vocab")).toObject();
    tokenizer.m_vocabulary.reserve(vocabulary.size());
    for (auto it = vocabulary.begin(); it != vocabulary.end(); ++it) {
        tokenizer.m_vocabulary.insert(it.key(), it.value().toInt());
    }
    const QJsonArray merges = model.value(QStringLiteral("merges")).toArray();
    if (merges.size() > std::numeric_limits<std::int32_t>::max()) {
        unsupportedProfile();
    }
    tokenizer.m_merges.reserve(merges.size());
    for (qsizetype rank = 0; rank < merges.size(); ++rank) {
        const QJsonArray pair = merges.at(rank).toArray();
        if (pair.size() != 2 || !pair.at(0).isString() || !pair.at(1).isString()) {
            unsupportedProfile();
        }
        tokenizer.m_merges.insert(mergeKey(pair.at(0).toString(), pair.at(1).toString()),
                                  static_cast<std::int32_t>(rank));
    }
    tokenizer.m_byteAlphabet = byteAlphabet();

    QFile processor(processorDirectory + QStringLiteral("/processor_config.json"));
    if (!processor.open(QIODevice::ReadOnly) || processor.size() >= ProcessorBytesLimit) {
        throwInvalidArgument(QStringLiteral("Cannot read SAM3 processor configuration."));
    }
    if (Sha256::hex(processor.read(ProcessorBytesLimit)) != processorSha256) {
        throwInvalidArgument(QStringLiteral("Unsupported SAM3 text preprocessing profile."));
    }
    return tokenizer;
}

TokenizedPrompt Tokenizer::encode(const QString& prompt) const {
    if (prompt.trimmed().isEmpty() || prompt.size() > MaximumPromptLength ||
        prompt.contains(QStringLiteral("<|"))) {
        throwInvalidArgument(
            QStringLiteral("SAM3 requires a nonempty plain-text prompt of at most 4096 characters."));
    }
    QString text = prompt.normalized(QString::NormalizationForm_C).toLower();
    text.replace(whiteSpaceRuns(), QStringLiteral(" "));

    TokenizedPrompt tokens;
    tokens.ids.append(BeginId);
    QRegularExpressionMatchIterator matches = splitExpression().globalMatch(text);
    std::vector<QString> symbols;
    while (matches.hasNext()) {
        const QByteArray utf8 = matches.next().captured().toUtf8();
        symbols.clear();
        for (const char byte : utf8) {
            symbols.emplace_back(m_byteAlphabet[static_cast<std::uint8_t>(byte)]);
        }
        symbols.back() += QStringLiteral("</w>");
        while (symbols.size() >= 2) {
            std::int32_t bestRank = std::numeric_limits<std::int32_t>::max();
            size_t best = symbols.size();
            for (size_t i = 0; i + 1 < symbols.size(); ++i) {
                const auto rank = m_merges.constFind(mergeKey(symbols[i], symbols[i + 1]));
                if (rank != m_merges.constEnd() && *rank < bestRank) {
                    bestRank = *rank;
                    best = i;
                }
            }
            if (best == symbols.size()) {
                break;
            }
            const QString left = symbols[best];
            const QString right = symbols[best + 1];
            std::vector<QString> merged;
            merged.reserve(symbols.size());
            for (size_t i = 0; i < symbols.size(); ++i) {
                if (i + 1 < symbols.size() && symbols[i] == left && symbols[i + 1] == right) {
                    merged.push_back(left + right);
                    ++i;
                } else {
                    merged.push_back(symbols[i]);
                }
            }
            symbols.swap(merged);
        }
        for (const QString& symbol : symbols) {
            const auto id = m_vocabulary.constFind(symbol);
            if (id == m_vocabulary.constEnd()) {
                throwInvalidArgument(QStringLiteral("Unsupported token in SAM3 prompt."));
            }
            tokens.ids.append(*id);
        }
        if (tokens.ids.size() > ContextLength - 1) {
            throwInvalidArgument(QStringLiteral("SAM3 prompt exceeds 30 content tokens; shorten it."));
        }
    }
    tokens.ids.append(EndId);
    tokens.attentionMask = QList<std::int64_t>(tokens.ids.size(), 1);
    while (tokens.ids.size() < ContextLength) {
        tokens.ids.append(EndId);
        tokens.attentionMask.append(0);
    }
    return tokens;
}

}  // namespace Tarnivale::AI::Sam3
