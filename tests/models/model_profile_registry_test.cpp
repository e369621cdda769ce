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

const QString kShaA = QString(64, u'a');
const QString kShaB = QString(64, u'b');

AiModelProfile profile(const QString& id, const QString& sha256) {
    AiModelProfile p;
    p.id = id;
    p.displayName = u"Display "_s + id;
    p.sha256 = sha256;
    p.manifest.id = id;
    p.manifest.version = u"1"_s;
    p.manifest.modelPath = u"model.onnx"_s;
    p.manifest.inputs = {{u"x"_s, AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 3, -1, -1}}};
    p.manifest.outputs = {{u"y"_s, AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 2, -1, -1}}};
    return p;
}

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

TEST(ModelProfile, SourceNames) {
    EXPECT_EQ(aiModelProfileSourceName(AiModelProfileSource::TarnivaleVerified), u"TarnivaleVerified"_s);
    EXPECT_EQ(aiModelProfileSourceName(AiModelProfileSource::OfficialAdapter), u"OfficialAdapter"_s);
    EXPECT_EQ(aiModelProfileSourceName(AiModelProfileSource::Custom), u"Custom"_s);
    EXPECT_EQ(aiModelProfileSourceName(static_cast<AiModelProfileSource>(7)), u"Custom"_s);
    EXPECT_EQ(AiModelProfile().source, AiModelProfileSource::Custom);
}

TEST(ModelProfile, ValidationMessagesInRuleOrder) {
    const std::string sha = "Model profile SHA-256 must contain exactly 64 hexadecimal characters.";
    const std::string mismatch = "Model profile id must match the manifest id.";
    struct Case {
        const char* name;
        void (*change)(AiModelProfile&);
        std::string expected;
    } cases[] = {
        {"valid", [](AiModelProfile&) {}, ""},
        {"upper-case digest with spaces",
         [](AiModelProfile& p) { p.sha256 = u"  "_s + QString(64, u'F') + u" "_s; }, ""},
        {"manifest id in other case", [](AiModelProfile& p) { p.manifest.id = u"SAMPLE"_s; }, ""},
        {"no manifest id", [](AiModelProfile& p) { p.manifest.id.clear(); },
         "Manifest: Model id is required."},
        {"blank id", [](AiModelProfile& p) { p.id = u" "_s; }, "Model profile id is required. " + mismatch},
        {"blank display name", [](AiModelProfile& p) { p.displayName = u"\t"_s; },
         "Model profile display name is required."},
        {"63 digits", [](AiModelProfile& p) { p.sha256 = QString(63, u'a'); }, sha},
        {"not hexadecimal", [](AiModelProfile& p) { p.sha256 = QString(64, u'g'); }, sha},
        {"other manifest id", [](AiModelProfile& p) { p.manifest.id = u"other"_s; }, mismatch},
        {"all at once",
         [](AiModelProfile& p) {
             p.id.clear();
             p.displayName.clear();
             p.sha256.clear();
             p.manifest.version.clear();
         },
         "Model profile id is required. Model profile display name is required. " + sha +
             " Manifest: Model version is required. " + mismatch},
    };
    for (const Case& c : cases) {
        AiModelProfile p = profile(u"sample"_s, kShaA);
        c.change(p);
        EXPECT_EQ(p.validationErrors().join(u' ').toStdString(), c.expected) << c.name;
        EXPECT_EQ(p.isValid(), c.expected.empty()) << c.name;
    }
}

TEST_F(ProfileRegistry, IdsIgnoreCaseAndReplacementKeepsThePlace) {
    EXPECT_EQ(registered(profile(u"first"_s, kShaA)), "ok");
    EXPECT_EQ(registered(profile(u"Sample"_s, kShaB)), "ok");
    EXPECT_EQ(registered(profile(u"last"_s, QString(64, u'c'))), "ok");

    AiModelProfile renamed = profile(u"SAMPLE"_s, QString(64, u'd'));
    EXPECT_EQ(registered(renamed), "A model profile with id 'SAMPLE' is already registered.");
    EXPECT_EQ(registered(renamed, true), "ok");
    EXPECT_EQ(registeredIds(), (QStringList{u"first"_s, u"SAMPLE"_s, u"last"_s}));

    AiModelProfile found;
    ASSERT_TRUE(AiModelProfileRegistry::tryGet(u"sample"_s, found));
    EXPECT_EQ(found.sha256, QString(64, u'd'));
    EXPECT_TRUE(AiModelProfileRegistry::contains(u"LAST"_s));
    EXPECT_FALSE(AiModelProfileRegistry::contains(u"las"_s));
    EXPECT_TRUE(AiModelProfileRegistry::unregisterProfile(u"First"_s));
    EXPECT_FALSE(AiModelProfileRegistry::unregisterProfile(u"first"_s));
    EXPECT_EQ(registeredIds(), (QStringList{u"SAMPLE"_s, u"last"_s}));
}

TEST_F(ProfileRegistry, EachDigestBelongsToOneProfile) {
    const std::string taken = "Another model profile already uses this SHA-256.";
    EXPECT_EQ(registered(profile(u"a"_s, kShaA)), "ok");
    EXPECT_EQ(registered(profile(u"b"_s, u" "_s + kShaA.toUpper())), taken);
    // The digest check comes first: replacing "a" with a digest "b" holds is refused for the digest.
    EXPECT_EQ(registered(profile(u"b"_s, kShaB)), "ok");
    EXPECT_EQ(registered(profile(u"a"_s, kShaB), true), taken);
    EXPECT_EQ(registered(profile(u"a"_s, kShaB)), taken);

    // Re-registering "a" with a new digest frees the old one and takes the new one.
    const QString kShaC = QString(64, u'c');
    EXPECT_EQ(registered(profile(u"a"_s, kShaC), true), "ok");
    EXPECT_EQ(registered(profile(u"c"_s, kShaC)), taken);
    EXPECT_EQ(registered(profile(u"c"_s, kShaA)), "ok");

    // A refusal without errorOut still reports failure; an invalid profile gives all its messages.
    EXPECT_FALSE(AiModelProfileRegistry::registerProfile(profile(u"d"_s, kShaC), false, nullptr));
    EXPECT_FALSE(AiModelProfileRegistry::registerProfile(profile(u""_s, kShaC)));
    AiModelProfile invalid = profile(u"e"_s, u"x"_s);
    invalid.id = u" "_s;
    EXPECT_EQ(registered(invalid),
              "Model profile id is required. Model profile SHA-256 must contain exactly 64 hexadecimal "
              "characters. Model profile id must match the manifest id.");
    EXPECT_EQ(registeredIds(), (QStringList{u"a"_s, u"b"_s, u"c"_s}));
}

TEST_F(ProfileRegistry, RecognizesAWrittenFileByItsDigestInAnyCase) {
    QTemporaryDir dir;
    const QString model = writeBytes(dir.filePath(u"model.onnx"_s), QByteArray(300000, 'm'));
    const QString digest = sha256File(model).hex;
    AiModelProfile p = profile(u"model"_s, digest.toUpper());
    p.publisher = u"Publisher"_s;
    p.metadata.insert(u"k"_s, 3);
    EXPECT_EQ(registered(p), "ok");

    AiModelProfile found;
    ASSERT_TRUE(AiModelProfileRegistry::recognize(model, found));
    EXPECT_EQ(found.id, u"model"_s);
    EXPECT_EQ(found.sha256, digest);
    EXPECT_EQ(found.manifest.modelSha256, digest);
    EXPECT_EQ(found.publisher, u"Publisher"_s);
    EXPECT_EQ(found.metadata.value(u"k"_s).toInt(), 3);

    // A missing file, a directory and a file of another digest leave profileOut as it was.
    const QString other = writeBytes(dir.filePath(u"other.onnx"_s), QByteArray(10, 'o'));
    for (const QString& path : {dir.filePath(u"missing.onnx"_s), dir.path(), other}) {
        AiModelProfile untouched;
        untouched.displayName = u"sentinel"_s;
        EXPECT_FALSE(AiModelProfileRegistry::recognize(path, untouched)) << path.toStdString();
        EXPECT_EQ(untouched.displayName, u"sentinel"_s);
        EXPECT_TRUE(untouched.id.isEmpty());
    }
}

// Writers race on one digest, replacers rewrite one profile, readers look it up and recognise a file, all at
// once after a common gate; every outcome is checked, so no timing is assumed.
TEST_F(ProfileRegistry, ConcurrentCallersSeeWholeProfilesAndOneWinnerPerDigest) {
    QTemporaryDir dir;
    const QString model = writeBytes(dir.filePath(u"stable.onnx"_s), QByteArray(4096, 's'));
    const QString stableSha = sha256File(model).hex;
    AiModelProfile stable = profile(u"stable"_s, stableSha);
    stable.description = stable.displayName;  // readers check that the two always agree
    ASSERT_EQ(registered(stable), "ok");

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
                const QString sha = QString::number(r).rightJustified(64, u'0');
                if (AiModelProfileRegistry::registerProfile(profile(u"r%1-w%2"_s.arg(r).arg(w), sha))) {
                    ++winners[r];
                }
            }
        });
    }
    threads.emplace_back([&] {
        start.arrive_and_wait();
        for (int i = 0; i < 200; ++i) {
            AiModelProfile p = profile(u"stable"_s, stableSha);
            p.displayName = p.description = u"version %1"_s.arg(i);
            AiModelProfileRegistry::registerProfile(p, true);
        }
    });
    threads.emplace_back([&] {
        start.arrive_and_wait();
        for (int i = 0; i < 200; ++i) {
            AiModelProfile byId;
            AiModelProfile byFile;
            if (!AiModelProfileRegistry::tryGet(u"stable"_s, byId) ||
                !AiModelProfileRegistry::recognize(model, byFile) || byId.displayName != byId.description ||
                byFile.displayName != byFile.description || byFile.sha256 != stableSha) {
                ++torn;
            }
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
    AiModelProfile last;
    ASSERT_TRUE(AiModelProfileRegistry::tryGet(u"STABLE"_s, last));
    EXPECT_EQ(last.displayName, u"version 199"_s);
    EXPECT_EQ(AiModelProfileRegistry::profiles().front().id, u"stable"_s);
}
