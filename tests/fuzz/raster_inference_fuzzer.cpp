// TarnivaleAI_RunRasterInference: the input is the request. "@RASTER@" is a georeferenced 12 x 10 two-band
// Float32 raster, "@RASTER_PLAIN@" a 9 x 7 three-band Byte raster with nodata and no georeferencing,
// "@PACKAGE@" a package around add_one.onnx (8 x 8 tiles, class codes 10 and 20), "@MODEL@" add_one.onnx,
// "@OUT@" the output directory: "outputPath" and "previewOutputPath" must stay inside it.

#include "fuzz/fuzz_support.h"

#include <tarnivale/ai/models.h>

#include "support/raster_fixture.h"

#include <QFileInfo>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Fuzzing;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    initialise("raster-inference", argc, argv);
    refuseUrls();
    const QString raster = fixturePath(QStringLiteral("raster.tif"));
    Testing::writeTestRaster(raster,
                             {.width = 12, .height = 10, .bands = 2, .value = [](int band, int x, int) {
                                  return band == 1 ? x : 5.5;
                              }});
    const QString plain = fixturePath(QStringLiteral("plain.tif"));
    Testing::TestRasterSpec spec{.width = 9, .height = 7, .bands = 3, .dataType = GDT_Byte};
    spec.geoTransform.reset();
    spec.epsg = 0;
    spec.noData = 0.0;
    spec.value = [](int band, int x, int y) { return (band * 40 + x * 7 + y * 3) % 256; };
    Testing::writeTestRaster(plain, spec);

    AiModelManifest manifest;
    manifest.id = "adder";
    manifest.version = "3";
    manifest.modelPath = testModel(QStringLiteral("add_one.onnx"));
    manifest.inputs = {AiTensorSpec{"x", AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 2, 8, 8}}};
    manifest.outputs = {AiTensorSpec{"y", AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 2, 8, 8}}};
    manifest.tiling = AiTileOptions{8, 8, 2, 2};
    manifest.metadata.insert("classCodes", QVariantList{10, 20});
    const QString package =
        AiModelPackage::create(fixturePath(QStringLiteral("package")), manifest, true).directoryPath();

    definePlaceholder("@RASTER_PLAIN@", plain);
    definePlaceholder("@RASTER@", raster);
    definePlaceholder("@PACKAGE@", package);
    runText(R"({"modelPackagePath": "@PACKAGE@", "rasterPath": "@RASTER@", "outputPath": "@OUT@/c.tif"})");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string request = wideText(substituted(data, size));
    if (!safeWideDocument(request, {QStringLiteral("outputPath"), QStringLiteral("previewOutputPath")})) {
        return Refused;
    }
    int calls = 0;
    const std::optional<QJsonObject> result =
        checkedWideResult(TarnivaleAI_RunRasterInference(request.c_str(), &checkedProgress, &calls));
    if (result && !result->value(QStringLiteral("cancelled")).toBool()) {
        for (const char* key : {"outputPath", "previewOutputPath"}) {
            const QString path = result->value(QLatin1String(key)).toString();
            if (!path.isEmpty() && !QFileInfo(path).isFile()) {
                fail(std::string("a successful run did not write its ") + key + ": " + path.toStdString());
            }
        }
    }
    clearOutputs();
    return Ran;
}
