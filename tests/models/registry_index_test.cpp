// The signed registry index: signatures (checked against Qt's HMAC as an independent oracle), the reading
// rules and their messages, resolution, and a seeded mutation loop whose documents are re-signed so that
// mutations reach the rules behind the signature.

#include <tarnivale/ai/models.h>

#include "models/compact_json.h"
#include "runtime/sha256.h"
#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>

#include <random>
#include <set>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

const QByteArray kKey = "registry test key";

AiModelRegistryEntry entry(const QString& id, const QString& version, char digit = 'a',
                           const QString& minimum = {}, const QString& maximum = {}) {
    return {id,
            version,
            u"https://models.example/"_s + id,
            QString(64, QLatin1Char(digit)),
            u"MIT"_s,
            u"https://opensource.org/license/mit"_s,
            minimum,
            maximum};
}

// The document signed by the oracle, whatever it holds: mutated documents must get past the signature.
QByteArray resigned(QJsonObject index, const QByteArray& key = kKey) {
    index.remove(u"signature"_s);
    const QByteArray compact = QJsonDocument(index).toJson(QJsonDocument::Compact);
    index.insert(u"signature"_s,
                 QString::fromLatin1(
                     QMessageAuthenticationCode::hash(compact, key, QCryptographicHash::Sha256).toHex()));
    return QJsonDocument(index).toJson(QJsonDocument::Compact);
}

QJsonObject objectOf(const QByteArray& json) {
    return QJsonDocument::fromJson(json).object();
}

std::string readError(const QByteArray& json, const QByteArray& key = kKey) {
    return errorOf<std::invalid_argument>([&] { AiModelRegistryIndex::fromSignedJson(json, key); });
}

// Made on first use, not during static initialisation, where the library's own statics may not be ready.
QByteArray signedSample() {
    static const QByteArray json = AiModelRegistryIndex::signedJson(
        {entry(u"land-cover"_s, u"1.2.0"_s, 'a', u"2.0"_s, u"3.0"_s), entry(u"buildings"_s, u"0.9"_s, 'b')},
        kKey);
    return json;
}

// The index with one key of its first entry replaced, re-signed.
QByteArray withFirstEntry(const QJsonObject& changes) {
    QJsonObject index = objectOf(signedSample());
    QJsonArray entries = index.value(u"entries"_s).toArray();
    QJsonObject first = entries.at(0).toObject();
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        first.insert(it.key(), it.value());
    }
    entries.replace(0, first);
    index.insert(u"entries"_s, entries);
    return resigned(index);
}

}  // namespace

TEST(RegistryIndex, HmacMatchesQtsAndSignedIndexesRoundTrip) {
    for (const QByteArray& key : {QByteArray("k"), QByteArray(200, 'K')}) {
        for (const QByteArray& data : {QByteArray(), QByteArray("{\"a\":1}"), QByteArray(5000, 'd')}) {
            EXPECT_EQ(hmacSha256Hex(key, data),
                      QMessageAuthenticationCode::hash(data, key, QCryptographicHash::Sha256).toHex());
        }
    }
    EXPECT_EQ(resigned(objectOf(signedSample())), signedSample());
    const QJsonObject written = objectOf(signedSample()).value(u"entries"_s).toArray().at(1).toObject();
    EXPECT_EQ(written.keys().size(), 8);  // the empty SDK bounds too
    EXPECT_EQ(written.value(u"maximumSdkVersion"_s), QJsonValue(u""_s));

    const QList<AiModelRegistryEntry> read =
        AiModelRegistryIndex::fromSignedJson(signedSample(), kKey).entries();
    ASSERT_EQ(read.size(), 2);
    const AiModelRegistryEntry& first = read.front();
    const AiModelRegistryEntry expected = entry(u"land-cover"_s, u"1.2.0"_s, 'a', u"2.0"_s, u"3.0"_s);
    EXPECT_EQ(QStringList({first.id, first.version, first.artifactUrl, first.artifactSha256, first.license,
                           first.licenseUrl, first.minimumSdkVersion, first.maximumSdkVersion}),
              QStringList({expected.id, expected.version, expected.artifactUrl, expected.artifactSha256,
                           expected.license, expected.licenseUrl, expected.minimumSdkVersion,
                           expected.maximumSdkVersion}));
    EXPECT_EQ(first.artifactFileName(), u"land-cover-1.2.0.tvmodel"_s);
    EXPECT_EQ(read.back().id, u"buildings"_s);
}

// The signed bytes are Qt's compact form whichever writer makes them.
TEST(RegistryIndex, CompactWriterMatchesQts) {
    QString everyAscii;
    for (char16_t c = 0; c < 0x80; ++c) {
        everyAscii.append(QChar(c));
    }
    const QJsonObject documents[] = {
        {},
        {{everyAscii, everyAscii}, {u"b"_s, QJsonArray{}}, {u"a"_s, QJsonObject{}}},
        {{u"n"_s, QJsonArray{0, -1, 1, 2147483648LL, -9007199254740993LL, true, false, QJsonValue::Null}}},
        {{u"d"_s, 1.5}},
        {{u"d"_s, 1e300}},
        {{u"d"_s, 100000.0}},
        {{u"t"_s, u"caf\u00e9 \U0001F600"_s}},
        {{u"k\u00e9y"_s, 1}},
        {{u"z"_s, QJsonArray{QJsonObject{{u"y"_s, QJsonArray{QJsonArray{u"x\"\\"_s}}}}}}},
    };
    for (const QJsonObject& document : documents) {
        const QByteArray qt = QJsonDocument(document).toJson(QJsonDocument::Compact);
        EXPECT_EQ(compactJson(document), qt) << qt.toStdString();
    }
    for (const char* parsed :
         {R"({"a": 1.0, "b": 10, "c": 1e2, "d": -0, "e": 0.0})", R"({"b": 2, "a": 1, "b": 3})"}) {
        const QJsonObject document = objectOf(parsed);
        EXPECT_EQ(compactJson(document), QJsonDocument(document).toJson(QJsonDocument::Compact)) << parsed;
    }
}

TEST(RegistryIndex, EveryChangedByteFailsAndOnlyTheCompactFormIsSigned) {
    for (qsizetype i = 0; i < signedSample().size(); ++i) {
        QByteArray changed = signedSample();
        changed[i] = changed[i] == 'a' ? 'b' : 'a';
        EXPECT_NE(readError(changed), "no error") << "byte " << i;
    }
    // Keys in another order and indentation leave the compact form, and so the signature, as it was.
    const QByteArray reordered = QByteArray(R"({ "signature" : "SIG", "entries" : [)") +
                                 QJsonDocument(objectOf(signedSample()).value(u"entries"_s).toArray())
                                     .toJson(QJsonDocument::Indented)
                                     .mid(1) +
                                 R"(, "schemaVersion" : 1 })";
    EXPECT_EQ(readError(QByteArray(reordered).replace(
                  "SIG", objectOf(signedSample()).value(u"signature"_s).toString().toLatin1())),
              "no error");
    const std::string failed = "Registry index signature verification failed";
    QJsonObject swapped = objectOf(signedSample());
    QJsonArray entries = swapped.value(u"entries"_s).toArray();
    swapped.insert(u"entries"_s, QJsonArray{entries.at(1), entries.at(0)});
    const QJsonValue signature = swapped.value(u"signature"_s);
    EXPECT_EQ(readError(QJsonDocument(swapped).toJson()), failed);
    EXPECT_EQ(readError(resigned(swapped)), "no error");  // re-signed with its "signature" key

    QJsonObject upper = objectOf(signedSample());
    upper.insert(u"signature"_s, signature.toString().toUpper());
    QJsonObject bare = objectOf(signedSample());
    bare.remove(u"signature"_s);
    QJsonObject emptySignature = objectOf(signedSample());
    emptySignature.insert(u"signature"_s, u""_s);
    struct Case {
        QByteArray json;
        QByteArray key;
        std::string expected;
    } cases[] = {
        {signedSample(), "", "Trusted registry signing key is required"},
        {"not json", "", "Trusted registry signing key is required"},
        {"not json", kKey, "Registry index must be JSON"},
        {"[1]", kKey, "Registry index must be JSON"},
        {"", kKey, "Registry index must be JSON"},
        {signedSample(), "another key", failed},
        {QJsonDocument(upper).toJson(), kKey, failed},
        {QJsonDocument(bare).toJson(), kKey, failed},
        {resigned(bare).replace(R"("signature":")", R"("signature":"00)"), kKey, failed},
        {QJsonDocument(emptySignature).toJson(), kKey, failed},
        {resigned(QJsonObject{}), kKey, "Unsupported registry schemaVersion"},
        {resigned(QJsonObject{{u"schemaVersion"_s, 2}}), kKey, "Unsupported registry schemaVersion"},
        {resigned(QJsonObject{{u"schemaVersion"_s, u"1"_s}}), kKey, "Unsupported registry schemaVersion"},
        {resigned(QJsonObject{{u"schemaVersion"_s, 1}}), kKey, "no error"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readError(c.json, c.key), c.expected) << c.json.left(80).toStdString();
    }
}

TEST(RegistryIndex, EntryRulesInOrderWhenReadAndSigned) {
    const QString sha = QString(64, u'c');
    struct Case {
        const char* key;
        QJsonValue value;
        std::string expected;
    } cases[] = {
        {"id", u"a b"_s, "Registry model id is invalid"},
        {"id", u"m\u00e9"_s, "Registry model id is invalid"},
        {"id", u"m/../x"_s, "Registry model id is invalid"},
        {"id", u"m\n"_s, "Registry model id is invalid"},
        {"id", 7, "Registry model id is invalid"},  // not a string: empty
        {"id", u"A-z_0.9"_s, "no error"},
        {"version", u"banana"_s, "Invalid semantic version: banana"},
        {"version", u""_s, "Invalid semantic version: "},
        {"version", u"2.0-beta"_s, "no error"},
        {"artifactSha256", sha.toUpper(), "no error"},  // lower-cased when read
        {"artifactSha256", QString(63, u'c'), "Registry artifact SHA-256 is invalid"},
        {"artifactSha256", QString(64, u'g'), "Registry artifact SHA-256 is invalid"},
        {"license", u" "_s, "Registry license metadata is required"},
        {"licenseUrl", u""_s, "Registry license metadata is required"},
        {"artifactUrl", u"\t"_s, "Registry artifact URL is required"},
        {"minimumSdkVersion", u"x1"_s, "Invalid semantic version: x1"},
        {"maximumSdkVersion", u"-"_s, "Invalid semantic version: -"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readError(withFirstEntry({{QString::fromLatin1(c.key), c.value}})), c.expected) << c.key;
    }
    // An entry breaking several rules reports the first; the signer applies the same rules.
    AiModelRegistryEntry broken = entry(u"bad id"_s, u"banana"_s);
    broken.license.clear();
    EXPECT_EQ(readError(withFirstEntry({{u"id"_s, u"bad id"_s}, {u"version"_s, u"banana"_s}})),
              "Registry model id is invalid");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiModelRegistryIndex::signedJson({broken}, kKey); }),
              "Registry model id is invalid");
    AiModelRegistryEntry upper = entry(u"m"_s, u"1"_s);
    upper.artifactSha256 = sha.toUpper();
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiModelRegistryIndex::signedJson({upper}, kKey); }),
              "Registry artifact SHA-256 is invalid");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiModelRegistryIndex::signedJson({}, QByteArray()); }),
              "Registry signing key is required");
    EXPECT_EQ(readError(AiModelRegistryIndex::signedJson({}, kKey)), "no error");
}

TEST(RegistryIndex, DuplicatesAreSameIdAndVersionText) {
    // The signer does not look for duplicates; the reader refuses them.
    const auto read = [](const QList<AiModelRegistryEntry>& entries) {
        return readError(AiModelRegistryIndex::signedJson(entries, kKey));
    };
    const std::string duplicate = "Duplicate model registry version";
    EXPECT_EQ(read({entry(u"m"_s, u"1.0"_s, 'a'), entry(u"m"_s, u"1.0"_s, 'b', u"1"_s)}), duplicate);
    EXPECT_EQ(read({entry(u"m"_s, u"1.0"_s), entry(u"n"_s, u"2"_s), entry(u"m"_s, u"1.0"_s)}), duplicate);
    EXPECT_EQ(read({entry(u"m"_s, u"1.0"_s), entry(u"m"_s, u"1.0.0"_s), entry(u"M"_s, u"1.0"_s)}),
              "no error");
    EXPECT_EQ(read({entry(u"m1"_s, u"2"_s), entry(u"m"_s, u"12"_s)}),
              "no error");  // the same text run together
}

TEST(RegistryIndex, ResolutionPicksTheHighestCompatibleVersion) {
    const AiModelRegistryIndex index =
        AiModelRegistryIndex::fromSignedJson(AiModelRegistryIndex::signedJson(
                                                 {
                                                     entry(u"seg"_s, u"1.9"_s, '1'),
                                                     entry(u"seg"_s, u"1.10"_s, '2', u"2.0"_s, u"3.0"_s),
                                                     entry(u"seg"_s, u"1.2"_s, '3'),
                                                     entry(u"tie"_s, u"1.0.0"_s, 'b'),
                                                     entry(u"tie"_s, u"1.0"_s, 'a'),
                                                     entry(u"tie"_s, u"1"_s, 'c'),
                                                     entry(u"eit"_s, u"1.0"_s, 'a'),
                                                     entry(u"eit"_s, u"1.0.0"_s, '9'),
                                                     entry(u"new"_s, u"4"_s, 'a', u"5"_s),
                                                     entry(u"old"_s, u"1"_s, 'a', QString(), u"0.5"_s),
                                                 },
                                                 kKey),
                                             kKey);
    struct Case {
        const char* id;
        const char* sdk;
        const char* version;
        std::string expected;  // version and first digest character, or the error
    } cases[] = {
        {"seg", "2.0", "", "1.10/2"},    // the lower bound is inclusive
        {"seg", "2", "", "1.10/2"},      // and 2 is 2.0
        {"seg", "3.0", "", "1.10/2"},    // the upper bound too
        {"seg", "3.0.0", "", "1.10/2"},  // and 3.0.0 is 3.0
        {"seg", "3.0.1", "", "1.9/1"},
        {"seg", "1.9.9", "", "1.9/1"},
        {"seg", "2.5-rc1", "", "1.10/2"},
        {"seg", "2.5", "1.2", "1.2/3"},
        {"seg", "2.5", "1.02", "No compatible model registry entry"},  // version text compares exactly
        {"seg", "9", "1.10", "No compatible model registry entry"},
        {"SEG", "2.5", "", "No compatible model registry entry"},
        {"tie", "1", "", "1.0/a"},  // 1.0, 1.0.0 and 1 are one version: the smallest digest text wins
        {"eit", "1", "", "1.0.0/9"},
        {"new", "5", "", "4/a"},
        {"new", "4.99", "", "No compatible model registry entry"},
        {"old", "0.5.0", "", "1/a"},
        {"old", "0.5.1", "", "No compatible model registry entry"},
        {"seg", "banana", "", "Invalid semantic version: banana"},
        {"nothing", "", "", "Invalid semantic version: "},
    };
    for (const Case& c : cases) {
        std::string outcome;
        try {
            const AiModelRegistryEntry e = index.resolve(
                QString::fromLatin1(c.id), QString::fromLatin1(c.sdk), QString::fromLatin1(c.version));
            outcome = e.version.toStdString() + "/" + e.artifactSha256.left(1).toStdString();
        } catch (const std::out_of_range& error) {
            outcome = error.what();
        } catch (const std::invalid_argument& error) {
            outcome = error.what();
        }
        EXPECT_EQ(outcome, c.expected) << c.id << " sdk " << c.sdk << " version " << c.version;
    }
    EXPECT_THROW(AiModelRegistryIndex().resolve(u"seg"_s, u"1"_s), std::out_of_range);
}

// Mutated documents, re-signed, so that most of them reach the schema and entry rules: each read gives an
// index (which then resolves to an entry or refuses with its messages) or one of the reader's messages.
TEST(RegistryIndex, ReSignedMutationsGiveAnIndexOrAKnownMessage) {
    const std::set<std::string> known = {
        "Registry index must be JSON",          "Registry index signature verification failed",
        "Unsupported registry schemaVersion",   "Registry model id is invalid",
        "Registry artifact SHA-256 is invalid", "Registry license metadata is required",
        "Registry artifact URL is required",    "Duplicate model registry version",
        "No compatible model registry entry",
    };
    const QJsonValue values[] = {u""_s,
                                 u"banana"_s,
                                 u"1.0"_s,
                                 u"1.0.0"_s,
                                 u"2.0"_s,
                                 u"3.0.1"_s,
                                 u"land-cover"_s,
                                 u"bad id"_s,
                                 QString(64, u'F'),
                                 QString(64, u'0'),
                                 1,
                                 2.5,
                                 true,
                                 QJsonValue::Null,
                                 QJsonArray{1},
                                 QJsonObject{{u"id"_s, u"x"_s}}};
    const QString keys[] = {u"id"_s,      u"version"_s,    u"artifactUrl"_s,       u"artifactSha256"_s,
                            u"license"_s, u"licenseUrl"_s, u"minimumSdkVersion"_s, u"maximumSdkVersion"_s};
    std::mt19937 random(20250601);
    const auto pick = [&random](auto& array) -> auto& {
        return array[std::uniform_int_distribution<std::size_t>(0, std::size(array) - 1)(random)];
    };
    std::map<std::string, int> outcomes;
    for (int iteration = 0; iteration < 3000; ++iteration) {
        QJsonObject index = objectOf(signedSample());
        QJsonArray entries = index.value(u"entries"_s).toArray();
        const int mutations = 1 + static_cast<int>(random() % 3);
        for (int m = 0; m < mutations; ++m) {
            switch (random() % 6) {
                case 0:
                case 1: {
                    const qsizetype at = static_cast<qsizetype>(random() % entries.size());
                    QJsonObject e = entries.at(at).toObject();
                    e.insert(pick(keys), pick(values));
                    entries.replace(at, e);
                    break;
                }
                case 2: {
                    const qsizetype at = static_cast<qsizetype>(random() % entries.size());
                    QJsonObject e = entries.at(at).toObject();
                    e.remove(pick(keys));
                    entries.replace(at, e);
                    break;
                }
                case 3:
                    entries.append(entries.at(static_cast<qsizetype>(random() % entries.size())));
                    break;
                case 4:
                    index.insert(u"schemaVersion"_s, pick(values));
                    break;
                default:
                    entries.append(pick(values));
                    break;
            }
        }
        index.insert(u"entries"_s, entries);
        QByteArray document = resigned(index);
        if (iteration % 10 == 0) {  // a raw byte change on top now and then
            document[static_cast<qsizetype>(random() % document.size())] = static_cast<char>(random() % 128);
        }
        std::string outcome;
        try {
            const AiModelRegistryIndex read = AiModelRegistryIndex::fromSignedJson(document, kKey);
            read.resolve(read.entries().isEmpty() ? u"x"_s : read.entries().front().id, u"2.5"_s);
            outcome = "resolved";
        } catch (const std::exception& error) {
            outcome = error.what();
            if (outcome.rfind("Invalid semantic version: ", 0) == 0) {
                outcome = "Invalid semantic version: %1";
            }
            EXPECT_TRUE(known.contains(outcome) || outcome == "Invalid semantic version: %1") << outcome;
            // Re-signed documents always verify: the reader signs the very bytes Qt's writer produced.
            EXPECT_TRUE(iteration % 10 == 0 || outcome != "Registry index signature verification failed");
        }
        ++outcomes[outcome];
    }
    // The loop reached every rule behind the signature, and well-formed results as well.
    for (const char* expected :
         {"resolved", "No compatible model registry entry", "Registry model id is invalid",
          "Invalid semantic version: %1", "Registry artifact SHA-256 is invalid",
          "Registry license metadata is required", "Registry artifact URL is required",
          "Duplicate model registry version", "Unsupported registry schemaVersion"}) {
        EXPECT_GT(outcomes[expected], 0) << expected;
    }
}
