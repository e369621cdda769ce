// The SAM3 prompt tokenizer on the generated bundle's small vocabulary (its ids: b for the symbol of byte b,
// 256 + b with "</w>", 512 + k for merge k; see tests/fixtures/make_models.py): loading refusals, the pins on
// the public path, and encoding rows.

#include "sam3/sam3_tokenizer.h"

#include "runtime/sha256.h"
#include "sam3/sam3_fixture.h"
#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Sam3;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

QString digestOf(const QString& path) {
    return sha256File(path).hex;
}

Tokenizer loadTest(const BundleCopy& bundle) {
    return Tokenizer::load(bundle.path(u"processor"_s), digestOf(bundle.path(u"processor/tokenizer.json"_s)),
                           digestOf(bundle.path(u"processor/processor_config.json"_s)));
}

std::string loadError(const BundleCopy& bundle) {
    return errorOf<std::invalid_argument>([&] { loadTest(bundle); });
}

/// Rewrites one key of the tokenizer's "model" object (or, with `model` false, of the top level).
std::function<void(const BundleCopy&)> editTokenizer(bool model, const char* key, const QJsonValue& value) {
    return [=](const BundleCopy& bundle) {
        QFile file(bundle.path(u"processor/tokenizer.json"_s));
        file.open(QIODevice::ReadOnly);
        QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
        file.close();
        QJsonObject edited = model ? root.value(u"model"_s).toObject() : root;
        edited.insert(QString::fromUtf8(key), value);
        writeBytes(file.fileName(),
                   QJsonDocument(model ? (root.insert(u"model"_s, edited), root) : edited).toJson());
    };
}

}  // namespace

TEST(Sam3Tokenizer, LoadingRefusals) {
    BundleCopy bundle(u"sam3-text"_s);
    EXPECT_EQ(loadError(bundle), "no error");
    // The public path accepts only the pinned assets.
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { Tokenizer::load(bundle.path(u"processor"_s)); }),
              "Unsupported SAM3 tokenizer asset; revalidate a new profile before use.");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  Tokenizer::load(bundle.path(u"processor"_s),
                                  digestOf(bundle.path(u"processor/tokenizer.json"_s)),
                                  QString::fromLatin1(PinnedProcessorSha256));
              }),
              "Unsupported SAM3 text preprocessing profile.");

    struct Row {
        std::function<void(const BundleCopy&)> change;
        const char* message;
    };
    const QString tokenizer = u"processor/tokenizer.json"_s;
    const QString processor = u"processor/processor_config.json"_s;
    const Row rows[] = {
        {[&](const BundleCopy& b) { QFile::remove(b.path(tokenizer)); }, "Cannot open SAM3 tokenizer."},
        {[&](const BundleCopy& b) { writeBytes(b.path(tokenizer), QByteArray(8388609, ' ')); },
         "SAM3 tokenizer exceeds the profile size limit."},
        {editTokenizer(true, "type", u"WordPiece"_s), "Unsupported SAM3 tokenizer profile."},
        {editTokenizer(true, "end_of_word_suffix", u"</s>"_s), "Unsupported SAM3 tokenizer profile."},
        {editTokenizer(false, "padding", QJsonObject{{u"pad_id"_s, 0}}),
         "Unsupported SAM3 tokenizer profile."},
        {editTokenizer(true, "merges", QJsonArray{QJsonArray{u"a"_s}}),
         "Unsupported SAM3 tokenizer profile."},
        {[&](const BundleCopy& b) { QFile::remove(b.path(processor)); },
         "Cannot read SAM3 processor configuration."},
        {[&](const BundleCopy& b) { writeBytes(b.path(processor), QByteArray(1048576, ' ')); },
         "Cannot read SAM3 processor configuration."},
    };
    for (const Row& row : rows) {
        BundleCopy changed(u"sam3-text"_s);
        const QString processorDigest = digestOf(changed.path(processor));
        row.change(changed);
        EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                      Tokenizer::load(changed.path(u"processor"_s), digestOf(changed.path(tokenizer)),
                                      processorDigest);
                  }),
                  row.message);
    }
}

TEST(Sam3Tokenizer, EncodesPromptsIntoThirtyTwoIds) {
    BundleCopy bundle(u"sam3-text"_s);
    const Tokenizer tokenizer = loadTest(bundle);
    const auto content = [&](const QString& prompt) {
        const TokenizedPrompt tokens = tokenizer.encode(prompt);
        EXPECT_EQ(tokens.ids.size(), 32);
        EXPECT_EQ(tokens.attentionMask.size(), 32);
        const qsizetype used = tokens.attentionMask.count(1);
        EXPECT_EQ(tokens.ids.at(0), 49406);
        EXPECT_EQ(tokens.ids.at(used - 1), 49407);
        for (qsizetype i = used; i < 32; ++i) {
            EXPECT_EQ(tokens.ids.at(i), 49407);
            EXPECT_EQ(tokens.attentionMask.at(i), 0);
        }
        return tokens.ids.mid(1, used - 2);
    };
    struct Row {
        QString prompt;
        QList<std::int64_t> ids;
    };
    const Row rows[] = {
        {u"building"_s, {521}},  // merges applied by rank
        {u"  Swimming\t\u00a0 POOL "_s,
         {115, 119, 105, 109, 109, 105, 519, 514}},  // case and white space folded
        {u"swimming pool"_s, {115, 119, 105, 109, 109, 105, 519, 514}},
        {u"dog's"_s, {100, 111, 359, 522}},  // the word, then the apostrophe-s piece
        {u"2024"_s, {306, 304, 306, 308}},   // every digit is a word
        {u"aaaa"_s, {523, 97, 353}},         // every occurrence of the best pair, left to right
        {u"aaaaa"_s, {523, 523, 353}},
        {u"!?"_s, {33, 319}},        // punctuation words
        {u"\u00e9"_s, {195, 425}},   // UTF-8 bytes through the byte alphabet
        {u"e\u0301"_s, {195, 425}},  // normalised to NFC first
        {u"\u0007"_s, {263}},        // a control byte maps to a character above 255
    };
    for (const Row& row : rows) {
        EXPECT_EQ(content(row.prompt), row.ids) << row.prompt.toStdString();
    }
    // Thirty content ids fill every position; thirty-one are refused.
    const TokenizedPrompt full = tokenizer.encode(u"123456789012345678901234567890"_s);
    EXPECT_EQ(full.attentionMask, QList<std::int64_t>(32, 1));
    EXPECT_EQ(full.ids.at(31), 49407);

    const std::string prompt = "SAM3 requires a nonempty plain-text prompt of at most 4096 characters.";
    const std::string tooLong = "SAM3 prompt exceeds 30 content tokens; shorten it.";
    const std::pair<QString, std::string> refusals[] = {
        {u""_s, prompt},
        {u" \t\n"_s, prompt},
        {u"a<|b"_s, prompt},
        {QString(4097, u'a'), prompt},
        {QString(4096, u'a'), tooLong},  // within the length rule, but 2048 ids
        {u"1234567890123456789012345678901"_s, tooLong},
        {u"~"_s, "Unsupported token in SAM3 prompt."},
    };
    for (const auto& [text, message] : refusals) {
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { tokenizer.encode(text); }), message)
            << text.left(40).toStdString();
    }
}
