// The model registry: the signed index (signatures against Qt's HMAC and Qt's compact writer as independent
// oracles, the reading rules and their messages, resolution, a seeded mutation loop whose documents are
// re-signed so that mutations reach the rules behind the signature) and the installer on real directories.

#include <tarnivale/ai/models.h>

#include "models/compact_json.h"
#include "runtime/sha256.h"
#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QTemporaryDir>

#include <functional>
#include <map>
#include <random>
#include <set>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

const QByteArray kKey = "registry test key";

AiModelRegistryEntry entry(const QString& id, const QString& version, char digit = 'a',
                           const QString& minimum = {}, const QString& maximum = {}) {
    const QString url = u"https://models.example/"_s + id;
    const QString licenseUrl = u"https://opensource.org/license/mit"_s;
    return {id, version, url, QString(64, QLatin1Char(digit)), u"MIT"_s, licenseUrl, minimum, maximum};
}

QJsonObject objectOf(const QByteArray& json) {
    return QJsonDocument::fromJson(json).object();
}

// Signed by the oracle, whatever it holds, under its "signature" key: mutated documents pass the signature.
QByteArray resigned(QJsonObject index) {
    index.remove(u"signature"_s);
    const QByteArray compact = QJsonDocument(index).toJson(QJsonDocument::Compact);
    const QByteArray hmac = QMessageAuthenticationCode::hash(compact, kKey, QCryptographicHash::Sha256);
    index.insert(u"signature"_s, QString::fromLatin1(hmac.toHex()));
    return QJsonDocument(index).toJson(QJsonDocument::Compact);
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

}  // namespace

TEST(RegistryIndex, OraclesAgreeAndSignedIndexesRoundTrip) {
    for (const QByteArray& key : {QByteArray("k"), QByteArray(200, 'K')}) {
        for (const QByteArray& data : {QByteArray(), QByteArray("{\"a\":1}"), QByteArray(5000, 'd')}) {
            EXPECT_EQ(hmacSha256Hex(key, data),
                      QMessageAuthenticationCode::hash(data, key, QCryptographicHash::Sha256).toHex());
        }
    }
    EXPECT_EQ(resigned(objectOf(signedSample())), signedSample());
    const QJsonObject second = objectOf(signedSample()).value(u"entries"_s).toArray().at(1).toObject();
    EXPECT_EQ(second.value(u"maximumSdkVersion"_s), QJsonValue(u""_s));  // empty bounds are written too
    // Read back, every field lands in its place: signing what was read gives the same bytes.
    const AiModelRegistryIndex read = AiModelRegistryIndex::fromSignedJson(signedSample(), kKey);
    EXPECT_EQ(AiModelRegistryIndex::signedJson(read.entries(), kKey), signedSample());
    EXPECT_EQ(read.entries().front().artifactFileName(), u"land-cover-1.2.0.tvmodel"_s);
}

TEST(RegistryIndex, EveryChangedByteFailsAndOnlyTheCompactFormIsSigned) {
    for (qsizetype i = 0; i < signedSample().size(); ++i) {
        QByteArray changed = signedSample();
        changed[i] = changed[i] == 'a' ? 'b' : 'a';
        EXPECT_NE(readError(changed), "no error") << "byte " << i;
    }
    const QJsonObject sample = objectOf(signedSample());
    const QString signature = sample.value(u"signature"_s).toString();
    const QJsonArray entries = sample.value(u"entries"_s).toArray();
    // Keys in another order and indentation leave the compact form, and so the signature, as it was.
    EXPECT_EQ(
        readError(R"({ "signature" : ")" + signature.toLatin1() + R"(", "entries" : )" +
                  QJsonDocument(entries).toJson(QJsonDocument::Indented) + R"(, "schemaVersion" : 1 })"),
        "no error");
    const auto with = [&](const char* key, const QJsonValue& value) {
        QJsonObject changed = sample;
        changed.insert(QLatin1StringView(key), value);  // an undefined value removes the key
        return QJsonDocument(changed).toJson();
    };
    const QJsonArray swapped{entries.at(1), entries.at(0)};
    QJsonObject resignedSwap = sample;
    resignedSwap.insert(u"entries"_s, swapped);
    const std::string failed = "Registry index signature verification failed";
    const std::string schema = "Unsupported registry schemaVersion";
    const struct {
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
        {with("entries", swapped), kKey, failed},
        {resigned(resignedSwap), kKey, "no error"},  // re-signed with its "signature" key in place
        {with("signature", signature.toUpper()), kKey, failed},
        {with("signature", QJsonValue::Undefined), kKey, failed},
        {with("signature", u""_s), kKey, failed},
        {with("signature", u"00"_s + signature), kKey, failed},
        {resigned(QJsonObject{}), kKey, schema},
        {resigned(QJsonObject{{u"schemaVersion"_s, 2}}), kKey, schema},
        {resigned(QJsonObject{{u"schemaVersion"_s, u"1"_s}}), kKey, schema},
        {resigned(QJsonObject{{u"schemaVersion"_s, 1}}), kKey, "no error"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readError(c.json, c.key), c.expected) << c.json.left(80).toStdString();
    }
}

// Keys of the first entry replaced, re-signed; an entry breaking several rules reports the first.
TEST(RegistryIndex, EntryRulesInOrderWhenReadAndSignedAndDuplicates) {
    const std::string id = "Registry model id is invalid";
    const std::string sha = "Registry artifact SHA-256 is invalid";
    const std::string license = "Registry license metadata is required";
    const struct {
        QJsonObject changes;
        std::string expected;
    } cases[] = {
        {{{u"id"_s, u"a b"_s}}, id},
        {{{u"id"_s, u"m\u00e9"_s}}, id},
        {{{u"id"_s, u"m/../x"_s}}, id},
        {{{u"id"_s, u"m\n"_s}}, id},
        {{{u"id"_s, 7}}, id},  // not a string: empty
        {{{u"id"_s, u"A-z_0.9"_s}}, "no error"},
        {{{u"id"_s, u"bad id"_s}, {u"version"_s, u"banana"_s}, {u"license"_s, u""_s}}, id},
        {{{u"version"_s, u"banana"_s}, {u"artifactSha256"_s, u"x"_s}}, "Invalid semantic version: banana"},
        {{{u"version"_s, u""_s}}, "Invalid semantic version: "},
        {{{u"version"_s, u"2.0-beta"_s}}, "no error"},
        {{{u"artifactSha256"_s, QString(64, u'C')}}, "no error"},  // lower-cased when read
        {{{u"artifactSha256"_s, QString(63, u'c')}}, sha},
        {{{u"artifactSha256"_s, QString(64, u'g')}, {u"license"_s, u""_s}}, sha},
        {{{u"license"_s, u" "_s}, {u"artifactUrl"_s, u""_s}}, license},
        {{{u"licenseUrl"_s, u""_s}}, license},
        {{{u"artifactUrl"_s, u"\t"_s}, {u"minimumSdkVersion"_s, u"x1"_s}},
         "Registry artifact URL is required"},
        {{{u"minimumSdkVersion"_s, u"x1"_s}, {u"maximumSdkVersion"_s, u"-"_s}},
         "Invalid semantic version: x1"},
        {{{u"maximumSdkVersion"_s, u"-"_s}}, "Invalid semantic version: -"},
    };
    for (const auto& c : cases) {
        QJsonObject index = objectOf(signedSample());
        QJsonArray entries = index.value(u"entries"_s).toArray();
        QJsonObject first = entries.at(0).toObject();
        for (auto it = c.changes.begin(); it != c.changes.end(); ++it) {
            first.insert(it.key(), it.value());
        }
        entries.replace(0, first);
        index.insert(u"entries"_s, entries);
        EXPECT_EQ(readError(resigned(index)), c.expected) << QJsonDocument(c.changes).toJson().toStdString();
    }
    // The signer applies the same rules and keeps digests as given, but does not look for duplicates.
    const auto sign = [](const QList<AiModelRegistryEntry>& entries, const QByteArray& key = kKey) {
        return errorOf<std::invalid_argument>([&] { AiModelRegistryIndex::signedJson(entries, key); });
    };
    EXPECT_EQ(sign({entry(u"bad id"_s, u"banana"_s)}), id);
    EXPECT_EQ(sign({entry(u"m"_s, u"1"_s, 'C')}), sha);
    EXPECT_EQ(sign({}, QByteArray()), "Registry signing key is required");
    // The reader refuses the same id and version text twice.
    const auto read = [](const QList<AiModelRegistryEntry>& entries) {
        return readError(AiModelRegistryIndex::signedJson(entries, kKey));
    };
    const std::string duplicate = "Duplicate model registry version";
    EXPECT_EQ(read({}), "no error");
    EXPECT_EQ(read({entry(u"m"_s, u"1.0"_s, 'a'), entry(u"m"_s, u"1.0"_s, 'b', u"1"_s)}), duplicate);
    EXPECT_EQ(read({entry(u"m"_s, u"1.0"_s), entry(u"n"_s, u"2"_s), entry(u"m"_s, u"1.0"_s)}), duplicate);
    EXPECT_EQ(read({entry(u"m"_s, u"1.0"_s), entry(u"m"_s, u"1.0.0"_s), entry(u"M"_s, u"1.0"_s)}),
              "no error");
    EXPECT_EQ(read({entry(u"m1"_s, u"2"_s), entry(u"m"_s, u"12"_s)}), "no error");  // the texts run together
}

TEST(RegistryIndex, ResolutionPicksTheHighestCompatibleVersion) {
    const AiModelRegistryIndex index = AiModelRegistryIndex::fromSignedJson(
        AiModelRegistryIndex::signedJson(
            {entry(u"seg"_s, u"1.9"_s, '1'), entry(u"seg"_s, u"1.10"_s, '2', u"2.0"_s, u"3.0"_s),
             entry(u"seg"_s, u"1.2"_s, '3'), entry(u"tie"_s, u"1.0.0"_s, 'b'), entry(u"tie"_s, u"1.0"_s, 'a'),
             entry(u"tie"_s, u"1"_s, 'c'), entry(u"eit"_s, u"1.0"_s, 'a'), entry(u"eit"_s, u"1.0.0"_s, '9'),
             entry(u"new"_s, u"4"_s, 'a', u"5"_s), entry(u"old"_s, u"1"_s, 'a', QString(), u"0.5"_s)},
            kKey),
        kKey);
    const std::string none = "No compatible model registry entry";
    const struct {
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
        {"seg", "2.5", "1.02", none},  // version text compares exactly
        {"seg", "9", "1.10", none},
        {"SEG", "2.5", "", none},
        {"tie", "1", "", "1.0/a"},  // 1.0, 1.0.0 and 1 are one version: the smallest digest text wins
        {"eit", "1", "", "1.0.0/9"},
        {"new", "5", "", "4/a"},
        {"new", "4.99", "", none},
        {"old", "0.5.0", "", "1/a"},
        {"old", "0.5.1", "", none},
        {"seg", "banana", "", "Invalid semantic version: banana"},
        {"nothing", "", "", "Invalid semantic version: "},
    };
    for (const auto& c : cases) {
        std::string outcome;
        try {
            const AiModelRegistryEntry e = index.resolve(
                QString::fromLatin1(c.id), QString::fromLatin1(c.sdk), QString::fromLatin1(c.version));
            outcome = e.version.toStdString() + "/" + e.artifactSha256.left(1).toStdString();
        } catch (const std::exception& error) {
            outcome = error.what();
        }
        EXPECT_EQ(outcome, c.expected) << c.id << " sdk " << c.sdk << " version " << c.version;
    }
    EXPECT_THROW(index.resolve(u"new"_s, u"4.99"_s), std::out_of_range);
    EXPECT_THROW(index.resolve(u"seg"_s, u"banana"_s), std::invalid_argument);
}

// Mutated documents, re-signed: each read gives an index (which then resolves to an entry or refuses) or one
// of the reader's messages, and the loop reaches every rule behind the signature.
TEST(RegistryIndex, ReSignedMutationsGiveAnIndexOrAKnownMessage) {
    const std::string unreadable = "Registry index must be JSON";
    const std::string failed = "Registry index signature verification failed";
    const std::set<std::string> known = {unreadable,
                                         failed,
                                         "Unsupported registry schemaVersion",
                                         "Registry model id is invalid",
                                         "Invalid semantic version: %1",
                                         "Registry artifact SHA-256 is invalid",
                                         "Registry license metadata is required",
                                         "Registry artifact URL is required",
                                         "Duplicate model registry version",
                                         "No compatible model registry entry"};
    // Values of every JSON kind, numbers and texts Qt writes in particular forms included: the reader's own
    // compact writer must give Qt's bytes for each, or a re-signed document would not verify.
    const QJsonArray values = QJsonDocument::fromJson(R"(["", "banana", "1.0", "1.0.0", "2.0", "3.0.1",
        "land-cover", "bad id", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
        "0000000000000000000000000000000000000000000000000000000000000000", 1, 2.5, true, null, [1],
        {"id": "x"}, "\u0001\u001f\t\"\\/\u007f caf\u00e9 \ud83d\ude00", -0, 0.0, 1e2, 1e300, 100000.0,
        2147483648, -9007199254740993, {"b": [{}, []], "a": 1.5, "k\u00e9y": false}])")
                                  .array();
    const QString keys[] = {u"id"_s,      u"version"_s,    u"artifactUrl"_s,       u"artifactSha256"_s,
                            u"license"_s, u"licenseUrl"_s, u"minimumSdkVersion"_s, u"maximumSdkVersion"_s};
    std::mt19937 random(20250601);
    const auto key = [&] { return keys[random() % std::size(keys)]; };
    const auto value = [&] { return values.at(static_cast<qsizetype>(random() % values.size())); };
    std::map<std::string, int> outcomes;
    for (int iteration = 0; iteration < 3000; ++iteration) {
        QJsonObject index = objectOf(signedSample());
        QJsonArray entries = index.value(u"entries"_s).toArray();
        for (int m = 0, mutations = 1 + static_cast<int>(random() % 3); m < mutations; ++m) {
            const auto at = static_cast<qsizetype>(random() % entries.size());
            QJsonObject e = entries.at(at).toObject();
            const auto kind = random() % 6;
            if (kind < 2) {
                e.insert(key(), value());
            } else if (kind == 2) {
                e.remove(key());
            }
            if (kind < 3) {
                entries.replace(at, e);
            } else if (kind == 3) {
                entries.append(entries.at(at));
            } else if (kind == 4) {
                index.insert(u"schemaVersion"_s, value());
            } else {
                entries.append(value());
            }
        }
        index.insert(u"entries"_s, entries);
        QByteArray document = resigned(index);
        const bool rawChange = iteration % 10 == 0;  // a raw byte change on top now and then
        if (rawChange) {
            document[static_cast<qsizetype>(random() % document.size())] = static_cast<char>(random() % 128);
        }
        std::string outcome = "resolved";
        try {
            const AiModelRegistryIndex read = AiModelRegistryIndex::fromSignedJson(document, kKey);
            read.resolve(read.entries().isEmpty() ? u"x"_s : read.entries().front().id, u"2.5"_s);
        } catch (const std::exception& error) {
            outcome = error.what();
            if (outcome.starts_with("Invalid semantic version: ")) {
                outcome = "Invalid semantic version: %1";
            }
            EXPECT_TRUE(known.contains(outcome)) << outcome;
            EXPECT_TRUE(rawChange || outcome != failed) << "a re-signed document did not verify";
        }
        ++outcomes[outcome];
    }
    EXPECT_GT(outcomes["resolved"], 0);
    for (const std::string& message : known) {
        EXPECT_TRUE(message == unreadable || message == failed || outcomes[message] > 0) << message;
    }
}

// The installer. Each row starts from an empty mirror and a file installed earlier; `fetched` is what the
// fetcher answers ("<none>": no fetcher, "<throws>": it throws). A success is named by its source.
namespace {

const QByteArray kArtifact = QByteArray(70000, 'w') + "weights";
const QByteArray kPrevious = "previously installed";

struct Site {
    QTemporaryDir root;
    QString mirrored = root.filePath(u"mirror/seg-1.0.tvmodel"_s);
    QString installed = root.filePath(u"models/seg-1.0.tvmodel"_s);
    AiModelRegistryEntry entry = [] {
        AiModelRegistryEntry e = ::entry(u"seg"_s, u"1.0"_s);
        e.artifactSha256 = Sha256::hex(kArtifact);
        return e;
    }();
    AiModelInstallOptions options{root.filePath(u"models"_s), root.filePath(u"mirror"_s), false, 0};
};
using Step = std::function<void(Site&)>;

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

}  // namespace

TEST(RegistryInstaller, SourcesBudgetChecksumAndFailuresLeavingAnInstalledFileAlone) {
    const std::string absent = "Model is absent from the offline mirror";
    const std::string budget = "Model artifact exceeds byte budget";
    const std::string mismatch = "Model artifact checksum mismatch";
    const std::string unreadable = "Could not read model artifact: <mirror file>";
    const auto mirror = [](const QByteArray& bytes) -> Step {
        return [=](Site& s) { writeBytes(s.mirrored, bytes); };
    };
    const auto link = [](const QString& target) -> Step {
        return [=](Site& s) { QFile::link(target, s.mirrored); };
    };
    const auto store = [](const QByteArray& bytes) -> Step {  // a mirror linking into a shared store
        return [=](Site& s) { QFile::link(writeBytes(s.root.filePath(u"store"_s), bytes), s.mirrored); };
    };
    const auto limit = [](qint64 bytes) -> Step { return [=](Site& s) { s.options.maximumBytes = bytes; }; };
    const Step offline = [](Site& s) { s.options.offlineOnly = true; };
    const Step noMirror = [](Site& s) { s.options.offlineMirrorDirectory.clear(); };
    const Step mirrorDirectory = [](Site& s) { QDir().mkpath(s.mirrored); };
    const Step badEntry = [](Site& s) { s.entry.license = u" "_s; };
    const Step noDestination = [](Site& s) { s.options.destinationDirectory = u"  "_s; };
    const Step belowAFile = [](Site& s) {
        s.options.destinationDirectory = writeBytes(s.root.filePath(u"busy"_s), "file") + u"/models"_s;
    };
    const Step nameTaken = [](Site& s) {
        s.options.destinationDirectory = s.root.filePath(u"second"_s);
        QDir().mkpath(s.options.destinationDirectory + u"/seg-1.0.tvmodel"_s);
    };
    const qint64 size = kArtifact.size();
    const struct {
        std::vector<Step> arrange;
        QByteArray fetched;
        std::string expected;
        int fetches;
    } rows[] = {
        {{mirror(kArtifact), offline}, kArtifact, "offline-mirror", 0},
        {{mirror(kArtifact)}, kArtifact, "offline-mirror", 0},  // the mirror before the fetcher
        {{store(kArtifact)}, kArtifact, "offline-mirror", 0},   // read through, installed as a copy
        {{link(u"/nonexistent"_s), offline}, kArtifact, absent, 0},
        {{offline}, kArtifact, absent, 0},
        {{}, "<none>", "Online model artifact fetcher is required", 0},
        {{}, kArtifact, "online", 1},
        {{noMirror}, kArtifact, "online", 1},
        {{mirror(kArtifact), limit(size)}, kArtifact, "offline-mirror", 0},
        {{mirror(kArtifact), limit(size - 1)}, kArtifact, budget, 0},
        {{limit(size)}, kArtifact, "online", 1},
        {{limit(size - 1)}, kArtifact, budget, 1},
        {{mirror(kArtifact + "x")}, kArtifact, mismatch, 0},
        {{store("tampered")}, kArtifact, mismatch, 0},
        {{}, "other bytes", mismatch, 1},
        {{}, QByteArray(), mismatch, 1},
        {{}, "<throws>", "network down", 1},
        {{mirrorDirectory}, kArtifact, unreadable, 0},
        {{link(u"/dev/zero"_s)}, kArtifact, unreadable, 0},
        {{badEntry}, kArtifact, "Registry license metadata is required", 0},
        {{noDestination}, kArtifact, "Model destination directory is required", 0},
        {{belowAFile}, kArtifact, "Could not create model destination directory", 1},
        {{nameTaken}, kArtifact, "Could not atomically install model artifact", 1},
    };
    for (const auto& row : rows) {
        const std::string name = "row " + std::to_string(&row - rows);
        Site s;
        ASSERT_TRUE(QDir().mkpath(s.options.offlineMirrorDirectory) &&
                    QDir().mkpath(s.options.destinationDirectory));
        writeBytes(s.installed, kPrevious);
        for (const Step& step : row.arrange) {
            step(s);
        }
        int fetches = 0;
        AiModelArtifactFetcher fetcher;
        if (row.fetched != "<none>") {
            fetcher = [&](const QString& url) {
                ++fetches;
                EXPECT_EQ(url, s.entry.artifactUrl);
                return row.fetched == "<throws>" ? throw std::runtime_error("network down") : row.fetched;
            };
        }
        std::string outcome;
        AiModelInstallResult result;
        try {
            result = AiModelRegistryInstaller::install(s.entry, s.options, fetcher);
            outcome = result.source.toStdString();
        } catch (const std::exception& error) {
            outcome = QString::fromUtf8(error.what()).replace(s.mirrored, u"<mirror file>"_s).toStdString();
        }
        EXPECT_EQ(outcome, row.expected) << name;
        EXPECT_EQ(fetches, row.fetches) << name;
        const bool installed = result.byteCount > 0;
        EXPECT_EQ(contents(s.installed), installed ? kArtifact : kPrevious) << name;
        EXPECT_FALSE(QFileInfo(s.installed).isSymLink()) << name;
        // Nothing half-written beside it.
        EXPECT_EQ(QDir(s.root.filePath(u"models"_s)).entryList(QDir::Files),
                  QStringList{u"seg-1.0.tvmodel"_s})
            << name;
        if (installed) {
            EXPECT_EQ(QStringList({result.installedPath, result.sha256}),
                      QStringList({s.installed, s.entry.artifactSha256}))
                << name;
            EXPECT_EQ(result.byteCount, size) << name;
        }
    }
}
