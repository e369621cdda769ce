// TarnivaleAI_InspectModelPackageJson: the input is written as tarnivale-model.json into a package directory
// that holds add_one.onnx and detection_squares.onnx ("@SHA256_ADD_ONE@" and "@SHA256_SQUARES@" stand for
// their digests). A package reported valid must also be valid, with the same manifest, once its reported
// manifest is written back.

#include "fuzz/fuzz_support.h"

#include "runtime/sha256.h"

#include <QFile>
#include <QJsonDocument>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Fuzzing;

namespace {

QString g_package;
std::u16string g_directory;

void writeManifest(const QByteArray& bytes) {
    QFile file(g_package + QStringLiteral("/tarnivale-model.json"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
        fail("cannot write the manifest");
    }
}

std::optional<QJsonObject> inspect() {
    return checkedWideResult(TarnivaleAI_InspectModelPackageJson(g_directory.c_str()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    initialise("package-inspection", argc, argv);
    g_package = fixturePath(QStringLiteral("package"));
    g_directory = g_package.toStdU16String();
    const QString addOne =
        copyTestModel(QStringLiteral("add_one.onnx"), QStringLiteral("package/add_one.onnx"));
    const QString squares = copyTestModel(QStringLiteral("detection_squares.onnx"),
                                          QStringLiteral("package/detection_squares.onnx"));
    definePlaceholder("@SHA256_ADD_ONE@", sha256File(addOne).hex);
    definePlaceholder("@SHA256_SQUARES@", sha256File(squares).hex);
    definePlaceholder("@PACKAGE@", g_package);
    runText(R"({"schemaVersion": "1.0", "id": "m", "version": "1", "modelPath": "add_one.onnx",
        "modelSha256": "@SHA256_ADD_ONE@",
        "inputs": [{"name": "x", "dataType": "float32", "layout": "NCHW", "shape": [1, -1, -1, -1]}],
        "outputs": [{"name": "y", "dataType": "float32", "layout": "NCHW", "shape": [1, -1, -1, -1]}]})");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray manifest = substituted(data, size);
    if (!safeDocument(manifest)) {
        return Refused;
    }
    writeManifest(manifest);
    const std::optional<QJsonObject> first = inspect();
    if (!first || !first->value(QStringLiteral("valid")).toBool()) {
        return Ran;
    }
    const QJsonObject reported = first->value(QStringLiteral("manifest")).toObject();
    if (reported.isEmpty()) {
        fail("a valid package reported an empty manifest");
    }
    writeManifest(QJsonDocument(reported).toJson());
    const std::optional<QJsonObject> second = inspect();
    if (!second || !second->value(QStringLiteral("valid")).toBool()) {
        fail("the reported manifest of a valid package is not valid when written back: " +
             QJsonDocument(reported).toJson(QJsonDocument::Compact).toStdString());
    }
    if (second->value(QStringLiteral("manifest")).toObject() != reported) {
        fail("the reported manifest changes when written back: " +
             QJsonDocument(reported).toJson(QJsonDocument::Compact).toStdString() + " became " +
             QJsonDocument(second->value(QStringLiteral("manifest")).toObject())
                 .toJson(QJsonDocument::Compact)
                 .toStdString());
    }
    return Ran;
}
