// TarnivaleAI_RunObjectDetection: the input is the request. "@PACKAGE@" is the square-detector package,
// "@RASTER@" a georeferenced 96 x 80 scene with a red and a green square, "@RASTER_PLAIN@" a 64 x 64 scene
// without georeferencing, "@OUT@" the output directory: "outputPath" must stay inside it.

#include "fuzz/fuzz_support.h"

#include "detection/detection_fixture.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Fuzzing;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    initialise("object-detection", argc, argv);
    refuseUrls();
    AiModelManifest squares = Testing::squaresManifest();
    squares.inputAdapters[0].resize = "stretch";
    const QString package =
        AiModelPackage::create(fixturePath(QStringLiteral("squares")), squares, true).directoryPath();
    const QString scene = fixturePath(QStringLiteral("scene.tif"));
    Testing::writeScene(scene, 96, 80, {{16, 16, 10, 10, 0}, {58, 50, 10, 10, 1}});
    const QString plain = fixturePath(QStringLiteral("plain.tif"));
    Testing::writeScene(plain, 64, 64, {{8, 40, 12, 12, 1}}, false);

    definePlaceholder("@PACKAGE@", package);
    definePlaceholder("@RASTER_PLAIN@", plain);
    definePlaceholder("@RASTER@", scene);
    runText(R"({"packagePath": "@PACKAGE@", "rasterPath": "@RASTER@", "mode": "sliced",
        "outputPath": "@OUT@/found.gpkg"})");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string request = wideText(substituted(data, size));
    if (!safeWideDocument(request, {QStringLiteral("outputPath")})) {
        return Refused;
    }
    int calls = 0;
    const std::optional<QJsonObject> result =
        checkedWideResult(TarnivaleAI_RunObjectDetection(request.c_str(), &checkedProgress, &calls));
    if (result) {
        for (const QJsonValue& entry : result->value(QStringLiteral("detections")).toArray()) {
            const QJsonObject box = entry.toObject();
            const double xMin = box.value(QStringLiteral("xMin")).toDouble(NAN);
            const double yMin = box.value(QStringLiteral("yMin")).toDouble(NAN);
            const double xMax = box.value(QStringLiteral("xMax")).toDouble(NAN);
            const double yMax = box.value(QStringLiteral("yMax")).toDouble(NAN);
            if (!(xMin <= xMax && yMin <= yMax)) {
                fail("a detection with unordered or missing corners: " +
                     QJsonDocument(box).toJson(QJsonDocument::Compact).toStdString());
            }
        }
        const QString path = result->value(QStringLiteral("outputPath")).toString();
        if (!result->value(QStringLiteral("cancelled")).toBool() && !path.isEmpty() &&
            !QFileInfo(path).isFile()) {
            fail("a successful run did not write its outputPath: " + path.toStdString());
        }
    }
    clearOutputs();
    return Ran;
}
