// Model profiles: their rules, the process-wide table (case-insensitive ids, unique digests, replacement in
// place, recognition of real files) and the table under several threads at once.

#include <tarnivale/ai/models.h>

#include "runtime/sha256.h"
#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

QString sha(char16_t digit) {
    return QString(64, digit);
}

AiModelProfile profile(const QString& id, const QString& sha256) {
    AiModelProfile p;
    p.id = p.manifest.id = id;
    p.displayName = u"Display "_s + id;
    p.sha256 = sha256;
    p.manifest.version = u"1"_s;
    p.manifest.modelPath = u"model.onnx"_s;
    p.manifest.inputs = {{u"x"_s, AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 3, -1, -1}}};
    p.manifest.outputs = {{u"y"_s, AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 2, -1, -1}}};
    return p;
}

// "ok", or the refusal; a success clears an earlier message.
std::string registered(const AiModelProfile& p, bool replace = false) {
    QString error = u"stale"_s;
    const bool ok = AiModelProfileRegistry::registerProfile(p, replace, &error);
    return ok ? (error.isEmpty() ? "ok" : "ok with stale error") : error.toStdString();
}

QStringList registeredIds() {
    QStringList ids;
    for (const AiModelProfile& p : AiModelProfileRegistry::profiles()) {
        ids.append(p.id);
    }
    return ids;
}

// The table is process-wide: every test starts and ends with it empty.
class ProfileRegistry : public ::testing::Test {
protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    static void clear() {
        for (const AiModelProfile& p : AiModelProfileRegistry::profiles()) {
            AiModelProfileRegistry::unregisterProfile(p.id);
        }
    }
};

}  // namespace

TEST(ModelProfile, SourceNamesAndValidationMessagesInRuleOrder) {
    EXPECT_EQ(aiModelProfileSourceName(AiModelProfileSource::TarnivaleVerified), u"TarnivaleVerified"_s);
    EXPECT_EQ(aiModelProfileSourceName(AiModelProfileSource::OfficialAdapter), u"OfficialAdapter"_s);
    EXPECT_EQ(aiModelProfileSourceName(static_cast<AiModelProfileSource>(7)), u"Custom"_s);
    EXPECT_EQ(AiModelProfile().source, AiModelProfileSource::Custom);

    const std::string digest = "Model profile SHA-256 must contain exactly 64 hexadecimal characters.";
    const std::string mismatch = "Model profile id must match the manifest id.";
    const struct {
        const char* id;
        const char* name;
        QString sha256;
        const char* manifestId;
        const char* version;
        std::string expected;
    } cases[] = {
        {"m", "M", sha(u'a'), "m", "1", ""},
        {"m", "M", u"  "_s + sha(u'F') + u" "_s, "M", "1", ""},  // digest trimmed, manifest id in any case
        {"m", "M", sha(u'a'), "", "1", "Manifest: Model id is required."},
        {" ", "M", sha(u'a'), "m", "1", "Model profile id is required. " + mismatch},
        {"m", "\t", sha(u'a'), "m", "1", "Model profile display name is required."},
        {"m", "M", QString(63, u'a'), "m", "1", digest},
        {"m", "M", sha(u'g'), "m", "1", digest},
        {"m", "M", sha(u'a'), "other", "1", mismatch},
        {"", "", QString(), "m", "",
         "Model profile id is required. Model profile display name is required. " + digest +
             " Manifest: Model version is required. " + mismatch},
    };
    for (const auto& c : cases) {
        AiModelProfile p = profile(QString::fromLatin1(c.id), c.sha256);
        p.displayName = QString::fromLatin1(c.name);
        p.manifest.id = QString::fromLatin1(c.manifestId);
        p.manifest.version = QString::fromLatin1(c.version);
        EXPECT_EQ(p.validationErrors().join(u' ').toStdString(), c.expected) << c.id << c.manifestId;
        EXPECT_EQ(p.isValid(), c.expected.empty()) << c.id << c.manifestId;
    }
}

// One script of registrations: ids ignore case, a replacement keeps its place, each digest (trimmed, in any
// case) belongs to one profile and that rule comes before replacement.
TEST_F(ProfileRegistry, IdsIgnoreCaseDigestsAreUniqueAndReplacementKeepsThePlace) {
    const std::string taken = "Another model profile already uses this SHA-256.";
    const struct {
        const char* id;
        QString sha256;
        bool replace;
        std::string expected;
    } steps[] = {
        {"first", sha(u'a'), false, "ok"},
        {"Sample", sha(u'b'), false, "ok"},
        {"last", sha(u'c'), false, "ok"},
        {"SAMPLE", sha(u'd'), false, "A model profile with id 'SAMPLE' is already registered."},
        {"SAMPLE", sha(u'd'), true, "ok"},
        {"other", u" "_s + sha(u'A'), false, taken},
        {"first", sha(u'c'), true, taken},  // a digest "last" holds
        {"first", sha(u'c'), false, taken},
        {"first", sha(u'e'), true, "ok"},  // frees 'a'
        {"other", sha(u'a'), false, "ok"},
        {"other", sha(u'e'), true, taken},
        {"bad", u"x"_s, false, "Model profile SHA-256 must contain exactly 64 hexadecimal characters."},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(registered(profile(QString::fromLatin1(step.id), step.sha256), step.replace), step.expected)
            << step.id << " " << step.sha256.toStdString();
    }
    EXPECT_FALSE(AiModelProfileRegistry::registerProfile(profile(u"new"_s, sha(u'e')), false, nullptr));
    EXPECT_EQ(registeredIds(), (QStringList{u"first"_s, u"SAMPLE"_s, u"last"_s, u"other"_s}));
    AiModelProfile found;
    ASSERT_TRUE(AiModelProfileRegistry::tryGet(u"sample"_s, found));
    EXPECT_EQ(found.sha256, sha(u'd'));
    EXPECT_TRUE(AiModelProfileRegistry::contains(u"LAST"_s));
    EXPECT_FALSE(AiModelProfileRegistry::contains(u"las"_s));
    EXPECT_TRUE(AiModelProfileRegistry::unregisterProfile(u"First"_s));
    EXPECT_FALSE(AiModelProfileRegistry::unregisterProfile(u"first"_s));
    EXPECT_EQ(registeredIds(), (QStringList{u"SAMPLE"_s, u"last"_s, u"other"_s}));
}

TEST_F(ProfileRegistry, RecognizesAWrittenFileByItsDigestInAnyCase) {
    QTemporaryDir dir;
    const QString model = writeBytes(dir.filePath(u"model.onnx"_s), QByteArray(300000, 'm'));
    const QString digest = sha256File(model).hex;
    AiModelProfile p = profile(u"model"_s, digest.toUpper());
    p.publisher = u"Publisher"_s;
    EXPECT_EQ(registered(p), "ok");
    AiModelProfile found;
    ASSERT_TRUE(AiModelProfileRegistry::recognize(model, found));
    EXPECT_EQ(QStringList({found.id, found.sha256, found.manifest.modelSha256, found.publisher}),
              QStringList({u"model"_s, digest, digest, u"Publisher"_s}));

    // A missing file, a directory and a file of another digest leave profileOut as it was.
    const QString other = writeBytes(dir.filePath(u"other.onnx"_s), QByteArray(10, 'o'));
    for (const QString& path : {dir.filePath(u"missing.onnx"_s), dir.path(), other}) {
        AiModelProfile untouched;
        untouched.displayName = u"sentinel"_s;
        EXPECT_FALSE(AiModelProfileRegistry::recognize(path, untouched)) << path.toStdString();
        EXPECT_EQ(untouched.displayName + untouched.id, u"sentinel"_s);
    }
}

// Writers race on one digest per round, a replacer rewrites one profile, a reader looks it up and recognises
// its file, all at once after a common gate; every outcome is checked, so no timing is assumed.
TEST_F(ProfileRegistry, ConcurrentCallersSeeWholeProfilesAndOneWinnerPerDigest) {
    QTemporaryDir dir;
    const QString model = writeBytes(dir.filePath(u"stable.onnx"_s), QByteArray(4096, 's'));
    const QString stableSha = sha256File(model).hex;
    const auto stable = [&](int version) {  // the reader checks that its two texts always agree
        AiModelProfile p = profile(u"stable"_s, stableSha);
        p.displayName = p.description = u"version %1"_s.arg(version);
        return p;
    };
    ASSERT_EQ(registered(stable(-1)), "ok");
    constexpr int kRounds = 40;
    constexpr int kWriters = 3;
    std::atomic<int> winners[kRounds] = {};
    std::atomic<int> torn{0};
    std::latch start(kWriters + 2);
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            start.arrive_and_wait();
            for (int r = 0; r < kRounds; ++r) {
                const QString digest = QString::number(r).rightJustified(64, u'0');
                winners[r] +=
                    AiModelProfileRegistry::registerProfile(profile(u"r%1-w%2"_s.arg(r).arg(w), digest));
            }
        });
    }
    threads.emplace_back([&] {
        start.arrive_and_wait();
        for (int i = 0; i < 200; ++i) {
            AiModelProfileRegistry::registerProfile(stable(i), true);
        }
    });
    threads.emplace_back([&] {
        start.arrive_and_wait();
        for (int i = 0; i < 200; ++i) {
            AiModelProfile byId;
            AiModelProfile byFile;
            torn += !AiModelProfileRegistry::tryGet(u"stable"_s, byId) ||
                    !AiModelProfileRegistry::recognize(model, byFile) ||
                    byId.displayName != byId.description || byFile.displayName != byFile.description;
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(torn.load(), 0);
    for (int r = 0; r < kRounds; ++r) {
        EXPECT_EQ(winners[r].load(), 1) << "round " << r;
    }
    EXPECT_EQ(AiModelProfileRegistry::profiles().size(), kRounds + 1);
    EXPECT_EQ(AiModelProfileRegistry::profiles().front().displayName,
              u"version 199"_s);  // in its first place
}
