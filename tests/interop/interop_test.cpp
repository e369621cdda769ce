// The synchronous flat functions: JSON in and out, the per-thread error slot, and the raster run's options.

#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/models.h>

#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <thread>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

// Owns a returned string and reads it back.
class Returned {
public:
    explicit Returned(TarnivaleAI_Char* text) : m_text(text) {}
    ~Returned() { TarnivaleAI_FreeString(m_text); }
    Returned(const Returned&) = delete;
    Returned& operator=(const Returned&) = delete;
    bool isNull() const { return m_text == nullptr; }
    QString text() const { return m_text ? QString::fromUtf16(m_text) : QString(); }
    QJsonObject json() const { return QJsonDocument::fromJson(text().toUtf8()).object(); }

private:
    TarnivaleAI_Char* m_text;
};

QString lastError() {
    return Returned(TarnivaleAI_GetLastError()).text();
}

std::u16string wide(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)).toStdU16String();
}

class Interop : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        raster = dir.filePath(QStringLiteral("in.tif"));
        TestRasterSpec spec;
        spec.width = 12;
        spec.height = 10;
        spec.bands = 2;
        spec.value = [](int band, int x, int) { return band == 1 ? x : 5.5; };  // argmax: 1 left of x = 6
        writeTestRaster(raster, spec);
    }
    QJsonObject rasterRequest() const {
        return QJsonObject{{QStringLiteral("modelPath"), testModelPath(QStringLiteral("add_one.onnx"))},
                           {QStringLiteral("rasterPath"), raster},
                           {QStringLiteral("tiling"), QJsonObject{{QStringLiteral("width"), 8},
                                                                  {QStringLiteral("height"), 8},
                                                                  {QStringLiteral("overlapX"), 2},
                                                                  {QStringLiteral("overlapY"), 2}}}};
    }
    QTemporaryDir dir;
    QString raster;
};

}  // namespace

TEST_F(Interop, ErrorsAreKeptPerThreadAndClearedBySuccess) {
    EXPECT_TRUE(Returned(TarnivaleAI_GetRuntimeDiagnosticsJson(nullptr)).isNull());
    EXPECT_EQ(lastError(), QStringLiteral("Required wide string is null."));
    EXPECT_FALSE(Returned(TarnivaleAI_GetAvailableProvidersJson()).isNull());
    EXPECT_EQ(lastError(), QString());

    const std::u16string array = u"[1, 2]";
    EXPECT_TRUE(Returned(TarnivaleAI_GetRuntimeDiagnosticsJson(array.c_str())).isNull());
    EXPECT_TRUE(lastError().startsWith(QStringLiteral("Invalid AI request JSON: ")))
        << lastError().toStdString();
    const std::u16string broken = u"{\"provider\": ";
    EXPECT_TRUE(Returned(TarnivaleAI_GetRuntimeDiagnosticsJson(broken.c_str())).isNull());
    EXPECT_TRUE(lastError().startsWith(QStringLiteral("Invalid AI request JSON: ")));

    // Two threads failing differently at once each read their own message.
    QString first;
    QString second;
    std::thread a([&] {
        const std::u16string gpu = u"{\"provider\": \"gpu\"}";
        Returned(TarnivaleAI_GetRuntimeDiagnosticsJson(gpu.c_str()));
        first = lastError();
    });
    std::thread b([&] {
        Returned(TarnivaleAI_InspectModelPackageJson(nullptr));
        second = lastError();
    });
    a.join();
    b.join();
    EXPECT_EQ(first, QStringLiteral("Unknown AI execution provider: gpu"));
    EXPECT_EQ(second, QStringLiteral("Required wide string is null."));
    EXPECT_TRUE(lastError().startsWith(QStringLiteral("Invalid AI request JSON: ")));  // this thread's own

    // Lone surrogates are converted, not trusted: a clear error, never a crash.
    const char16_t lone[] = {u'{', 0xD800, u'}', 0};
    EXPECT_TRUE(Returned(TarnivaleAI_GetRuntimeDiagnosticsJson(lone)).isNull());
    EXPECT_TRUE(lastError().startsWith(QStringLiteral("Invalid AI request JSON: ")));
    TarnivaleAI_FreeString(nullptr);
}

TEST_F(Interop, ProvidersDiagnosticsAndPackageInspection) {
    const QJsonArray providers =
        Returned(TarnivaleAI_GetAvailableProvidersJson()).json().value(QStringLiteral("providers")).toArray();
    ASSERT_FALSE(providers.isEmpty());
    EXPECT_EQ(providers.first().toString(), QStringLiteral("CPU"));

    const std::u16string request =
        wide(QJsonObject{{QStringLiteral("provider"), QStringLiteral("CUDA")},
                         {QStringLiteral("memoryBudgetBytes"), -1},
                         {QStringLiteral("modelPath"), testModelPath(QStringLiteral("add_one.onnx"))}});
    const QJsonObject diagnostics = Returned(TarnivaleAI_GetRuntimeDiagnosticsJson(request.c_str())).json();
    EXPECT_EQ(diagnostics.value(QStringLiteral("requestedProvider")).toString(), QStringLiteral("CUDA"));
    EXPECT_FALSE(diagnostics.value(QStringLiteral("ready")).toBool());
    EXPECT_EQ(diagnostics.value(QStringLiteral("memoryBudgetBytes")).toInteger(), -1);
    EXPECT_TRUE(diagnostics.value(QStringLiteral("errors"))
                    .toArray()
                    .contains(QStringLiteral("Memory budget must not be negative.")));
    EXPECT_EQ(diagnostics.size(), 17);

    // A package whose model is missing is reported, not refused.
    AiModelManifest manifest;
    manifest.id = QStringLiteral("m");
    manifest.version = QStringLiteral("1");
    manifest.modelPath = testModelPath(QStringLiteral("add_one.onnx"));
    manifest.inputs = {
        AiTensorSpec{QStringLiteral("x"), AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, -1, -1, -1}}};
    manifest.outputs = {
        AiTensorSpec{QStringLiteral("y"), AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, -1, -1, -1}}};
    const AiModelPackage package =
        AiModelPackage::create(dir.filePath(QStringLiteral("pkg")), manifest, true);
    const std::u16string path = package.directoryPath().toStdU16String();
    QJsonObject inspection = Returned(TarnivaleAI_InspectModelPackageJson(path.c_str())).json();
    EXPECT_TRUE(inspection.value(QStringLiteral("valid")).toBool());
    EXPECT_EQ(inspection.value(QStringLiteral("modelSha256")).toString(), package.manifest().modelSha256);
    EXPECT_EQ(inspection.value(QStringLiteral("inputs"))
                  .toArray()
                  .at(0)
                  .toObject()
                  .value(QStringLiteral("dataType"))
                  .toString(),
              QStringLiteral("Float32"));
    EXPECT_EQ(inspection.value(QStringLiteral("manifest")).toObject().value(QStringLiteral("id")).toString(),
              QStringLiteral("m"));

    ASSERT_TRUE(QFile::remove(package.modelPath()));
    inspection = Returned(TarnivaleAI_InspectModelPackageJson(path.c_str())).json();
    EXPECT_FALSE(inspection.value(QStringLiteral("valid")).toBool());
    EXPECT_EQ(inspection.value(QStringLiteral("validationErrors")).toArray().at(0).toString(),
              QStringLiteral("Package model file does not exist."));
    EXPECT_TRUE(inspection.value(QStringLiteral("error"))
                    .toString()
                    .startsWith(QStringLiteral("Could not read AI model file: ")));
}

TEST_F(Interop, RasterRunOptionsOutputsAndRefusals) {
    // Float bands in capitals, a tiling object with only a width, explicit normalisation.
    QJsonObject request = rasterRequest();
    request.insert(QStringLiteral("outputMode"), QStringLiteral("FLOATBANDS"));
    request.insert(QStringLiteral("tiling"), QJsonObject{{QStringLiteral("width"), 40}});
    std::u16string text = wide(request);
    QJsonObject result = Returned(TarnivaleAI_RunRasterInference(text.c_str(), nullptr, nullptr)).json();
    EXPECT_EQ(result.value(QStringLiteral("dataType")).toString(), QStringLiteral("Float32"))
        << lastError().toStdString();
    // Only the width changed: the tile is 40 x 512 (the model takes any size).
    const QJsonObject tiling = result.value(QStringLiteral("provenance"))
                                   .toObject()
                                   .value(QStringLiteral("options"))
                                   .toObject()
                                   .value(QStringLiteral("tiling"))
                                   .toObject();
    EXPECT_EQ(tiling.value(QStringLiteral("width")).toInt(), 40);
    EXPECT_EQ(tiling.value(QStringLiteral("height")).toInt(), 512);

    // Class mask with a package's class codes, a GeoTIFF and a colourised preview.
    AiModelManifest manifest;
    manifest.id = QStringLiteral("adder");
    manifest.version = QStringLiteral("3");
    manifest.modelPath = testModelPath(QStringLiteral("add_one.onnx"));
    manifest.inputs = {
        AiTensorSpec{QStringLiteral("x"), AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 2, 8, 8}}};
    manifest.outputs = {
        AiTensorSpec{QStringLiteral("y"), AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 2, 8, 8}}};
    manifest.tiling = AiTileOptions{8, 8, 2, 2};
    manifest.metadata.insert(QStringLiteral("classCodes"), QVariantList{10, 20});
    const QString packageDirectory = dir.filePath(QStringLiteral("package"));
    AiModelPackage::create(packageDirectory, manifest, true);

    const QString output = dir.filePath(QStringLiteral("classes.tif"));
    const QString preview = dir.filePath(QStringLiteral("preview.tif"));
    request =
        QJsonObject{{QStringLiteral("modelPackagePath"), packageDirectory},
                    {QStringLiteral("rasterPath"), raster},
                    {QStringLiteral("applyManifestClassCodes"), true},
                    {QStringLiteral("outputPath"), output},
                    {QStringLiteral("previewOutputPath"), preview},
                    {QStringLiteral("classPalette"),
                     QJsonArray{QJsonObject{{QStringLiteral("code"), 10}, {QStringLiteral("red"), 255}}}}};
    text = wide(request);
    struct Seen {
        int calls = 0;
        QString message;
    } seen;
    const auto progress = [](int, int, int, const TarnivaleAI_Char* message, void* data) {
        auto* s = static_cast<Seen*>(data);
        ++s->calls;
        s->message = QString::fromUtf16(message);
    };
    result = Returned(TarnivaleAI_RunRasterInference(text.c_str(), progress, &seen)).json();
    ASSERT_FALSE(result.isEmpty()) << lastError().toStdString();
    EXPECT_TRUE(result.value(QStringLiteral("classCodesApplied")).toBool());
    EXPECT_EQ(result.value(QStringLiteral("provenance"))
                  .toObject()
                  .value(QStringLiteral("model"))
                  .toObject()
                  .value(QStringLiteral("id"))
                  .toString(),
              QStringLiteral("adder"));
    EXPECT_EQ(result.value(QStringLiteral("processedTiles")).toInt(), 4);
    EXPECT_EQ(seen.calls, 4);
    EXPECT_EQ(seen.message, QStringLiteral("Processed AI tile 4 of 4."));
    EXPECT_EQ(result.value(QStringLiteral("geoTransform")).toArray().size(), 6);
    const std::vector<double> classes = readTestBand(output, 1);
    EXPECT_EQ(classes[0], 20.0);   // x = 0: band 2 (5.5) beats band 1 (0): index 1 -> code 20
    EXPECT_EQ(classes[11], 10.0);  // x = 11: band 1 wins: index 0 -> code 10
    EXPECT_EQ(readTestBand(preview, 1)[11], 255.0);
    EXPECT_EQ(readTestBand(preview, 1)[0], 128.0);

    // A package that fails validation: its messages joined by spaces, and nothing runs or is written.
    QFile::remove(QDir(packageDirectory).filePath(QStringLiteral("add_one.onnx")));
    QFile::remove(output);
    EXPECT_TRUE(Returned(TarnivaleAI_RunRasterInference(text.c_str(), nullptr, nullptr)).isNull());
    EXPECT_EQ(lastError(), QStringLiteral("Package model file does not exist."));
    EXPECT_FALSE(QFileInfo::exists(output));

    // A memory budget the run exceeds ends it with the context's refusal in the error slot.
    request = rasterRequest();
    request.insert(QStringLiteral("memoryBudgetBytes"), 16);
    text = wide(request);
    EXPECT_TRUE(Returned(TarnivaleAI_RunRasterInference(text.c_str(), nullptr, nullptr)).isNull());
    EXPECT_FALSE(lastError().isEmpty());
}

TEST_F(Interop, CatalogQuery) {
    const QJsonObject catalog{
        {QStringLiteral("items"),
         QJsonArray{QJsonObject{{QStringLiteral("id"), QStringLiteral("b")},
                                {QStringLiteral("crs"), QStringLiteral("EPSG:4326")},
                                {QStringLiteral("caption"), QStringLiteral("Green Forest")},
                                {QStringLiteral("extent"), QJsonObject{{QStringLiteral("maximumX"), 1.0},
                                                                       {QStringLiteral("maximumY"), 1.0}}},
                                {QStringLiteral("questionAnswers"),
                                 QJsonObject{{QStringLiteral("what?"), QStringLiteral("trees")}}}},
                    QJsonObject{{QStringLiteral("id"), QStringLiteral("a")},
                                {QStringLiteral("crs"), QStringLiteral("EPSG:4326")},
                                {QStringLiteral("caption"), QStringLiteral("forest")}}}}};
    const std::u16string catalogText = wide(catalog);
    std::u16string query = wide(QJsonObject{{QStringLiteral("text"), QStringLiteral("FOREST")}});
    QJsonObject result = Returned(TarnivaleAI_RunVlmCatalogQuery(catalogText.c_str(), query.c_str())).json();
    EXPECT_EQ(result.value(QStringLiteral("schemaVersion")).toString(), QStringLiteral("1.0"));
    EXPECT_EQ(result.value(QStringLiteral("catalogSize")).toInt(), 2);
    const QJsonArray results = result.value(QStringLiteral("results")).toArray();
    ASSERT_EQ(results.size(), 2);
    EXPECT_EQ(results.at(0).toObject().value(QStringLiteral("itemId")).toString(), QStringLiteral("a"));

    query = wide(QJsonObject{{QStringLiteral("mode"), QStringLiteral("Question-Answer")},
                             {QStringLiteral("itemId"), QStringLiteral("b")},
                             {QStringLiteral("text"), QStringLiteral("WHAT?")}});
    result = Returned(TarnivaleAI_RunVlmCatalogQuery(catalogText.c_str(), query.c_str())).json();
    EXPECT_EQ(result.value(QStringLiteral("results"))
                  .toArray()
                  .at(0)
                  .toObject()
                  .value(QStringLiteral("answer"))
                  .toString(),
              QStringLiteral("trees"));

    query = wide(QJsonObject{{QStringLiteral("maximumResults"), 101}});
    EXPECT_TRUE(Returned(TarnivaleAI_RunVlmCatalogQuery(catalogText.c_str(), query.c_str())).isNull());
    EXPECT_EQ(lastError(), QStringLiteral("VLM maximumResults must be between 1 and 100."));
    const std::u16string empty = u"{}";
    EXPECT_TRUE(Returned(TarnivaleAI_RunVlmCatalogQuery(empty.c_str(), empty.c_str())).isNull());
    EXPECT_EQ(lastError(), QStringLiteral("VLM catalog must not be empty."));
}

TEST_F(Interop, WrongTypesAndHugeTextNeverCrash) {
    // Every key of a raster request with a value of the wrong JSON type: defaults, then the run's own
    // refusal.
    const QJsonObject wrong{{QStringLiteral("modelPath"), 7},
                            {QStringLiteral("rasterPath"), QJsonArray{}},
                            {QStringLiteral("bands"), QStringLiteral("1,2")},
                            {QStringLiteral("provider"), 3},
                            {QStringLiteral("intraOpThreads"), QStringLiteral("two")},
                            {QStringLiteral("enableMemoryPattern"), QStringLiteral("yes")},
                            {QStringLiteral("memoryBudgetBytes"), QStringLiteral("lots")},
                            {QStringLiteral("outputMode"), 1},
                            {QStringLiteral("tiling"), 5},
                            {QStringLiteral("normalization"), QStringLiteral("none")},
                            {QStringLiteral("applyManifestClassCodes"), QStringLiteral("true")},
                            {QStringLiteral("outputPath"), 9},
                            {QStringLiteral("classPalette"), QJsonObject{}}};
    std::u16string text = wide(wrong);
    EXPECT_TRUE(Returned(TarnivaleAI_RunRasterInference(text.c_str(), nullptr, nullptr)).isNull());
    EXPECT_EQ(lastError(), QStringLiteral("AI model path is required."));

    const std::u16string diagnostics =
        wide(QJsonObject{{QStringLiteral("modelPath"), 1}, {QStringLiteral("memoryBudgetBytes"), true}});
    const QJsonObject report = Returned(TarnivaleAI_GetRuntimeDiagnosticsJson(diagnostics.c_str())).json();
    EXPECT_EQ(report.value(QStringLiteral("memoryBudgetBytes")).toInteger(), 0);
    EXPECT_TRUE(report.value(QStringLiteral("warnings"))
                    .toArray()
                    .contains(QStringLiteral("No model was supplied for compatibility inspection.")));

    // A huge path comes back in the error text intact, in a buffer of exactly its length plus the NUL.
    const QString huge(2'000'000, QLatin1Char('p'));
    text = wide(QJsonObject{{QStringLiteral("modelPath"), huge}, {QStringLiteral("rasterPath"), raster}});
    EXPECT_TRUE(Returned(TarnivaleAI_RunRasterInference(text.c_str(), nullptr, nullptr)).isNull());
    TarnivaleAI_Char* error = TarnivaleAI_GetLastError();
    const QString message = QString::fromUtf16(error);
    EXPECT_TRUE(message.endsWith(huge));
    EXPECT_EQ(error[message.size()], 0);
    TarnivaleAI_FreeString(error);
}
