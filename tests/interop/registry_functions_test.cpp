// The registry's flat functions: answers and their length protocol, the registry's own per-thread error
// slot, and installing and signing through JSON.

#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/models.h>

#include "runtime/sha256.h"
#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <thread>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

const QByteArray kKey = "interop registry key";
const QByteArray kArtifact = "artifact bytes";

using RegistryFunction = std::int32_t (*)(const TarnivaleAI_Char*, TarnivaleAI_Char*, std::int32_t);

// The answer, fetched the way a host does: ask the length, then call again with room for it.
std::string call(RegistryFunction function, const QJsonObject& request) {
    const std::u16string text = QString::fromUtf8(QJsonDocument(request).toJson()).toStdU16String();
    const std::int32_t length = function(text.c_str(), nullptr, 0);
    if (length < 0) {
        return "-1";
    }
    std::u16string buffer(static_cast<std::size_t>(length) + 1, u'?');
    EXPECT_EQ(function(text.c_str(), buffer.data(), length + 1), length);
    return QString::fromStdU16String(buffer.substr(0, static_cast<std::size_t>(length))).toStdString();
}

std::string lastError() {
    const std::int32_t length = TarnivaleAiModelRegistry_LastError(nullptr, 0);
    std::u16string buffer(static_cast<std::size_t>(length) + 1, u'?');
    TarnivaleAiModelRegistry_LastError(buffer.data(), length + 1);
    return QString::fromStdU16String(buffer.substr(0, static_cast<std::size_t>(length))).toStdString();
}

AiModelRegistryEntry entry(const QString& version) {
    return {u"seg"_s,
            version,
            u"https://models.example/seg"_s,
            Sha256::hex(kArtifact),
            u"MIT"_s,
            u"https://opensource.org/license/mit"_s,
            u"1.0"_s,
            {}};
}

QJsonObject resolveRequest() {
    return {{u"trustedKeyBase64"_s, QString::fromLatin1(kKey.toBase64())},
            {u"signedIndex"_s,
             QString::fromUtf8(AiModelRegistryIndex::signedJson({entry(u"1.0"_s), entry(u"1.2"_s)}, kKey))},
            {u"id"_s, u"seg"_s},
            {u"sdkVersion"_s, u"2"_s}};
}

}  // namespace

TEST(RegistryFunctions, ResolveAnswersTheEntryAndCopiesWhatFits) {
    const std::string expected = R"({"artifactFileName":"seg-1.2.tvmodel","artifactSha256":")" +
                                 Sha256::hex(kArtifact).toStdString() +
                                 R"(","artifactUrl":"https://models.example/seg","id":"seg","license":"MIT",)"
                                 R"("version":"1.2"})";
    EXPECT_EQ(call(TarnivaleAiModelRegistry_ResolveJson, resolveRequest()), expected);
    EXPECT_EQ(lastError(), "");

    const std::u16string request =
        QString::fromUtf8(QJsonDocument(resolveRequest()).toJson()).toStdU16String();
    const auto length = static_cast<std::int32_t>(expected.size());
    for (const std::int32_t capacity : {0, 1, 2, length, length + 1, length + 5}) {
        std::u16string buffer(static_cast<std::size_t>(length) + 8, u'#');
        EXPECT_EQ(TarnivaleAiModelRegistry_ResolveJson(request.c_str(), buffer.data(), capacity), length);
        const std::size_t copied = capacity < 1 ? 0 : std::min<std::size_t>(length, capacity - 1);
        EXPECT_EQ(QString::fromStdU16String(buffer.substr(0, copied)).toStdString(),
                  expected.substr(0, copied));
        EXPECT_EQ(buffer[copied], capacity < 1 ? u'#' : u'\0') << capacity;
        EXPECT_EQ(buffer[copied + 1], u'#') << capacity;
    }
}

TEST(RegistryFunctions, FailuresKeepTheirMessageInTheRegistrysOwnSlotPerThread) {
    QJsonObject noMatch = resolveRequest();
    noMatch.insert(u"version"_s, u"9"_s);
    QJsonObject badKey = resolveRequest();
    badKey.insert(u"trustedKeyBase64"_s, u"b3RoZXI="_s);
    QJsonObject banana = resolveRequest();
    banana.insert(u"sdkVersion"_s, u"banana"_s);
    const struct {
        QJsonObject request;
        std::string expected;
    } cases[] = {
        {noMatch, "No compatible model registry entry"},
        {badKey, "Registry index signature verification failed"},
        {banana, "Invalid semantic version: banana"},
        {QJsonObject{}, "Trusted registry signing key is required"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(call(TarnivaleAiModelRegistry_ResolveJson, c.request), "-1");
        EXPECT_EQ(lastError(), c.expected);
    }
    for (const char16_t* text : {static_cast<const char16_t*>(nullptr), u"", u"[1]", u"{"}) {
        EXPECT_EQ(TarnivaleAiModelRegistry_ResolveJson(text, nullptr, 0), -1);
        EXPECT_EQ(lastError(), "Registry resolve request must be JSON");
    }
    // The slot is the registry's: the synchronous functions' slot stays as it was, and another thread's
    // registry slot is its own.
    TarnivaleAI_Char* untouched = TarnivaleAI_GetLastError();
    EXPECT_EQ(QString::fromUtf16(untouched), QString());
    TarnivaleAI_FreeString(untouched);
    std::string otherThread;
    std::thread([&] { otherThread = lastError(); }).join();
    EXPECT_EQ(otherThread, "");
    EXPECT_EQ(lastError(), "Registry resolve request must be JSON");
    EXPECT_GT(
        TarnivaleAiModelRegistry_ResolveJson(
            QString::fromUtf8(QJsonDocument(resolveRequest()).toJson()).toStdU16String().c_str(), nullptr, 0),
        0);
    EXPECT_EQ(lastError(), "");
}

TEST(RegistryFunctions, InstallFromTheMirrorAndSign) {
    QTemporaryDir root;
    const QString mirror = root.filePath(u"mirror"_s);
    ASSERT_TRUE(QDir().mkpath(mirror));
    QJsonObject request = resolveRequest();
    request.insert(u"offlineMirrorDirectory"_s, mirror);
    request.insert(u"destinationDirectory"_s, root.filePath(u"models"_s));
    EXPECT_EQ(call(TarnivaleAiModelRegistry_InstallJson, request), "-1");
    EXPECT_EQ(lastError(), "Model is absent from the offline mirror");  // never online

    writeBytes(QDir(mirror).filePath(u"seg-1.2.tvmodel"_s), kArtifact);
    request.insert(u"maximumBytes"_s, kArtifact.size() - 1);
    EXPECT_EQ(call(TarnivaleAiModelRegistry_InstallJson, request), "-1");
    EXPECT_EQ(lastError(), "Model artifact exceeds byte budget");
    request.insert(u"maximumBytes"_s, kArtifact.size());
    const QJsonObject installed = QJsonDocument::fromJson(QByteArray::fromStdString(call(
                                                              TarnivaleAiModelRegistry_InstallJson, request)))
                                      .object();
    EXPECT_EQ(installed.value(u"installedPath"_s).toString(), root.filePath(u"models/seg-1.2.tvmodel"_s));
    EXPECT_EQ(installed.value(u"source"_s).toString(), u"offline-mirror"_s);
    EXPECT_EQ(installed.value(u"byteCount"_s).toInteger(), kArtifact.size());

    const QJsonObject entries =
        QJsonDocument::fromJson(AiModelRegistryIndex::signedJson({entry(u"2.0"_s)}, kKey)).object();
    const QJsonObject sign{{u"signingKeyBase64"_s, QString::fromLatin1(kKey.toBase64())},
                           {u"entries"_s, entries.value(u"entries"_s)}};
    EXPECT_EQ(call(TarnivaleAiModelRegistry_SignJson, sign),
              AiModelRegistryIndex::signedJson({entry(u"2.0"_s)}, kKey).toStdString());
    EXPECT_EQ(
        call(TarnivaleAiModelRegistry_SignJson, QJsonObject{{u"entries"_s, entries.value(u"entries"_s)}}),
        "-1");
    EXPECT_EQ(lastError(), "Registry signing key is required");
}
