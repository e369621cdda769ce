// The synchronous flat functions: the per-thread error slots, providers, diagnostics and package inspection,
// the raster run's options and outputs, the catalogue query, and input of the wrong types or sizes.

#include <tarnivale/ai/models.h>

#include "detection/detection_fixture.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"
#include "tasks/task_fixture.h"  // field(), text() and lastTaskError()

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>

#include <random>
#include <thread>
#include <tuple>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

// A returned string's text (null for null), freed.
QString taken(TarnivaleAI_Char* text) {
    const QString copy = text ? QString::fromUtf16(text) : QString();
    TarnivaleAI_FreeString(text);
    return copy;
}

QJsonObject json(TarnivaleAI_Char* text) {
    return QJsonDocument::fromJson(taken(text).toUtf8()).object();
}

std::string lastError() {
    return taken(TarnivaleAI_GetLastError()).toStdString();
}

std::u16string wide(const QString& text) {
    return text.toStdU16String();
}

std::u16string wide(const QJsonObject& object) {
    return wide(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

class Interop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        // Argmax of add_one's two outputs: band 1 (x + 1) from x = 6 on, band 2 (6.5) left of it.
        writeTestRaster(raster, {.width = 12, .height = 10, .bands = 2, .value = [](int band, int x, int) {
                                     return band == 1 ? x : 5.5;
                                 }});
        manifest.modelPath = model;
    }
    QTemporaryDir dir;
    const QString raster = dir.filePath("in.tif");
    const QString model = testModelPath("add_one.onnx");
    AiModelManifest manifest;
};

}  // namespace

// (The C host checks that the slots are never null and emptied by a success.)
TEST_F(Interop, ErrorSlotsArePerThreadAndSeparate) {
    // Malformed, non-object and lone-surrogate text: a clear error, never a crash.
    const char16_t lone[] = {u'{', 0xD800, u'}', 0};
    for (const char16_t* request : {u"[1, 2]", u"{\"provider\": ", lone}) {
        EXPECT_EQ(TarnivaleAI_GetRuntimeDiagnosticsJson(request), nullptr);
        EXPECT_EQ(lastError().rfind("Invalid AI request JSON: ", 0), 0u) << lastError();
    }
    std::string first, second;  // two threads failing differently at once each read their own message
    std::thread a([&] {
        taken(TarnivaleAI_GetRuntimeDiagnosticsJson(u"{\"provider\": \"gpu\"}"));
        first = lastError();
    });
    std::thread b([&] {
        taken(TarnivaleAI_InspectModelPackageJson(nullptr));
        second = lastError();
    });
    a.join();
    b.join();
    EXPECT_EQ(first, "Unknown AI execution provider: gpu");
    EXPECT_EQ(second, "Required wide string is null.");
    EXPECT_EQ(TarnivaleAI_StartTaskUtf8(nullptr), 0u);                 // the task slot is another one
    EXPECT_EQ(lastError().rfind("Invalid AI request JSON: ", 0), 0u);  // this thread's own
    EXPECT_EQ(lastTaskError(), "Task JSON is null.");
}

TEST_F(Interop, ProvidersDiagnosticsAndPackageInspection) {
    EXPECT_EQ(text(json(TarnivaleAI_GetAvailableProvidersJson()), "providers.0"), "CPU");
    const QJsonObject diagnostics = json(TarnivaleAI_GetRuntimeDiagnosticsJson(
        wide({{"provider", "CUDA"}, {"memoryBudgetBytes", -1}, {"modelPath", model}}).c_str()));
    EXPECT_EQ(text(diagnostics, "requestedProvider"), "CUDA");
    EXPECT_FALSE(field(diagnostics, "ready").toBool());
    EXPECT_EQ(field(diagnostics, "memoryBudgetBytes").toInteger(), -1);
    EXPECT_TRUE(field(diagnostics, "errors").toArray().contains("Memory budget must not be negative."));

    // A package whose model is missing is reported, not refused.
    manifest.id = "m";
    manifest.version = "1";
    manifest.inputs = {AiTensorSpec{"x", AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, -1, -1, -1}}};
    manifest.outputs = {AiTensorSpec{"y", AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, -1, -1, -1}}};
    const AiModelPackage package = AiModelPackage::create(dir.filePath("pkg"), manifest, true);
    const std::u16string directory = wide(package.directoryPath());
    QJsonObject inspection = json(TarnivaleAI_InspectModelPackageJson(directory.c_str()));
    EXPECT_TRUE(field(inspection, "valid").toBool());
    EXPECT_EQ(field(inspection, "modelSha256"), package.manifest().modelSha256);
    EXPECT_EQ(text(inspection, "inputs.0.dataType"), "Float32");
    EXPECT_EQ(text(inspection, "manifest.id"), "m");
    ASSERT_TRUE(QFile::remove(package.modelPath()));
    inspection = json(TarnivaleAI_InspectModelPackageJson(directory.c_str()));
    EXPECT_FALSE(field(inspection, "valid").toBool());
    EXPECT_EQ(text(inspection, "validationErrors.0"), "Package model file does not exist.");
    EXPECT_TRUE(field(inspection, "error").toString().startsWith("Could not read AI model file: "));
}

TEST_F(Interop, RasterRunOptionsOutputsAndRefusals) {
    // Float bands in capitals; a tiling object with some keys changes only those (the model takes any size).
    const std::u16string floatBands = wide(QStringLiteral(R"({"modelPath": "%1", "rasterPath": "%2",
        "outputMode": "FLOATBANDS", "tiling": {"width": 40, "overlapX": 3}})")
                                               .arg(model, raster));
    QJsonObject result = json(TarnivaleAI_RunRasterInference(floatBands.c_str(), nullptr, nullptr));
    EXPECT_EQ(text(result, "dataType"), "Float32") << lastError();
    EXPECT_EQ(field(result, "provenance.options.tiling"),
              (QJsonObject{{"width", 40}, {"height", 512}, {"overlapX", 3}, {"overlapY", 32}}));

    // Class mask with a package's class codes, a GeoTIFF and a colourised preview.
    manifest.id = "adder";
    manifest.version = "3";
    manifest.inputs = {AiTensorSpec{"x", AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 2, 8, 8}}};
    manifest.outputs = {AiTensorSpec{"y", AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 2, 8, 8}}};
    manifest.tiling = AiTileOptions{8, 8, 2, 2};
    manifest.metadata.insert("classCodes", QVariantList{10, 20});
    const QString package = AiModelPackage::create(dir.filePath("package"), manifest, true).directoryPath();
    const QString output = dir.filePath("classes.tif");
    const QString preview = dir.filePath("preview.tif");
    const std::u16string classes = wide(QStringLiteral(R"({"modelPackagePath": "%1", "rasterPath": "%2",
        "outputPath": "%3", "previewOutputPath": "%4", "applyManifestClassCodes": true,
        "classPalette": [{"code": 10, "red": 255, "green": 7}]})")
                                            .arg(package, raster, output, preview));
    std::pair<int, QString> seen;  // progress calls, last message
    const auto progress = [](int, int, int, const TarnivaleAI_Char* message, void* data) {
        static_cast<std::pair<int, QString>*>(data)->first++;
        static_cast<std::pair<int, QString>*>(data)->second = QString::fromUtf16(message);
    };
    result = json(TarnivaleAI_RunRasterInference(classes.c_str(), progress, &seen));
    ASSERT_FALSE(result.isEmpty()) << lastError();
    EXPECT_TRUE(field(result, "classCodesApplied").toBool());
    EXPECT_EQ(text(result, "provenance.model.id"), "adder");
    EXPECT_EQ(field(result, "processedTiles").toInt(), 4);
    EXPECT_EQ(field(result, "geoTransform.0").toDouble(), 500000.0);
    EXPECT_EQ(seen, std::make_pair(4, QStringLiteral("Processed AI tile 4 of 4.")));
    // x = 0: band 2 wins, index 1, code 20 (no colour: grey); x = 11: band 1 wins, index 0, code 10.
    const std::vector<double> pixels = {readTestBand(output, 1)[0],   readTestBand(output, 1)[11],
                                        readTestBand(preview, 1)[0],  readTestBand(preview, 1)[11],
                                        readTestBand(preview, 2)[11], readTestBand(preview, 3)[11]};
    EXPECT_EQ(pixels, (std::vector<double>{20, 10, 128, 255, 7, 0}));

    // A package that fails validation: its messages, and nothing runs or is written.
    QFile::remove(QDir(package).filePath("add_one.onnx"));
    QFile::remove(output);
    EXPECT_EQ(TarnivaleAI_RunRasterInference(classes.c_str(), nullptr, nullptr), nullptr);
    EXPECT_EQ(lastError(), "Package model file does not exist.");
    EXPECT_FALSE(QFileInfo::exists(output));
    // A memory budget the run exceeds ends it with the context's refusal in the error slot.
    const std::u16string tooSmall =
        wide({{"modelPath", model}, {"rasterPath", raster}, {"memoryBudgetBytes", 16}});
    EXPECT_EQ(TarnivaleAI_RunRasterInference(tooSmall.c_str(), nullptr, nullptr), nullptr);
    EXPECT_NE(lastError(), "");
    // The extension keys are refused by name when mistyped, and need a package.
    for (const auto& [extra, message] : std::vector<std::pair<QJsonObject, std::string>>{
             {{{"estimateOnly", "yes"}},
              "Raster inference request key 'estimateOnly' must be true or false."},
             {{{"outputFormat", 1}}, "Raster inference request key 'outputFormat' must be a string."},
             {{{"outputFormat", "PNG"}}, "Unknown raster output format: PNG"},
             {{{"useInputAdapter", true}},
              "Input adapters and output decoders come from a model package: modelPackagePath is "
              "required."}}) {
        QJsonObject request{{"modelPath", model}, {"rasterPath", raster}};
        for (auto it = extra.begin(); it != extra.end(); ++it) {
            request.insert(it.key(), it.value());
        }
        const std::u16string text = wide(request);
        EXPECT_EQ(TarnivaleAI_RunRasterInference(text.c_str(), nullptr, nullptr), nullptr);
        EXPECT_EQ(lastError(), message);
    }
}

TEST_F(Interop, CatalogQuery) {
    const char16_t* catalog =
        uR"({"items": [{"id": "b", "crs": "EPSG:4326", "caption": "Green Forest",
        "extent": {"maximumX": 1, "maximumY": 1}, "questionAnswers": {"what?": "trees"}, "detections": [{"label":
        "tree", "confidence": 0.9, "extent": {"minimumX": -1, "minimumY": -2, "maximumX": 3, "maximumY": 4}}]},
        {"id": "a", "crs": "EPSG:4326", "caption": "forest"}]})";
    const auto query = [&](const char16_t* request) {
        return json(TarnivaleAI_RunVlmCatalogQuery(catalog, request));
    };
    const QJsonObject result = query(uR"({"text": "FOREST"})");
    EXPECT_EQ(text(result, "schemaVersion"), "1.0");
    EXPECT_EQ(field(result, "catalogSize").toInt(), 2);
    EXPECT_EQ(field(result, "results").toArray().size(), 2);
    EXPECT_EQ(text(result, "results.0.itemId"), "a");
    EXPECT_EQ(
        text(query(uR"({"mode": "Question-Answer", "itemId": "b", "text": "WHAT?"})"), "results.0.answer"),
        "trees");
    EXPECT_EQ(field(query(uR"({"mode": "detection", "itemId": "b"})"), "results.0.detections.0.extent"),
              (QJsonObject{{"minimumX", -1}, {"minimumY", -2}, {"maximumX", 3}, {"maximumY", 4}}));
    EXPECT_TRUE(query(uR"({"maximumResults": 101})").isEmpty());
    EXPECT_EQ(lastError(), "VLM maximumResults must be between 1 and 100.");
    EXPECT_TRUE(json(TarnivaleAI_RunVlmCatalogQuery(u"{}", u"{}")).isEmpty());
    EXPECT_EQ(lastError(), "VLM catalog must not be empty.");
}

TEST_F(Interop, WrongTypesAndHugeTextNeverCrash) {
    // Every key of a raster request with a value of the wrong JSON type: defaults, then the run's refusal.
    const char16_t* wrongTypes =
        uR"({"modelPath": 7, "rasterPath": [], "bands": "1,2", "provider": 3,
        "intraOpThreads": "two", "enableMemoryPattern": "yes", "memoryBudgetBytes": "lots", "outputMode": 1,
        "tiling": 5, "normalization": "none", "applyManifestClassCodes": "true", "outputPath": 9,
        "classPalette": {}})";
    EXPECT_EQ(TarnivaleAI_RunRasterInference(wrongTypes, nullptr, nullptr), nullptr);
    EXPECT_EQ(lastError(), "AI model path is required.");
    const QJsonObject report =
        json(TarnivaleAI_GetRuntimeDiagnosticsJson(uR"({"modelPath": 1, "memoryBudgetBytes": true})"));
    EXPECT_EQ(field(report, "memoryBudgetBytes").toInteger(), 0);
    EXPECT_TRUE(
        field(report, "warnings").toArray().contains("No model was supplied for compatibility inspection."));

    // Band numbers beyond 32 bits do not wrap onto band 1; absurd thread counts are refused, not started.
    const std::u16string wrapped = wide({{"modelPath", testModelPath("add_one.onnx")},
                                         {"rasterPath", raster},
                                         {"bands", QJsonArray{4294967297.0}}});
    EXPECT_EQ(TarnivaleAI_RunRasterInference(wrapped.c_str(), nullptr, nullptr), nullptr);
    EXPECT_EQ(lastError(), "AI raster input band is outside the dataset band range.");
    for (const char* key : {"intraOpThreads", "interOpThreads"}) {
        const std::u16string threads =
            wide({{"modelPath", testModelPath("add_one.onnx")}, {"rasterPath", raster}, {key, 5000}});
        EXPECT_EQ(TarnivaleAI_RunRasterInference(threads.c_str(), nullptr, nullptr), nullptr);
        EXPECT_EQ(lastError(), "AI session thread counts must not exceed 1024.");
        EXPECT_EQ(TarnivaleAI_GetRuntimeDiagnosticsJson(threads.c_str()), nullptr);
        EXPECT_EQ(lastError(), "AI session thread counts must not exceed 1024.");
    }

    // A device where a model is expected is refused before it is read or hashed (it used to hang).
    const std::u16string device = wide({{"modelPath", "/dev/zero"}, {"rasterPath", raster}});
    EXPECT_EQ(TarnivaleAI_RunRasterInference(device.c_str(), nullptr, nullptr), nullptr);
    EXPECT_EQ(lastError(), "ONNX model file does not exist: /dev/zero");
    const QJsonObject zero = json(TarnivaleAI_GetRuntimeDiagnosticsJson(u"{\"modelPath\": \"/dev/zero\"}"));
    EXPECT_TRUE(field(zero, "errors").toArray().contains("ONNX model file cannot be read: /dev/zero"));

    // A huge path comes back in the error text intact, in a buffer of exactly its length plus the NUL.
    const QString huge(2'000'000, QLatin1Char('p'));
    const std::u16string request = wide({{"modelPath", huge}, {"rasterPath", raster}});
    EXPECT_EQ(TarnivaleAI_RunRasterInference(request.c_str(), nullptr, nullptr), nullptr);
    TarnivaleAI_Char* error = TarnivaleAI_GetLastError();
    const QString message = QString::fromUtf16(error);
    EXPECT_TRUE(message.endsWith(huge));
    EXPECT_EQ(error[message.size()], 0);
    TarnivaleAI_FreeString(error);
}

TEST_F(Interop, ObjectDetectionRunsRefusesWrongTypesAndSurvivesMutatedRequests) {
    AiModelManifest squares = squaresManifest();
    squares.inputAdapters[0].resize = "stretch";
    const QString package = AiModelPackage::create(dir.filePath("squares"), squares, true).directoryPath();
    const QString scene = dir.filePath("squares.tif");
    writeScene(scene, 120, 100, {{20, 20, 10, 10, 0}, {58, 70, 10, 10, 1}});
    const QString gpkg = dir.filePath("found.gpkg");
    const QJsonObject valid{{"packagePath", package}, {"rasterPath", scene}, {"mode", "sliced"},
                            {"overlapX", 16},         {"overlapY", 16},      {"outputPath", gpkg}};
    QList<int> windows;
    const auto record = [](int completed, int, int, const TarnivaleAI_Char*, void* list) {
        static_cast<QList<int>*>(list)->append(completed);
    };
    const std::u16string request = wide(valid);
    const QJsonObject result = json(TarnivaleAI_RunObjectDetection(request.c_str(), record, &windows));
    EXPECT_EQ(field(result, "featureCount").toInt(), 2);
    const QJsonObject first = field(result, "detections").toArray().at(0).toObject();
    EXPECT_EQ(field(first, "label").toString() + QString::number(field(first, "xMin").toDouble()), "red20");
    EXPECT_EQ(field(first, "footprint").toArray().size(), 4);
    EXPECT_EQ(windows.last(), 6);  // 3 columns x 2 rows
    EXPECT_TRUE(QFileInfo::exists(gpkg));

    for (const auto& [key, value, message] : std::vector<std::tuple<QString, QJsonValue, std::string>>{
             {"scoreThreshold", "0.5", "Detection request key 'scoreThreshold' must be a number."},
             {"tileWidth", 1.5, "Detection request key 'tileWidth' must be a 32-bit integer."},
             {"overlapY", 1e10, "Detection request key 'overlapY' must be a 32-bit integer."},
             {"classAgnosticMerge", 1, "Detection request key 'classAgnosticMerge' must be true or false."},
             {"packagePath", QJsonArray{}, "Detection request key 'packagePath' must be a string."},
             {"mode", "tiled", "Unsupported detection mode: tiled"},
             {"outputPath", gpkg, "Detection output already exists: " + gpkg.toStdString()},
             {"nmsThreshold", 1.5, "AI detection score and NMS thresholds must be between 0 and 1."}}) {
        QJsonObject wrong = valid;
        wrong.insert(key, value);
        const std::u16string text = wide(wrong);
        EXPECT_EQ(TarnivaleAI_RunObjectDetection(text.c_str(), nullptr, nullptr), nullptr);
        EXPECT_EQ(lastError(), message);
    }

    // A seeded mutation loop over the request's text: any answer is fine, a crash or a leak is not (the
    // sanitizer builds run this too). Outputs go to a fresh path, so successes do not pile up refusals.
    QJsonObject base = valid;
    base.insert("mode", "oneShot");
    base.remove("outputPath");
    const QByteArray seed = QJsonDocument(base).toJson(QJsonDocument::Compact);
    const QByteArray alphabet = "{}[]\",:0123456789.-eE truefalsnul\\/";
    std::mt19937 random(20261207);
    int answered = 0;
    for (int round = 0; round < 300; ++round) {
        QByteArray text = seed;
        for (int edit = 0, edits = 1 + static_cast<int>(random() % 4); edit < edits; ++edit) {
            const int at = static_cast<int>(random() % static_cast<unsigned>(text.size()));
            switch (random() % 3) {
                case 0:
                    text[at] = alphabet[static_cast<int>(random() % alphabet.size())];
                    break;
                case 1:
                    text.remove(at, 1 + static_cast<int>(random() % 8));
                    break;
                default:
                    text.insert(at, text.mid(static_cast<int>(random() % text.size()), 12));
            }
        }
        TarnivaleAI_Char* answer = TarnivaleAI_RunObjectDetection(
            QString::fromUtf8(text).toStdU16String().c_str(), nullptr, nullptr);
        answered += answer != nullptr;
        TarnivaleAI_FreeString(answer);
        if (answer == nullptr) {
            EXPECT_FALSE(lastError().empty());
        }
    }
    EXPECT_GT(answered, 0);
}
