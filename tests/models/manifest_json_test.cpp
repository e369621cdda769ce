#include <tarnivale/ai/models.h>

#include "manifest_samples.h"

#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <stdexcept>
#include <string>

using namespace Tarnivale::AI;
using Tarnivale::AI::Testing::errorOf;
using Tarnivale::AI::Testing::fullManifest;
using Tarnivale::AI::Testing::minimalManifest;
using Tarnivale::AI::Testing::valuesOf;

namespace {

AiModelManifest read(const char* json) {
    return AiModelManifestLoader::fromJson(QByteArray(json));
}

void expectSameTensors(const QList<AiTensorSpec>& a, const QList<AiTensorSpec>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (qsizetype i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].name, b[i].name);
        EXPECT_EQ(a[i].dataType, b[i].dataType);
        EXPECT_EQ(a[i].layout, b[i].layout);
        EXPECT_EQ(a[i].shape, b[i].shape);
    }
}

}  // namespace

TEST(ManifestJson, FullManifestSurvivesARoundTrip) {
    AiModelManifest original = fullManifest();
    original.modelSha256 = QStringLiteral("ABCDEF") + QString(58, QLatin1Char('1'));
    const AiModelManifest back =
        AiModelManifestLoader::fromJson(AiModelManifestWriter::toJson(original, false));

    EXPECT_EQ(back.schemaVersion, original.schemaVersion);
    EXPECT_EQ(back.id, original.id);
    EXPECT_EQ(back.version, original.version);
    EXPECT_EQ(back.task, original.task);
    EXPECT_EQ(back.modelPath, original.modelPath);
    EXPECT_EQ(back.modelSha256, original.modelSha256.toLower());  // digests are written lower-case
    EXPECT_EQ(back.description, original.description);
    expectSameTensors(back.inputs, original.inputs);
    expectSameTensors(back.outputs, original.outputs);

    ASSERT_EQ(back.inputAdapters.size(), 1);
    const AiInputAdapterSpec& adapter = back.inputAdapters[0];
    EXPECT_EQ(adapter.tensor, original.inputAdapters[0].tensor);
    EXPECT_EQ(adapter.source, original.inputAdapters[0].source);
    EXPECT_EQ(adapter.bands, original.inputAdapters[0].bands);
    EXPECT_EQ(adapter.colorSpace, original.inputAdapters[0].colorSpace);
    EXPECT_EQ(adapter.resize, original.inputAdapters[0].resize);
    EXPECT_EQ(adapter.padding, original.inputAdapters[0].padding);
    EXPECT_EQ(adapter.options, original.inputAdapters[0].options);

    ASSERT_EQ(back.outputDecoders.size(), 2);
    for (qsizetype i = 0; i < 2; ++i) {
        const AiOutputDecoderSpec& d = back.outputDecoders[i];
        const AiOutputDecoderSpec& o = original.outputDecoders[i];
        EXPECT_EQ(d.id, o.id);
        EXPECT_EQ(d.tensor, o.tensor);
        EXPECT_EQ(d.activation, o.activation);
        EXPECT_EQ(d.channelAxis, o.channelAxis);
        EXPECT_EQ(d.threshold, o.threshold);
        EXPECT_EQ(d.options, o.options);
    }
    ASSERT_EQ(back.materializations.size(), 1);
    EXPECT_EQ(back.materializations[0].kind, AiOutputKind::Mask);
    EXPECT_EQ(back.materializations[0].decoder, original.materializations[0].decoder);
    EXPECT_EQ(back.materializations[0].crsPolicy, original.materializations[0].crsPolicy);
    EXPECT_EQ(back.materializations[0].nodataPolicy, original.materializations[0].nodataPolicy);
    EXPECT_EQ(back.materializations[0].options, original.materializations[0].options);

    EXPECT_EQ(back.normalization.mean, original.normalization.mean);
    EXPECT_EQ(back.normalization.standardDeviation, original.normalization.standardDeviation);
    EXPECT_EQ(back.normalization.scale, original.normalization.scale);
    EXPECT_EQ(back.tiling.width, 256);
    EXPECT_EQ(back.tiling.height, 128);
    EXPECT_EQ(back.tiling.overlapX, 16);
    EXPECT_EQ(back.tiling.overlapY, 8);
    EXPECT_EQ(back.labels, original.labels);
    EXPECT_EQ(back.provenance.sourceUrl, original.provenance.sourceUrl);
    EXPECT_EQ(back.provenance.repository, original.provenance.repository);
    EXPECT_EQ(back.provenance.revision, original.provenance.revision);
    EXPECT_EQ(back.provenance.license, original.provenance.license);
    EXPECT_EQ(back.provenance.licenseUrl, original.provenance.licenseUrl);
    EXPECT_EQ(back.provenance.attribution, original.provenance.attribution);
    EXPECT_EQ(back.metadata, original.metadata);
}

TEST(ManifestJson, WriterKeysAndForms) {
    AiModelManifest manifest = minimalManifest();
    manifest.provenance.repository = QStringLiteral("only/the/repository");
    const QJsonObject object = AiModelManifestWriter::toJsonObject(manifest);
    // Provenance needs a source URL or a licence; unset optional keys are absent.
    for (const char* absent : {"provenance", "task", "modelSha256", "description", "inputAdapters",
                               "outputDecoders", "materializations"}) {
        EXPECT_FALSE(object.contains(QLatin1String(absent))) << absent;
    }
    for (const char* present : {"schemaVersion", "id", "version", "modelPath", "inputs", "outputs",
                                "normalization", "tiling", "labels", "metadata"}) {
        EXPECT_TRUE(object.contains(QLatin1String(present))) << present;
    }
    const QJsonObject input = object.value(QStringLiteral("inputs")).toArray().at(0).toObject();
    EXPECT_EQ(input.value(QStringLiteral("dataType")).toString(), QStringLiteral("float32"));
    EXPECT_EQ(input.value(QStringLiteral("layout")).toString(), QStringLiteral("NCHW"));

    manifest.provenance.license = QStringLiteral("MIT");
    manifest.task = AiTaskKind::ObjectDetection;
    manifest.outputDecoders = {AiOutputDecoderSpec{QStringLiteral("b"),
                                                   QStringLiteral("y"),
                                                   QStringLiteral("none"),
                                                   1,
                                                   0.5,
                                                   {{QStringLiteral("role"), QStringLiteral("boxes")}}},
                               AiOutputDecoderSpec{QStringLiteral("s"),
                                                   QStringLiteral("y"),
                                                   QStringLiteral("none"),
                                                   1,
                                                   0.5,
                                                   {{QStringLiteral("role"), QStringLiteral("scores")}}},
                               AiOutputDecoderSpec{QStringLiteral("c"),
                                                   QStringLiteral("y"),
                                                   QStringLiteral("none"),
                                                   1,
                                                   0.5,
                                                   {{QStringLiteral("role"), QStringLiteral("classes")}}}};
    const QJsonObject withProvenance = AiModelManifestWriter::toJsonObject(manifest);
    EXPECT_EQ(withProvenance.value(QStringLiteral("task")).toString(), QStringLiteral("object_detection"));
    EXPECT_EQ(withProvenance.value(QStringLiteral("provenance"))
                  .toObject()
                  .value(QStringLiteral("repository"))
                  .toString(),
              QStringLiteral("only/the/repository"));
    const AiModelManifest reread = AiModelManifestLoader::fromJsonObject(withProvenance);
    EXPECT_EQ(reread.outputDecoders[2].options.value(QStringLiteral("role")).toString(),
              QStringLiteral("classes"));

    const QByteArray compact = AiModelManifestWriter::toJson(manifest, false);
    EXPECT_FALSE(compact.contains('\n'));
    EXPECT_TRUE(AiModelManifestWriter::toJson(manifest, true).contains("\n    \""));

    EXPECT_EQ(errorOf<std::invalid_argument>([] { AiModelManifestWriter::toJson(AiModelManifest{}); }),
              "Cannot serialize invalid AI model manifest: Model id is required. Model version is required. "
              "Model path is required. At least one input tensor is required. At least one output tensor is "
              "required.");
}

TEST(ManifestJson, LoaderDefaultsAndWrongTypes) {
    const AiModelManifest empty = read("{}");
    EXPECT_EQ(empty.schemaVersion, QStringLiteral("1.0"));
    EXPECT_EQ(empty.tiling.width, 512);
    EXPECT_EQ(empty.tiling.overlapY, 32);
    EXPECT_EQ(empty.validationErrors().size(), 5);

    // Every key with a value of the wrong JSON type takes its default.
    const AiModelManifest wrong =
        read(R"({"schemaVersion": 2, "id": [], "version": 3, "task": 5, "modelPath": {},
        "modelSha256": true, "description": null, "inputs": {}, "outputs": "y", "inputAdapters": 1,
        "outputDecoders": [1, "x", {"channelAxis": 1.5, "threshold": "high", "activation": 4, "options": []}],
        "materializations": [{"kind": 7}], "normalization": [], "tiling": {"width": "wide", "height": 1e30,
        "overlapX": 2.5, "overlapY": -4}, "labels": ["a", 2, null, "d"], "provenance": "none", "metadata": []})");
    EXPECT_EQ(wrong.schemaVersion, QStringLiteral("1.0"));
    EXPECT_TRUE(wrong.id.isEmpty());
    EXPECT_TRUE(wrong.version.isEmpty());
    EXPECT_EQ(wrong.task, AiTaskKind::Unspecified);
    EXPECT_TRUE(wrong.inputs.isEmpty());
    EXPECT_TRUE(wrong.outputs.isEmpty());
    ASSERT_EQ(wrong.outputDecoders.size(), 3);  // non-objects read as empty objects
    EXPECT_EQ(wrong.outputDecoders[0].activation, QStringLiteral("none"));
    EXPECT_EQ(wrong.outputDecoders[2].channelAxis, 1);
    EXPECT_EQ(wrong.outputDecoders[2].threshold, 0.5);
    EXPECT_EQ(wrong.materializations[0].kind, AiOutputKind::Tensor);
    EXPECT_EQ(wrong.normalization.scale, 1.0);
    EXPECT_EQ(wrong.tiling.width, 512);
    EXPECT_EQ(wrong.tiling.height, 512);
    EXPECT_EQ(wrong.tiling.overlapX, 32);
    EXPECT_EQ(wrong.tiling.overlapY, -4);
    EXPECT_EQ(wrong.labels, (QList<QString>{QStringLiteral("a"), QString(), QString(), QStringLiteral("d")}));
    EXPECT_TRUE(wrong.metadata.isEmpty());
    EXPECT_TRUE(wrong.validationErrors().contains(QStringLiteral("Model version is required.")));

    const AiModelManifest tensors = read(R"({"inputs": [{"name": "x", "shape": [1, 3, 2.5, -1, "4", 3.0]},
        {"name": "y", "layout": " nhwc ", "dataType": " Float64 "}, {"layout": "Unknown"}, 7],
        "normalization": {"mean": [1, "2", null], "standardDeviation": [0.5], "scale": 0.25},
        "inputAdapters": [{"bands": [1, 2.5, 4294967296, "3"]}]})");
    ASSERT_EQ(tensors.inputs.size(), 4);
    EXPECT_EQ(tensors.inputs[0].shape, (QList<std::int64_t>{1, 3, 0, -1, 0, 3}));
    EXPECT_EQ(tensors.inputs[0].dataType, AiTensorDataType::Float32);
    EXPECT_EQ(tensors.inputs[1].layout, AiTensorLayout::NHWC);
    EXPECT_EQ(tensors.inputs[1].dataType, AiTensorDataType::Float64);
    EXPECT_EQ(tensors.inputs[2].layout, AiTensorLayout::Unknown);
    EXPECT_EQ(tensors.normalization.mean, (QList<double>{1, 0, 0}));
    EXPECT_EQ(tensors.normalization.scale, 0.25);
    EXPECT_EQ(tensors.inputAdapters[0].source, QStringLiteral("raster"));
    EXPECT_EQ(tensors.inputAdapters[0].bands, (QList<std::int32_t>{1, 0, 0, 0}));
    EXPECT_EQ(tensors.inputAdapters[0].resize, QStringLiteral("none"));

    // Huge arrays are read in full, without trouble.
    QByteArray huge = R"({"labels": [)";
    for (int i = 0; i < 200000; ++i) {
        huge += i == 0 ? "\"l\"" : ",\"l\"";
    }
    huge += R"(], "inputs": [{"name": "x", "shape": [)" + QByteArray("1,").repeated(100000) + "1]}]}";
    const AiModelManifest big = AiModelManifestLoader::fromJson(huge);
    EXPECT_EQ(big.labels.size(), 200000);
    EXPECT_EQ(big.inputs[0].shape.size(), 100001);

    EXPECT_EQ(read(R"({"task": " Object_Detection "})").task, AiTaskKind::ObjectDetection);
    EXPECT_EQ(read(R"({"inputs": [{"layout": " NCHW "}]})").inputs[0].layout, AiTensorLayout::NCHW);
}

TEST(ManifestJson, LoaderErrors) {
    EXPECT_EQ(errorOf<std::invalid_argument>([] { read(R"({"task": "detector"})"); }),
              "Unsupported AI task 'detector'.");
    EXPECT_EQ(errorOf<std::invalid_argument>([] { read(R"({"inputs": [{"dataType": ""}]})"); }),
              "Unsupported AI tensor data type.");
    EXPECT_EQ(errorOf<std::invalid_argument>([] { read(R"({"outputs": [{"layout": "CHW"}]})"); }),
              "Unsupported AI tensor layout.");
    EXPECT_EQ(errorOf<std::invalid_argument>([] { read(R"({"materializations": [{"kind": ""}]})"); }),
              "Unsupported AI materialization kind ''.");

    const std::string prefix = "Invalid AI model manifest JSON: ";
    QJsonParseError noError;
    QJsonDocument::fromJson("[]", &noError);
    EXPECT_EQ(errorOf<std::invalid_argument>([] { read("[1, 2]"); }),
              prefix + noError.errorString().toStdString());
    for (const char* bad :
         {"", "{", "{\"id\": \"x\"", "garbage", "{\"id\": \"\xff\xfe\"}", "null", "\"text\""}) {
        const std::string message = errorOf<std::invalid_argument>([bad] { read(bad); });
        EXPECT_EQ(message.rfind(prefix, 0), 0u) << bad << " -> " << message;
    }
    const QByteArray deep = QByteArray(100000, '[') + QByteArray(100000, ']');
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiModelManifestLoader::fromJson(deep); }).rfind(prefix, 0),
              0u);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString missing = dir.filePath(QStringLiteral("none.json"));
    EXPECT_EQ(errorOf<std::runtime_error>([&] { AiModelManifestLoader::fromFile(missing); }),
              "Could not open AI model manifest: " + missing.toStdString());
}

TEST(ManifestJson, ToFileCreatesDirectoriesAndNeverWritesAnInvalidManifest) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("a/b/tarnivale-model.json"));
    AiModelManifestWriter::toFile(fullManifest(), path);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    file.close();
    EXPECT_TRUE(written.contains("\n    \"id\": \"land-cover\""));
    EXPECT_EQ(AiModelManifestLoader::fromFile(path).id, QStringLiteral("land-cover"));

    AiModelManifest invalid = fullManifest();
    invalid.id.clear();
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiModelManifestWriter::toFile(invalid, path); }),
              "Cannot serialize invalid AI model manifest: Model id is required.");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), written);
    file.close();

    // A file where a directory is needed.
    const QString blocked = dir.filePath(QStringLiteral("a/b/tarnivale-model.json/x.json"));
    EXPECT_EQ(
        errorOf<std::runtime_error>([&] { AiModelManifestWriter::toFile(fullManifest(), blocked); }),
        "Could not create AI model manifest directory: " + QFileInfo(blocked).absolutePath().toStdString());
    EXPECT_EQ(errorOf<std::runtime_error>([&] { AiModelManifestWriter::toFile(fullManifest(), dir.path()); }),
              "Could not write AI model manifest: " + dir.path().toStdString());
}
