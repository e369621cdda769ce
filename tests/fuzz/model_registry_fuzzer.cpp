// TarnivaleAiModelRegistry_ResolveJson: the input is the request, optionally followed by a line "---" and an
// index document. The harness signs that index with the request's "trustedKeyBase64" (replacing its
// "signature" only when it has none) and passes it as "signedIndex", so that mutations reach the rules
// behind the signature; an index that is not a JSON object is passed as its text.

#include "fuzz/fuzz_support.h"
#include "runtime/sha256.h"

#include <QJsonDocument>

#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Fuzzing;

namespace {

QString lastRegistryError() {
    const std::int32_t length = TarnivaleAiModelRegistry_LastError(nullptr, 0);
    if (length < 0) {
        fail("TarnivaleAiModelRegistry_LastError returned a negative length");
    }
    std::vector<char16_t> buffer(static_cast<std::size_t>(length) + 1, u'#');
    if (TarnivaleAiModelRegistry_LastError(buffer.data(), length + 1) != length || buffer.back() != 0) {
        fail("the last error changed length or was not terminated");
    }
    return QString::fromUtf16(buffer.data(), length);
}

std::u16string requestText(const DocumentPair& documents) {
    if (!documents.second) {
        return wideText(documents.first);
    }
    QJsonObject request = QJsonDocument::fromJson(documents.first).object();
    const QJsonDocument indexDocument = QJsonDocument::fromJson(*documents.second);
    QString signedIndex = QString::fromUtf8(*documents.second);
    if (indexDocument.isObject()) {
        QJsonObject index = indexDocument.object();
        if (!index.contains(QStringLiteral("signature"))) {
            const QByteArray key = QByteArray::fromBase64(
                request.value(QStringLiteral("trustedKeyBase64")).toString().toLatin1());
            index.insert(
                QStringLiteral("signature"),
                QString::fromLatin1(hmacSha256Hex(key, QJsonDocument(index).toJson(QJsonDocument::Compact))));
        }
        signedIndex = QString::fromUtf8(QJsonDocument(index).toJson(QJsonDocument::Compact));
    }
    request.insert(QStringLiteral("signedIndex"), signedIndex);
    return QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)).toStdU16String();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    initialise("model-registry", argc, argv);
    runText(R"({"trustedKeyBase64": "a2V5", "id": "m", "sdkVersion": "1"})"
            "\n---\n"
            R"({"schemaVersion": 1, "entries": [{"id": "m", "version": "1", "artifactUrl": "u",)"
            R"( "artifactSha256": "0000000000000000000000000000000000000000000000000000000000000000",)"
            R"( "license": "MIT", "licenseUrl": "l"}]})");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string request = requestText(splitDocuments(substituted(data, size)));
    const std::int32_t length = TarnivaleAiModelRegistry_ResolveJson(request.c_str(), nullptr, 0);
    const QString error = lastRegistryError();
    if (length < 0) {
        if (length != -1 || error.isEmpty()) {
            fail("a failure returned " + std::to_string(length) + " with the last error '" +
                 error.toStdString() + "'");
        }
        note(QStringLiteral("error: ") + error);
        return Ran;
    }
    if (!error.isEmpty()) {
        fail("an answer came with a nonempty last error: " + error.toStdString());
    }
    std::vector<char16_t> buffer(static_cast<std::size_t>(length) + 2, u'#');
    if (TarnivaleAiModelRegistry_ResolveJson(request.c_str(), buffer.data(), 1) != length || buffer[0] != 0 ||
        buffer[1] != u'#') {
        fail("a one-unit buffer did not get just the terminating 0");
    }
    if (TarnivaleAiModelRegistry_ResolveJson(request.c_str(), buffer.data(), length + 1) != length ||
        buffer[static_cast<std::size_t>(length)] != 0 || buffer.back() != u'#') {
        fail("an exact buffer did not get the whole answer and its terminating 0");
    }
    const QString text = QString::fromUtf16(buffer.data(), length);
    const QJsonObject answer = QJsonDocument::fromJson(text.toUtf8()).object();
    const QString fileName = answer.value(QStringLiteral("id")).toString() + QLatin1Char('-') +
                             answer.value(QStringLiteral("version")).toString() + QStringLiteral(".tvmodel");
    if (answer.size() != 6 || answer.value(QStringLiteral("artifactFileName")).toString() != fileName) {
        fail("the answer is not the resolved entry: " + text.left(300).toStdString());
    }
    note(QStringLiteral("result: ") + text);
    return Ran;
}
