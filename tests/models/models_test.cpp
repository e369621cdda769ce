// Manifests (validation, JSON, files, builder; TARNIVALE_FUZZ_ITERATIONS runs the loader's fuzzer longer than
// the suite's bounded default), model packages on disk, inspection and compatibility.

#include <tarnivale/ai/models.h>

#include "runtime/sha256.h"
#include "support/expectations.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <cstdlib>
#include <random>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

// The smallest valid schema 1.0 manifest for the given model path.
AiModelManifest minimalManifest(const QString& modelPath = u"model.onnx"_s) {
    AiModelManifest manifest;
    manifest.id = u"sample"_s;
    manifest.version = u"1"_s;
    manifest.modelPath = modelPath;
    manifest.inputs = {{u"x"_s, AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 3, -1, -1}}};
    manifest.outputs = {{u"y"_s, AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 2, -1, -1}}};
    return manifest;
}

AiOutputDecoderSpec decoder(const char* id, const char* tensor, const QString& activation = u"none"_s,
                            double threshold = 0.5, const AiVariantMap& options = {}) {
    return {QString::fromUtf8(id), QString::fromUtf8(tensor), activation, 1, threshold, options};
}

constexpr auto load = &AiModelManifestLoader::fromJson;

// Canonical text of a JSON object (keys sorted, numbers in their shortest form) for readable comparisons.
std::string text(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}
std::string text(const QByteArray& json) {
    return text(QJsonDocument::fromJson(json).object());
}

// The validation messages, joined by a space as the library joins them in its exceptions.
std::string errors(const AiModelManifest& manifest) {
    return manifest.validationErrors().join(u' ').toStdString();
}

const std::string kRequired =
    "Model id is required. Model version is required. Model path is required. "
    "At least one input tensor is required. At least one output tensor is required.";

// minimalManifest() as written.
const QByteArray kMinimalJson =
    R"({"schemaVersion": "1.0", "id": "sample", "version": "1", "modelPath": "model.onnx",
    "inputs": [{"name": "x", "dataType": "float32", "layout": "NCHW", "shape": [1, 3, -1, -1]}],
    "outputs": [{"name": "y", "dataType": "float32", "layout": "NCHW", "shape": [1, 2, -1, -1]}],
    "normalization": {"mean": [], "standardDeviation": [], "scale": 1}, "labels": [], "metadata": {},
    "tiling": {"width": 512, "height": 512, "overlapX": 32, "overlapY": 32}})";

// Every field set, as the writer writes it ("SHA" stands for a digest: "ab" and 62 zeros).
const QByteArray kFullJson = QByteArray(R"({"schemaVersion": "1.1", "id": "land-cover", "version": "2.3.0",
    "task": "semantic_segmentation", "modelPath": "model.onnx", "modelSha256": "SHA",
    "description": "Nine classes; «ünïcode» text", "labels": ["water", "", "trees"],
    "inputs": [{"name": "x", "dataType": "float32", "layout": "NCHW", "shape": [1, 3, -1, -1]},
               {"name": "ids", "dataType": "int64", "layout": "Unknown", "shape": [4]}],
    "outputs": [{"name": "y", "dataType": "float32", "layout": "NCHW", "shape": [1, 2, -1, -1]},
                {"name": "aux", "dataType": "uint8", "layout": "NHWC", "shape": [1, 8, 8, 1]}],
    "inputAdapters": [{"tensor": "x", "source": "raster", "bands": [4, 3, 2], "colorSpace": "rgb",
                       "resize": "bilinear", "padding": "reflect", "options": {"gain": 2.5, "note": "n"}}],
    "outputDecoders": [{"id": "classes", "tensor": "y", "activation": "softmax", "channelAxis": -3,
                        "threshold": 0.25, "options": {"channel": 1}},
                       {"id": "aux", "tensor": "aux", "activation": "sigmoid", "channelAxis": 1,
                        "threshold": 0.5, "options": {}}],
    "materializations": [{"kind": "mask", "decoder": "classes", "crsPolicy": "EPSG:3857",
                          "nodataPolicy": "zero", "options": {"polygonize": true}}],
    "normalization": {"mean": [0.1, 0.2, 0.3], "standardDeviation": [1.5, 2.5, 3.5],
                      "scale": 0.00392156862745098},
    "tiling": {"width": 256, "height": 128, "overlapX": 16, "overlapY": 8},
    "provenance": {"sourceUrl": "https://example.org/weights", "repository": "org/repo",
                   "revision": "abc123", "license": "CC-BY-4.0", "licenseUrl": "https://example.org/license",
                   "attribution": "Someone"},
    "metadata": {"bandsAre": "sentinel-2", "resolution": 10, "nested": {"k": "v"}}})")
                                 .replace("SHA", "ab" + QByteArray(62, '0'));

AiModelManifest full() {
    return load(kFullJson);
}

const std::string kContainment =
    "Package model path must be relative and remain inside the package directory.";

class ModelPackage : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(root.isValid() && QDir().mkpath(package)); }
    QString in(const QString& name) const { return QDir(package).filePath(name); }
    // Writes a manifest naming modelPath straight into the package, bypassing create(); the package's errors.
    std::string errorsWith(const QString& modelPath, const QString& sha = {}) const {
        AiModelManifest manifest = minimalManifest(modelPath);
        manifest.modelSha256 = sha;
        AiModelManifestWriter::toFile(manifest, in(u"tarnivale-model.json"_s));
        return AiModelPackage::open(package).validationErrors().join(u' ').toStdString();
    }
    template <typename Exception = std::runtime_error>
    std::string createError(const QString& directory, const AiModelManifest& manifest,
                            bool copy = true) const {
        return errorOf<Exception>([&] { AiModelPackage::create(directory, manifest, copy); });
    }
    QTemporaryDir root;
    const QString package = root.filePath(u"pkg"_s);
    const QString source = testModelPath(u"add_one.onnx"_s);
};

}  // namespace

TEST(ManifestValidation, RequiredFieldsAndSchemaVersions) {
    AiModelManifest manifest;
    EXPECT_EQ(errors(manifest), kRequired);
    manifest.schemaVersion = u"1.1"_s;
    const QString task = u"Task is required for manifest schema 1.1 and later."_s;
    EXPECT_EQ(errors(manifest),
              kRequired + " " + task.toStdString() +
                  " At least one input adapter is required for manifest schema 1.1 and later."
                  " At least one output decoder is required for manifest schema 1.1 and later.");

    AiModelManifest valid = minimalManifest();
    EXPECT_EQ(errors(valid), "");
    for (const char* bad : {"2.0", "x", "", ".1", "0.9"}) {
        valid.schemaVersion = QString::fromLatin1(bad);
        EXPECT_EQ(
            valid.validationErrors().value(0),
            u"Unsupported AI model manifest schemaVersion '%1'; supported major version is 1."_s.arg(bad));
    }
    // Major 1 passes; anything but exactly "1.0" gets the schema 1.1 rules.
    for (const char* good : {"1", "1.7", "1.00"}) {
        valid.schemaVersion = QString::fromLatin1(good);
        EXPECT_EQ(valid.validationErrors().value(0), task) << good;
    }
}

TEST(ManifestValidation, TilingAtItsLimitsAndTensors) {
    const QString size = u"Tile width and height must be positive."_s;
    const QString overlap = u"Tile overlap must be non-negative and smaller than the tile size."_s;
    const std::pair<AiTileOptions, QList<QString>> rows[] = {
        {{512, 512, 511, 511}, {}},        {{1, 1, 0, 0}, {}},
        {{512, 512, 512, 0}, {overlap}},   {{512, 512, 0, 512}, {overlap}},
        {{512, 512, -1, 0}, {overlap}},    {{512, 512, 0, -1}, {overlap}},
        {{0, 512, 0, 0}, {size, overlap}}, {{512, 0, 0, 0}, {size, overlap}},
    };
    for (const auto& [tiling, expected] : rows) {
        AiModelManifest manifest = minimalManifest();
        manifest.tiling = tiling;
        EXPECT_EQ(manifest.validationErrors(), expected)
            << tiling.width << " " << tiling.height << " " << tiling.overlapX << " " << tiling.overlapY;
    }

    AiModelManifest manifest = minimalManifest();
    manifest.inputs = {{u"a"_s, AiTensorDataType::Float32, AiTensorLayout::Unknown, {1, -1, 0, -5}},
                       {u" "_s, AiTensorDataType::Float32, AiTensorLayout::Unknown, {}}};
    manifest.outputs.append({QString(), AiTensorDataType::Float32, AiTensorLayout::Unknown, {2}});
    EXPECT_EQ(errors(manifest),
              "Input tensor 'a' contains an invalid dimension. "
              "Input tensor 'a' contains an invalid dimension. Input tensor 1 has no name. "
              "Input tensor ' ' has no shape. Output tensor 1 has no name.");
}

TEST(ManifestValidation, AdaptersDecodersMaterializationsNormalizationAndDetectionRoles) {
    AiModelManifest manifest = minimalManifest();
    manifest.inputAdapters = {{.tensor = u"X"_s,
                               .source = u"  "_s,
                               .bands = {1, 0, -2},
                               .colorSpace = {},
                               .options = {}}};  // case-sensitive names
    manifest.outputDecoders = {decoder(" ", "y"), decoder("mask", "y"), decoder("mask", "z", QString(), 1.5)};
    manifest.materializations = {{.decoder = u"mask"_s, .options = {}}, {.decoder = u" "_s, .options = {}}};
    manifest.normalization = {{1, 2, 3}, {1, 0.0, -0.0}, 1.0};
    EXPECT_EQ(
        errors(manifest),
        "Input adapter references unknown tensor 'X'. Input adapter for 'X' requires a source. "
        "Input adapter bands are one-based and must be positive. "
        "Input adapter bands are one-based and must be positive. "
        "Output decoder id is required. Output decoder id 'mask' is duplicated. "
        "Output decoder 'mask' references unknown tensor 'z'. "
        "Output decoder 'mask' requires an explicit activation. "
        "Output decoder 'mask' threshold must be between 0 and 1. "
        "Materialization references unknown decoder ' '. "
        "Normalization standard deviation cannot be zero. Normalization standard deviation cannot be zero.");
    // Thresholds 0 and 1 are allowed; a mean without deviation too, different non-empty sizes are not.
    manifest = minimalManifest();
    manifest.outputDecoders = {decoder("a", "y", u"none"_s, 0.0), decoder("b", "y", u"none"_s, 1.0)};
    manifest.normalization = {{1, 2, 3}, {}, 1.0};
    EXPECT_EQ(errors(manifest), "");
    manifest.normalization.standardDeviation = {1, 2};
    EXPECT_EQ(errors(manifest), "Normalization mean and standard deviation sizes must match.");
    // Without decoders, every materialization fails.
    manifest = minimalManifest();
    manifest.materializations = {{.decoder = u"mask"_s, .options = {}}};
    EXPECT_EQ(errors(manifest), "Materialization references unknown decoder 'mask'.");
    // Detection needs each role exactly once, whatever its case and spaces; roles matter for detection only.
    manifest.materializations.clear();
    manifest.task = AiTaskKind::ObjectDetection;
    const auto role = [](const char* id, const char* name) {
        return decoder(id, "y", u"none"_s, 0.5, {{u"role"_s, name}});
    };
    manifest.outputDecoders = {role("a", " Boxes "), role("b", "scores"), role("c", "SCORES")};
    EXPECT_EQ(errors(manifest),
              "Object-detection output role 'scores' must be unique. "
              "Object-detection output role 'classes' is required.");
    manifest.outputDecoders[2] = role("c", "classes");
    EXPECT_EQ(errors(manifest), "");
    manifest.task = AiTaskKind::SemanticSegmentation;
    manifest.outputDecoders.clear();
    EXPECT_EQ(errors(manifest), "");
}

TEST(ManifestJson, EveryFieldIsReadAndWrittenInItsForm) {
    AiModelManifest manifest = full();
    EXPECT_EQ(errors(manifest), "");
    manifest.modelSha256 = manifest.modelSha256.toUpper();  // digests are written in lower case
    EXPECT_EQ(text(AiModelManifestWriter::toJsonObject(manifest)), text(kFullJson));
    // Unset optional keys are absent; provenance is written when it has a source URL or a licence.
    AiModelManifest minimal = minimalManifest();
    minimal.provenance.repository = u"only/the/repository"_s;
    EXPECT_EQ(text(AiModelManifestWriter::toJsonObject(minimal)), text(kMinimalJson));
    minimal.provenance.license = u"MIT"_s;
    const auto provenance = [&] {
        return AiModelManifestWriter::toJsonObject(minimal)[u"provenance"_s].toObject();
    };
    EXPECT_EQ(provenance().value(u"repository"_s), u"only/the/repository"_s);
    minimal.provenance = {u"https://example.org"_s, {}, {}, {}, {}, {}};
    EXPECT_EQ(provenance().value(u"sourceUrl"_s), u"https://example.org"_s);

    EXPECT_FALSE(AiModelManifestWriter::toJson(minimal, false).contains('\n'));
    EXPECT_TRUE(AiModelManifestWriter::toJson(minimal, true).contains("\n    \""));
    EXPECT_EQ(errorOf<std::invalid_argument>([] { AiModelManifestWriter::toJson(AiModelManifest{}); }),
              "Cannot serialize invalid AI model manifest: " + kRequired);
}

TEST(ManifestJson, LoaderDefaultsWrongTypesHugeArraysAndRefusals) {
    // Every key with a value of the wrong JSON type takes its default.
    EXPECT_EQ(errors(load(R"({"id": [], "version": 3, "modelPath": {}, "inputs": {}, "outputs": "y"})")),
              kRequired);
    const AiModelManifest wrong = load(R"({"schemaVersion": 2, "id": "sample", "version": "1", "task": 5,
        "modelPath": "model.onnx", "modelSha256": true, "description": null, "inputAdapters": 1,
        "outputDecoders": {}, "materializations": "m", "normalization": [], "provenance": "none",
        "metadata": [], "labels": ["a", 2, null, "d"],
        "inputs": [{"name": "x", "layout": " nchw", "shape": [1, 3, -1, -1]}],
        "outputs": [{"name": "y", "layout": "NCHW", "shape": [1, 2, -1, -1]}],
        "tiling": {"width": "wide", "height": 1e30, "overlapX": 2.5, "overlapY": 4}})");
    EXPECT_EQ(text(AiModelManifestWriter::toJsonObject(wrong)),
              text(QByteArray(kMinimalJson)
                       .replace(R"("labels": [])", R"("labels": ["a", "", "", "d"])")
                       .replace(R"("overlapY": 32)", R"("overlapY": 4)")));
    // Array elements that are no objects read as empty ones.
    const AiModelManifest elements = load(R"({"outputDecoders": [1, {"channelAxis": 1.5, "threshold": "high",
        "activation": 4, "options": []}], "materializations": [{"kind": 7, "crsPolicy": 1}]})");
    ASSERT_EQ(elements.outputDecoders.size(), 2);
    const AiOutputDecoderSpec& decoder = elements.outputDecoders[1];
    EXPECT_TRUE(decoder.activation == u"none"_s && decoder.channelAxis == 1 && decoder.threshold == 0.5);
    EXPECT_TRUE(elements.materializations[0].kind == AiOutputKind::Tensor &&
                elements.materializations[0].crsPolicy == u"source"_s);
    // Dimensions and bands take 0 for what is not a whole number of their range; names are trimmed.
    const AiModelManifest tensors = load(R"({"inputs": [{"name": "x", "shape": [1, 3, 2.5, -1, "4", 3.0]},
        {"name": "y", "layout": " nhwc ", "dataType": " Float64 "}, {"layout": "Unknown"}, 7],
        "normalization": {"mean": [1, "2", null], "standardDeviation": [0.5], "scale": 0.25},
        "inputAdapters": [{"bands": [1, 2.5, 2147483647, 2147483648, -2147483648, -2147483649, "3"]}],
        "task": " Object_Detection "})");
    ASSERT_EQ(tensors.inputs.size(), 4);
    EXPECT_EQ(tensors.inputs[0].shape, (QList<std::int64_t>{1, 3, 0, -1, 0, 3}));
    EXPECT_TRUE(tensors.inputs[1].layout == AiTensorLayout::NHWC &&
                tensors.inputs[1].dataType == AiTensorDataType::Float64);
    EXPECT_TRUE(tensors.normalization.mean == QList<double>({1, 0, 0}) &&
                tensors.normalization.scale == 0.25);
    EXPECT_TRUE(tensors.inputAdapters[0].source == u"raster"_s &&
                tensors.inputAdapters[0].resize == u"none"_s);
    EXPECT_EQ(tensors.inputAdapters[0].bands, (QList<std::int32_t>{1, 0, 2147483647, 0, -2147483648, 0, 0}));
    EXPECT_EQ(tensors.task, AiTaskKind::ObjectDetection);
    // Huge arrays are read in full.
    const AiModelManifest big =
        load(R"({"labels": ["l")" + QByteArray(",\"l\"").repeated(199999) + R"(], "inputs": [{"shape": [)" +
             QByteArray("1,").repeated(100000) + "1]}]}");
    EXPECT_TRUE(big.labels.size() == 200000 && big.inputs[0].shape.size() == 100001);
    // Refusals: a name the vocabulary does not know, and anything but a JSON object.
    for (const auto& [json, error] :
         {std::pair{R"({"task": "detector"})", "Unsupported AI task 'detector'."},
          {R"({"inputs": [{"dataType": ""}]})", "Unsupported AI tensor data type."},
          {R"({"outputs": [{"layout": "CHW"}]})", "Unsupported AI tensor layout."},
          {R"({"materializations": [{"kind": ""}]})", "Unsupported AI materialization kind ''."}}) {
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { load(json); }), error);
    }
    const std::string prefix = "Invalid AI model manifest JSON: ";
    EXPECT_EQ(errorOf<std::invalid_argument>([] { load("[1, 2]"); }), prefix + "no error occurred");
    const QByteArray deep = QByteArray(100000, '[') + QByteArray(100000, ']');
    for (const QByteArray& bad :
         {QByteArray(), QByteArray("{"), QByteArray("{\"id\": \"x\""), QByteArray("garbage"),
          QByteArray("{\"id\": \"\xff\xfe\"}"), QByteArray("null"), QByteArray("\"text\""), deep}) {
        const std::string message = errorOf<std::invalid_argument>([&] { load(bad); });
        EXPECT_EQ(message.rfind(prefix, 0), 0u) << bad.left(20).data() << " -> " << message;
    }
}

TEST(ManifestJson, ToFileCreatesDirectoriesAndNeverWritesAnInvalidManifest) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(u"a/b/tarnivale-model.json"_s);
    EXPECT_EQ(errorOf<std::runtime_error>([&] { AiModelManifestLoader::fromFile(path); }),
              "Could not open AI model manifest: " + path.toStdString());
    AiModelManifestWriter::toFile(full(), path);
    const auto contents = [&] {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray written = contents();
    EXPECT_EQ(written, AiModelManifestWriter::toJson(full(), true));
    EXPECT_EQ(text(AiModelManifestWriter::toJsonObject(AiModelManifestLoader::fromFile(path))),
              text(written));
    AiModelManifest invalid = full();
    invalid.id.clear();
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiModelManifestWriter::toFile(invalid, path); }),
              "Cannot serialize invalid AI model manifest: Model id is required.");
    EXPECT_EQ(contents(), written);
    // A file where a directory is needed, and a directory where the file should be.
    const QString blocked = path + u"/x.json"_s;
    EXPECT_EQ(errorOf<std::runtime_error>([&] { AiModelManifestWriter::toFile(full(), blocked); }),
              "Could not create AI model manifest directory: " + path.toStdString());
    EXPECT_EQ(errorOf<std::runtime_error>([&] { AiModelManifestWriter::toFile(full(), dir.path()); }),
              "Could not write AI model manifest: " + dir.path().toStdString());
}

TEST(PackageBuilder, BuildsWhatItWasGivenOrRefusesWithTheManifestsErrors) {
    AiModelPackageBuilder builder;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { builder.build(); }),
              "Invalid AI model package: " + kRequired);
    AiModelManifest m = full();
    builder.id(m.id).version(m.version).schemaVersion(m.schemaVersion).task(m.task);
    builder.description(m.description).modelPath(m.modelPath).modelSha256(m.modelSha256);
    builder.addInput(m.inputs[0]).addInput(m.inputs[1]).addOutput(m.outputs[0]).addOutput(m.outputs[1]);
    builder.addInputAdapter(m.inputAdapters[0]).addOutputDecoder(m.outputDecoders[0]);
    builder.addOutputDecoder(m.outputDecoders[1]).addMaterialization(m.materializations[0]);
    builder.normalization(m.normalization).tiling(m.tiling).labels(m.labels).provenance(m.provenance);
    builder.metadata(m.metadata).metadataValue(u"resolution"_s, 20.0);
    m.metadata.insert(u"resolution"_s, 20.0);
    EXPECT_EQ(AiModelManifestWriter::toJson(builder.build()), AiModelManifestWriter::toJson(m));
}

TEST(ManifestJson, FuzzedBytesGiveAManifestOrInvalidArgumentAndValidOnesRoundTrip) {
    const QList<QByteArray> seeds{AiModelManifestWriter::toJson(full(), false),
                                  AiModelManifestWriter::toJson(full(), true), kMinimalJson, "{}"};
    const QList<QByteArray> tokens =
        QByteArray(R"({ } [ ] , : " null true -1 1e308 -0.0 "\ud800" "task" "shape")"
                   R"( "inputs" "tiling" "kind" "dataType" \u0000 99999999999999999999)"
                   " -2147483649 \xff")
            .split(' ');
    const char* configured = std::getenv("TARNIVALE_FUZZ_ITERATIONS");
    const int iterations = configured ? std::atoi(configured) : 20000;
    std::mt19937 random(20261206);
    const auto below = [&](qsizetype n) { return n > 0 ? static_cast<qsizetype>(random() % n) : 0; };
    int parsed = 0, valid = 0;
    for (int i = 0; i < iterations; ++i) {
        QByteArray input = seeds[i % seeds.size()];
        for (int step = 1 + below(4); step > 0; --step) {
            const qsizetype at = below(input.size());
            const QByteArray variants[] = {
                input.left(at) + char(random()) + input.mid(at + 1),            // flip a byte
                input.left(at) + tokens[below(tokens.size())] + input.mid(at),  // a token
                input.left(at) + input.mid(at + below(16)),                     // delete a run
                input.left(at),                                                 // truncate
                input.left(at) + input.mid(at, below(64)) + input.mid(at)};     // repeat
            input = variants[below(5)];
        }
        try {
            const AiModelManifest manifest = load(input);
            ++parsed;
            if (manifest.isValid()) {
                ++valid;
                ASSERT_TRUE(load(AiModelManifestWriter::toJson(manifest)).isValid()) << input.toStdString();
            }
        } catch (const std::invalid_argument&) {
            // refused with a message: fine
        } catch (const std::exception& error) {
            FAIL() << "unexpected exception " << error.what() << " for input " << input.toStdString();
        }
    }
    // Some inputs must stay parseable and valid, or only the parser's refusals are tested.
    EXPECT_GT(parsed, iterations / 20);
    EXPECT_GT(valid, 0);
}

TEST_F(ModelPackage, CreateCopiesHashesAndOpens) {
    AiModelManifest manifest = minimalManifest(source);
    manifest.modelSha256 = u"whatever the caller said"_s;
    const AiModelPackage created = AiModelPackage::create(package, manifest, true);
    EXPECT_EQ(created.directoryPath(), QDir(package).absolutePath());
    EXPECT_EQ(created.manifestPath(), in(u"tarnivale-model.json"_s));
    EXPECT_EQ(created.manifest().modelPath, u"add_one.onnx"_s);
    EXPECT_EQ(created.modelPath(), in(u"add_one.onnx"_s));
    const QString expected = sha256File(source).hex;
    EXPECT_TRUE(created.manifest().modelSha256 == expected && created.modelSha256() == expected);
    EXPECT_EQ(created.validationErrors().join(u' '), QString());
    // A second copy into the same package refuses to overwrite the model.
    EXPECT_EQ(createError(package, manifest),
              "AI model package target already exists: " + created.modelPath().toStdString());
    // From the package's own model file nothing is copied and the manifest is rewritten.
    AiModelManifest own = minimalManifest(created.modelPath());
    own.id = u"renamed"_s;
    EXPECT_EQ(AiModelPackage::create(package, own, true).manifest().id, u"renamed"_s);
    EXPECT_EQ(AiModelPackage::create(package, own, false).manifest().modelSha256, expected);
}

TEST_F(ModelPackage, CreateAndOpenRefusals) {
    AiModelManifest invalid = minimalManifest(source);
    invalid.version.clear();
    EXPECT_EQ(createError<std::invalid_argument>(package, invalid),
              "Cannot create invalid AI model package: Model version is required.");
    const QString missing = root.filePath(u"missing.onnx"_s);
    EXPECT_EQ(createError(package, minimalManifest(missing)),
              "AI model file does not exist: " + missing.toStdString());
    const QString impossible = writeBytes(root.filePath(u"file"_s), "x") + u"/pkg"_s;
    EXPECT_EQ(createError(impossible, minimalManifest(source)),
              "Could not create AI model package directory: " + impossible.toStdString());
    // Without copying, the model must already lie directly in the package directory.
    ASSERT_TRUE(QDir(package).mkdir(u"sub"_s) && QFile::copy(source, in(u"sub/model.onnx"_s)));
    EXPECT_EQ(createError(package, minimalManifest(in(u"sub/model.onnx"_s)), false),
              "An AI model package must keep its model file inside the package directory.");

    EXPECT_EQ(errorOf<std::runtime_error>([&] { AiModelPackage::open(package); }),
              "Could not open AI model manifest: " + in(u"tarnivale-model.json"_s).toStdString());
    writeBytes(in(u"tarnivale-model.json"_s), R"({"task": "nope"})");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiModelPackage::open(package); }),
              "Unsupported AI task 'nope'.");
    errorsWith(u"absent.onnx"_s);
    EXPECT_EQ(errorOf<std::runtime_error>([&] { AiModelPackage::open(package).modelSha256(); }),
              "Could not read AI model file: " + in(u"absent.onnx"_s).toStdString());
    EXPECT_TRUE(AiModelPackage().directoryPath().isEmpty());
}

TEST_F(ModelPackage, ContainmentPresenceAndDigestInThisOrder) {
    writeBytes(in(u"model.onnx"_s), "model bytes");
    writeBytes(root.filePath(u"outside.onnx"_s), "outside");
    ASSERT_TRUE(QDir(package).mkdir(u"sub"_s));
    const QString digest = Sha256::hex("model bytes");
    EXPECT_EQ(errorsWith(u"model.onnx"_s, digest.toUpper()), "");
    EXPECT_EQ(errorsWith(u"sub/../model.onnx"_s, digest), "");
    EXPECT_EQ(errorsWith(u"./model.onnx"_s), "");
    // Escapes, also through symbolic links, give the containment message only: no presence or digest message.
    ASSERT_TRUE(QFile::link(root.filePath(u"outside.onnx"_s), in(u"link.onnx"_s)));
    ASSERT_TRUE(QFile::link(root.path(), in(u"up"_s)));
    for (const QString& escaping :
         {u"../outside.onnx"_s, u"sub/../../outside.onnx"_s, u".."_s, u"link.onnx"_s, u"up/outside.onnx"_s,
          root.filePath(u"outside.onnx"_s), in(u"model.onnx"_s)}) {
        EXPECT_EQ(errorsWith(escaping, u"00"_s), kContainment) << escaping.toStdString();
    }
    // A link that stays inside is fine.
    ASSERT_TRUE(QFile::link(in(u"model.onnx"_s), in(u"alias.onnx"_s)));
    EXPECT_EQ(errorsWith(u"alias.onnx"_s, digest), "");

    EXPECT_EQ(errorsWith(u"absent.onnx"_s, u"00"_s), "Package model file does not exist.");
    EXPECT_EQ(errorsWith(u"sub"_s), "Package model file does not exist.");
    EXPECT_EQ(errorsWith(u"model.onnx"_s, u"0123"_s), "Package model SHA-256 does not match the manifest.");
    // Manifest errors come first, then the package's own.
    writeBytes(in(u"tarnivale-model.json"_s), R"({"version": "1", "modelPath": "../outside.onnx",
        "inputs": [{"name":"x","shape":[1]}], "outputs": [{"name":"y","shape":[1]}]})");
    EXPECT_EQ(AiModelPackage::open(package).validationErrors().join(u' ').toStdString(),
              "Model id is required. " + kContainment);
}

TEST(ModelInspection, InspectsModelsAndReportsFailures) {
    const QString path = testModelPath(u"add_one.onnx"_s);
    const AiModelInspection addOne = AiModelInspector::inspect(path);
    EXPECT_TRUE(addOne.succeeded() && addOne.modelPath == path) << addOne.error.toStdString();
    EXPECT_EQ(addOne.modelSha256, sha256File(path).hex);
    ASSERT_TRUE(addOne.inputs.size() == 1 && addOne.outputs.size() == 1);
    EXPECT_EQ(addOne.inputs[0].shape, (QList<std::int64_t>{1, -1, -1, -1}));
    EXPECT_EQ(addOne.availableProviders, AiSession::availableProviders());
    EXPECT_EQ(addOne.warnings.join(u' '),
              u"Input 'x' has a rank-4 shape but its tensor layout cannot be inferred safely."_s);
    EXPECT_EQ(AiModelInspector::inspect(testModelPath(u"two_inputs.onnx"_s)).warnings.join(u' '), QString());
    EXPECT_EQ(AiModelInspector::inspect(testModelPath(u"no_inputs.onnx"_s)).warnings.join(u' '),
              u"The model declares no inputs."_s);
    // Failures: the error, and the digest when it is computed before the failing step.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString absent = dir.filePath(u"absent.onnx"_s);
    const AiModelInspection missing = AiModelInspector::inspect(absent);
    EXPECT_EQ(missing.error, u"Could not read AI model file: "_s + absent);
    EXPECT_TRUE(missing.modelSha256.isEmpty() && missing.inputs.isEmpty() &&
                !missing.availableProviders.isEmpty());
    const AiModelInspection corrupt =
        AiModelInspector::inspect(writeBytes(dir.filePath(u"corrupt.onnx"_s), "\x08\x07 not a protobuf"));
    EXPECT_TRUE(corrupt.error.startsWith(u"ONNX Runtime error: "_s) && corrupt.inputs.isEmpty())
        << corrupt.error.toStdString();
    EXPECT_EQ(corrupt.modelSha256.size(), 64);
    const AiModelInspection unsupported =
        AiModelInspector::inspect(testModelPath(u"float16_identity.onnx"_s));
    EXPECT_EQ(unsupported.error, u"The ONNX model uses an unsupported tensor data type."_s);
    EXPECT_EQ(unsupported.modelSha256.size(), 64);
}

TEST(ModelInspection, CompatibilityGrades) {
    // A report in one line: status; errors; required configuration; warnings (each list joined by a space).
    const auto check = [](const AiModelManifest& manifest, const char* model) {
        const AiCompatibilityReport report = AiCompatibilityChecker::check(
            manifest, AiModelInspector::inspect(testModelPath(QString::fromUtf8(model))));
        return QStringList{aiCompatibilityStatusName(report.status), report.errors.join(u' '),
                           report.requiredConfiguration.join(u' '), report.warnings.join(u' ')}
            .join(u"; "_s)
            .toStdString();
    };
    const std::string rank4 = "Input 'x' has a rank-4 shape but its tensor layout cannot be inferred safely.";
    // add_one.onnx exactly, with normalization and labels: only the inspection's warning.
    AiModelManifest manifest = minimalManifest(u"add_one.onnx"_s);
    manifest.inputs[0].shape = {1, 3, -1, -1};
    manifest.outputs[0].shape = {1, 3, 512, 512};
    manifest.normalization = {{0.5}, {0.25}, 1.0};
    manifest.labels = {u"a"_s};
    EXPECT_EQ(check(manifest, "add_one.onnx"), "CompatibleWithWarnings; ; ; " + rank4);
    AiModelManifest mismatched = manifest;
    manifest.normalization.standardDeviation.clear();
    EXPECT_EQ(check(manifest, "add_one.onnx"),
              "ConfigurationRequired; ; Input normalization mean and standard deviation.; " + rank4);

    mismatched.inputs[0].shape = {1, 3, 256, 256};  // the model's -1 matches anything, 3 vs -1 too
    mismatched.outputs[0] = {u"y"_s, AiTensorDataType::Int32, AiTensorLayout::Unknown, {1, 3, 512, 512}};
    mismatched.inputs.append({u"z"_s, AiTensorDataType::Float32, AiTensorLayout::Unknown, {1}});
    mismatched.labels.clear();
    EXPECT_EQ(
        check(mismatched, "add_one.onnx"),
        "Unsupported; Declared input tensor 'z' was not found in the ONNX model. output tensor 'y' data type "
        "does not match the ONNX model.; Tensor layout for output 'y'.; " +
            rank4 + " No class labels are defined; this is acceptable for non-classification models.");
    // A model without rank-4 inputs and a manifest that matches it: fully compatible; then wrong shapes.
    AiModelManifest sum = minimalManifest(u"two_inputs.onnx"_s);
    sum.inputs = {{u"a"_s, AiTensorDataType::Float32, AiTensorLayout::Unknown, {2, 3}}};
    sum.outputs = {{u"sum"_s, AiTensorDataType::Float32, AiTensorLayout::Unknown, {2, -1}}};
    sum.normalization = {{0.0}, {1.0}, 1.0};
    sum.labels = {u"x"_s};
    EXPECT_EQ(check(sum, "two_inputs.onnx"), "Compatible; ; ; ");
    for (const QList<std::int64_t>& shape : {QList<std::int64_t>{2}, {2, 4}}) {
        sum.inputs[0].shape = shape;
        EXPECT_EQ(check(sum, "two_inputs.onnx"),
                  "Unsupported; input tensor 'a' shape does not match the ONNX model.; ; ");
    }
    // A failed inspection: its error after the manifest's, no tensor comparison.
    manifest.id.clear();
    EXPECT_EQ(check(manifest, "absent.onnx"),
              "Unsupported; Model id is required. Could not read AI model file: " +
                  testModelPath(u"absent.onnx"_s).toStdString() +
                  "; Input normalization mean and standard deviation.; ");
    EXPECT_EQ(aiCompatibilityStatusName(AiCompatibilityStatus(9)), u"Unsupported"_s);
}
