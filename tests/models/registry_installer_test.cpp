// The installer on real directories: where the bytes come from, the budget and checksum, and every failure
// leaving a file installed earlier exactly as it was.

#include <tarnivale/ai/models.h>

#include "runtime/sha256.h"
#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

const QByteArray kArtifact = QByteArray(70000, 'w') + "weights";
const QByteArray kPrevious = "previously installed";

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

class Installer : public ::testing::Test {
protected:
    void SetUp() override {
        entry = {u"seg"_s,
                 u"1.0"_s,
                 u"https://models.example/seg"_s,
                 Sha256::hex(kArtifact),
                 u"MIT"_s,
                 u"https://opensource.org/license/mit"_s,
                 {},
                 {}};
        ASSERT_TRUE(QDir().mkpath(mirror) && QDir().mkpath(destination));
        options.destinationDirectory = destination;
        options.offlineMirrorDirectory = mirror;
    }
    QString mirrored() const { return QDir(mirror).filePath(u"seg-1.0.tvmodel"_s); }
    QString installed() const { return QDir(destination).filePath(u"seg-1.0.tvmodel"_s); }
    // Runs the installer with a fetcher that counts its calls and answers `fetched`.
    std::string install(const QByteArray& fetched = kArtifact, bool withFetcher = true) {
        AiModelArtifactFetcher fetcher;
        if (withFetcher) {
            fetcher = [this, fetched](const QString& url) {
                ++fetches;
                fetchedUrl = url;
                return fetched;
            };
        }
        try {
            result = AiModelRegistryInstaller::install(entry, options, fetcher);
            return "ok";
        } catch (const std::exception& error) {
            return error.what();
        }
    }

    QTemporaryDir root;
    const QString mirror = root.filePath(u"mirror"_s);
    const QString destination = root.filePath(u"models"_s);
    AiModelRegistryEntry entry;
    AiModelInstallOptions options;
    AiModelInstallResult result;
    int fetches = 0;
    QString fetchedUrl;
};

}  // namespace

TEST_F(Installer, FromTheMirrorWhenItHoldsTheFileElseThroughTheFetcher) {
    writeBytes(mirrored(), kArtifact);
    options.offlineOnly = true;
    ASSERT_EQ(install(), "ok");
    EXPECT_EQ(fetches, 0);
    EXPECT_EQ(result.source, u"offline-mirror"_s);
    EXPECT_EQ(result.installedPath, installed());
    EXPECT_EQ(result.sha256, entry.artifactSha256);
    EXPECT_EQ(result.byteCount, kArtifact.size());
    EXPECT_EQ(contents(installed()), kArtifact);

    QFile::remove(mirrored());
    writeBytes(installed(), kPrevious);
    EXPECT_EQ(install(), "Model is absent from the offline mirror");
    EXPECT_EQ(fetches, 0);
    options.offlineOnly = false;
    EXPECT_EQ(install(kArtifact, false), "Online model artifact fetcher is required");
    EXPECT_EQ(contents(installed()), kPrevious);

    for (const QString& mirrorDirectory : {mirror, QString()}) {
        options.offlineMirrorDirectory = mirrorDirectory;
        ASSERT_EQ(install(), "ok");
        EXPECT_EQ(result.source, u"online"_s);
        EXPECT_EQ(fetchedUrl, entry.artifactUrl);
        EXPECT_EQ(contents(installed()), kArtifact);  // replaced only now, whole
    }
    EXPECT_EQ(fetches, 2);
}

TEST_F(Installer, BudgetIsInclusiveOnBothSources) {
    for (const bool fromMirror : {true, false}) {
        if (fromMirror) {
            writeBytes(mirrored(), kArtifact);
        } else {
            QFile::remove(mirrored());
        }
        options.maximumBytes = kArtifact.size();
        EXPECT_EQ(install(), "ok") << fromMirror;
        options.maximumBytes = kArtifact.size() - 1;
        EXPECT_EQ(install(), "Model artifact exceeds byte budget") << fromMirror;
    }
}

// Each failure, with a file installed earlier in place: the message, and that file untouched.
TEST_F(Installer, FailuresLeaveAnInstalledFileAlone) {
    const QString busy = root.filePath(u"busy"_s);
    struct Case {
        const char* name;
        std::function<void()> setUp;
        QByteArray fetched;
        std::string expected;
    } cases[] = {
        {"mirror checksum", [&] { writeBytes(mirrored(), kArtifact + "x"); }, kArtifact,
         "Model artifact checksum mismatch"},
        {"fetched checksum", [] {}, "other bytes", "Model artifact checksum mismatch"},
        {"fetcher answers nothing", [] {}, QByteArray(), "Model artifact checksum mismatch"},
        {"mirror entry is a directory", [&] { QDir().mkpath(mirrored()); }, kArtifact,
         "Could not read model artifact: " + mirrored().toStdString()},
        {"mirror link to a device", [&] { QFile::link(u"/dev/zero"_s, mirrored()); }, kArtifact,
         "Could not read model artifact: " + mirrored().toStdString()},
        {"mirror link to other bytes",
         [&] { QFile::link(writeBytes(root.filePath(u"store"_s), "tampered"), mirrored()); }, kArtifact,
         "Model artifact checksum mismatch"},
        {"invalid entry", [&] { entry.license = u" "_s; }, kArtifact,
         "Registry license metadata is required"},
        {"no destination", [&] { options.destinationDirectory = u"  "_s; }, kArtifact,
         "Model destination directory is required"},
        {"destination below a file",
         [&] { options.destinationDirectory = writeBytes(busy, "file") + u"/models"_s; }, kArtifact,
         "Could not create model destination directory"},
        {"artifact name taken by a directory",
         [&] {
             options.destinationDirectory = root.filePath(u"second"_s);
             QDir().mkpath(QDir(options.destinationDirectory).filePath(u"seg-1.0.tvmodel"_s));
         },
         kArtifact, "Could not atomically install model artifact"},
    };
    for (Case& c : cases) {
        SetUp();
        QFile::remove(mirrored());
        QDir(mirrored()).removeRecursively();
        writeBytes(installed(), kPrevious);
        c.setUp();
        EXPECT_EQ(install(c.fetched), c.expected) << c.name;
        EXPECT_EQ(contents(installed()), kPrevious) << c.name;
        EXPECT_EQ(QDir(destination).entryList(QDir::Files), (QStringList{u"seg-1.0.tvmodel"_s})) << c.name;
    }
}

TEST_F(Installer, FetcherExceptionsReachTheCallerUnchanged) {
    writeBytes(installed(), kPrevious);
    const auto failing = [](const QString&) -> QByteArray { throw std::runtime_error("network down"); };
    EXPECT_EQ(
        errorOf<std::runtime_error>([&] { AiModelRegistryInstaller::install(entry, options, failing); }),
        "network down");
    EXPECT_EQ(contents(installed()), kPrevious);
}

// A mirror that links into a shared store is read through: the installed file is a copy, not the link.
TEST_F(Installer, MirrorLinksAreReadThroughAndDanglingOnesAreAbsent) {
    const QString store = writeBytes(root.filePath(u"store.bin"_s), kArtifact);
    ASSERT_TRUE(QFile::link(store, mirrored()));
    ASSERT_EQ(install(), "ok");
    EXPECT_EQ(result.source, u"offline-mirror"_s);
    EXPECT_FALSE(QFileInfo(installed()).isSymLink());
    EXPECT_EQ(contents(installed()), kArtifact);

    QFile::remove(store);
    options.offlineOnly = true;
    EXPECT_EQ(install(), "Model is absent from the offline mirror");
}
