// The registry's flat functions: answers and their length protocol, the registry's own per-thread error
// slot, and installing and signing through JSON.

#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/models.h>

#include "runtime/sha256.h"
#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <thread>
#include <tuple>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

const QByteArray kKey = "interop registry key";
const QByteArray kArtifact = "artifact bytes";

using RegistryFunction = std::int32_t (*)(const TarnivaleAI_Char*, TarnivaleAI_Char*, std::int32_t);

std::u16string textOf(const QJsonObject& request) {
    return QString::fromUtf8(QJsonDocument(request).toJson()).toStdU16String();
}

// The answer fetched the way a host does: ask the length, then call again with room for it; "-1" on failure.
std::string call(RegistryFunction function, const QJsonObject& request) {
    const std::u16string text = textOf(request);
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
    const QString url = u"https://models.example/seg"_s;
    const QString licenseUrl = u"https://opensource.org/license/mit"_s;
    return {u"seg"_s, version, url, Sha256::hex(kArtifact), u"MIT"_s, licenseUrl, u"1.0"_s, {}};
}

QJsonObject request(std::initializer_list<std::pair<QString, QJsonValue>> changes = {}) {
    QJsonObject object{{u"trustedKeyBase64"_s, QString::fromLatin1(kKey.toBase64())},
                       {u"signedIndex"_s, QString::fromUtf8(AiModelRegistryIndex::signedJson(
                                              {entry(u"1.0"_s), entry(u"1.2"_s)}, kKey))},
                       {u"id"_s, u"seg"_s},
                       {u"sdkVersion"_s, u"2"_s}};
    for (const auto& [key, value] : changes) {
        object.insert(key, value);
    }
    return object;
}

}  // namespace

TEST(RegistryFunctions, ResolveAnswersTheEntryAndCopiesWhatFits) {
    const std::string expected = R"({"artifactFileName":"seg-1.2.tvmodel","artifactSha256":")" +
                                 Sha256::hex(kArtifact).toStdString() +
                                 R"(","artifactUrl":"https://models.example/seg","id":"seg","license":"MIT",)"
                                 R"("version":"1.2"})";
    EXPECT_EQ(call(TarnivaleAiModelRegistry_ResolveJson, request()), expected);
    EXPECT_EQ(lastError(), "");

    const std::u16string text = textOf(request());
    const auto length = static_cast<std::int32_t>(expected.size());
    for (const std::int32_t capacity : {0, 1, 2, length, length + 1, length + 5}) {
        std::u16string buffer(static_cast<std::size_t>(length) + 8, u'#');
        EXPECT_EQ(TarnivaleAiModelRegistry_ResolveJson(text.c_str(), buffer.data(), capacity), length);
        const std::size_t copied = capacity < 1 ? 0 : std::min<std::size_t>(length, capacity - 1);
        EXPECT_EQ(QString::fromStdU16String(buffer.substr(0, copied)).toStdString(),
                  expected.substr(0, copied));
        EXPECT_EQ(buffer[copied], capacity < 1 ? u'#' : u'\0') << capacity;
        EXPECT_EQ(buffer[copied + 1], u'#') << capacity;
    }
}

TEST(RegistryFunctions, FailuresKeepTheirMessageInTheRegistrysOwnSlotPerThreadUntilASuccess) {
    QTemporaryDir root;
    ASSERT_TRUE(QDir(root.path()).mkpath(u"full"_s));
    writeBytes(root.filePath(u"full/seg-1.2.tvmodel"_s), kArtifact);
    const auto install = [&](const char* mirror, qint64 budget) {
        return request({{u"offlineMirrorDirectory"_s, root.filePath(QString::fromLatin1(mirror))},
                        {u"destinationDirectory"_s, root.filePath(u"models"_s)},
                        {u"maximumBytes"_s, budget}});
    };
    const auto resolve = TarnivaleAiModelRegistry_ResolveJson;
    const auto sign = TarnivaleAiModelRegistry_SignJson;
    const std::string resolveJson = "Registry resolve request must be JSON";
    const std::tuple<RegistryFunction, std::u16string, std::string> cases[] = {
        {resolve, textOf(request({{u"version"_s, u"9"_s}})), "No compatible model registry entry"},
        {resolve, textOf(request({{u"trustedKeyBase64"_s, u"b3RoZXI="_s}})),
         "Registry index signature verification failed"},
        {resolve, textOf(request({{u"sdkVersion"_s, u"banana"_s}})), "Invalid semantic version: banana"},
        {resolve, textOf({}), "Trusted registry signing key is required"},
        {resolve, u"", resolveJson},
        {resolve, u"[1]", resolveJson},
        {resolve, u"{", resolveJson},
        {TarnivaleAiModelRegistry_InstallJson, u"[1]", "Registry install request must be JSON"},
        {TarnivaleAiModelRegistry_InstallJson, textOf(install("empty", 0)),
         "Model is absent from the offline mirror"},  // never online
        {TarnivaleAiModelRegistry_InstallJson, textOf(install("full", kArtifact.size() - 1)),
         "Model artifact exceeds byte budget"},
        {sign, u"[1]", "Registry sign request must be JSON"},
        {sign, textOf({{u"entries"_s, QJsonArray{}}}), "Registry signing key is required"},
    };
    for (const auto& [function, text, expected] : cases) {
        EXPECT_EQ(function(text.c_str(), nullptr, 0), -1) << expected;
        EXPECT_EQ(lastError(), expected);
    }
    EXPECT_EQ(resolve(nullptr, nullptr, 0), -1);
    EXPECT_EQ(lastError(), resolveJson);
    // The slot is the registry's: the synchronous functions' slot stays as it was, and another thread's
    // registry slot is its own; the next success clears it.
    TarnivaleAI_Char* untouched = TarnivaleAI_GetLastError();
    EXPECT_EQ(QString::fromUtf16(untouched), QString());
    TarnivaleAI_FreeString(untouched);
    std::string otherThread;
    std::thread([&] { otherThread = lastError(); }).join();
    EXPECT_EQ(otherThread, "");
    EXPECT_EQ(lastError(), resolveJson);
    const std::string answer = call(TarnivaleAiModelRegistry_InstallJson, install("full", kArtifact.size()));
    const QJsonObject installed = QJsonDocument::fromJson(QByteArray::fromStdString(answer)).object();
    EXPECT_EQ(lastError(), "");
    EXPECT_EQ(installed.value(u"installedPath"_s).toString(), root.filePath(u"models/seg-1.2.tvmodel"_s));
    EXPECT_EQ(installed.value(u"source"_s).toString(), u"offline-mirror"_s);
    EXPECT_EQ(installed.value(u"byteCount"_s).toInteger(), kArtifact.size());

    const QByteArray signedIndex = AiModelRegistryIndex::signedJson({entry(u"2.0"_s)}, kKey);
    const QJsonObject entries{
        {u"signingKeyBase64"_s, QString::fromLatin1(kKey.toBase64())},
        {u"entries"_s, QJsonDocument::fromJson(signedIndex).object().value(u"entries"_s)}};
    EXPECT_EQ(call(sign, entries), signedIndex.toStdString());
}
