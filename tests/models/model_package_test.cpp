#include <tarnivale/ai/models.h>

#include "manifest_samples.h"
#include "runtime/sha256.h"
#include "support/expectations.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <stdexcept>
#include <string>

using namespace Tarnivale::AI;
using Tarnivale::AI::Testing::errorOf;
using Tarnivale::AI::Testing::minimalManifest;
using Tarnivale::AI::Testing::testModelPath;
using Tarnivale::AI::Testing::valuesOf;

namespace {

const QString kContainment =
    QStringLiteral("Package model path must be relative and remain inside the package directory.");

class ModelPackage : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        package = root.filePath(QStringLiteral("pkg"));
        ASSERT_TRUE(QDir().mkpath(package));
    }
    // Writes a manifest naming modelPath straight into the package, bypassing create().
    AiModelPackage withModelPath(const QString& modelPath, const QString& sha = {}) {
        AiModelManifest manifest = minimalManifest(modelPath);
        manifest.modelSha256 = sha;
        AiModelManifestWriter::toFile(manifest,
                                      QDir(package).filePath(QStringLiteral("tarnivale-model.json")));
        return AiModelPackage::open(package);
    }
    QTemporaryDir root;
    QString package;
};

}  // namespace

TEST_F(ModelPackage, CreateCopiesHashesAndOpens) {
    const QString source = testModelPath(QStringLiteral("add_one.onnx"));
    AiModelManifest manifest = minimalManifest(source);
    manifest.modelSha256 = QStringLiteral("whatever the caller said");
    const AiModelPackage created = AiModelPackage::create(package, manifest, true);

    EXPECT_EQ(created.directoryPath(), QDir(package).absolutePath());
    EXPECT_EQ(created.manifestPath(), QDir(package).filePath(QStringLiteral("tarnivale-model.json")));
    EXPECT_EQ(created.manifest().modelPath, QStringLiteral("add_one.onnx"));
    EXPECT_EQ(created.modelPath(), QDir(package).filePath(QStringLiteral("add_one.onnx")));
    const QString expected = sha256File(source).hex;
    EXPECT_EQ(created.manifest().modelSha256, expected);
    EXPECT_EQ(created.modelSha256(), expected);
    EXPECT_TRUE(created.isValid()) << created.validationErrors().join(QLatin1Char('|')).toStdString();

    // A second copy into the same package refuses to overwrite the model.
    EXPECT_EQ(errorOf<std::runtime_error>([&] { AiModelPackage::create(package, manifest, true); }),
              "AI model package target already exists: " + created.modelPath().toStdString());
    // From the package's own model file nothing is copied and the manifest is rewritten.
    AiModelManifest own = minimalManifest(created.modelPath());
    own.id = QStringLiteral("renamed");
    EXPECT_EQ(AiModelPackage::create(package, own, true).manifest().id, QStringLiteral("renamed"));
    EXPECT_EQ(AiModelPackage::create(package, own, false).manifest().modelSha256, expected);
}

TEST_F(ModelPackage, CreateRefusals) {
    AiModelManifest invalid = minimalManifest(testModelPath(QStringLiteral("add_one.onnx")));
    invalid.version.clear();
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiModelPackage::create(package, invalid, true); }),
              "Cannot create invalid AI model package: Model version is required.");

    const QString missing = root.filePath(QStringLiteral("missing.onnx"));
    EXPECT_EQ(
        errorOf<std::runtime_error>([&] { AiModelPackage::create(package, minimalManifest(missing), true); }),
        "AI model file does not exist: " + missing.toStdString());

    // Without copying, the model must already lie directly in the package directory.
    const QString nested = QDir(package).filePath(QStringLiteral("sub/model.onnx"));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(nested).absolutePath()));
    ASSERT_TRUE(QFile::copy(testModelPath(QStringLiteral("add_one.onnx")), nested));
    EXPECT_EQ(
        errorOf<std::runtime_error>([&] { AiModelPackage::create(package, minimalManifest(nested), false); }),
        "An AI model package must keep its model file inside the package directory.");
    EXPECT_FALSE(QFileInfo::exists(QDir(package).filePath(QStringLiteral("tarnivale-model.json"))));

    const QString blocker = root.filePath(QStringLiteral("file"));
    Testing::writeBytes(blocker, "x");
    const QString impossible = QDir(blocker).filePath(QStringLiteral("pkg"));
    EXPECT_EQ(errorOf<std::runtime_error>([&] {
                  AiModelPackage::create(
                      impossible, minimalManifest(testModelPath(QStringLiteral("add_one.onnx"))), true);
              }),
              "Could not create AI model package directory: " + impossible.toStdString());
}

TEST_F(ModelPackage, ContainmentPresenceAndDigest) {
    Testing::writeBytes(QDir(package).filePath(QStringLiteral("model.onnx")), "model bytes");
    Testing::writeBytes(root.filePath(QStringLiteral("outside.onnx")), "outside");
    ASSERT_TRUE(QDir(package).mkdir(QStringLiteral("sub")));
    const QString digest = Sha256::hex("model bytes");

    EXPECT_TRUE(withModelPath(QStringLiteral("model.onnx"), digest.toUpper()).isValid());
    EXPECT_TRUE(withModelPath(QStringLiteral("sub/../model.onnx"), digest).isValid());
    EXPECT_TRUE(withModelPath(QStringLiteral("./model.onnx")).isValid());

    // Escapes give the containment message only: no presence or digest message follows.
    for (const QString& escaping :
         {QStringLiteral("../outside.onnx"), QStringLiteral("sub/../../outside.onnx"), QStringLiteral(".."),
          root.filePath(QStringLiteral("outside.onnx")),
          QDir(package).filePath(QStringLiteral("model.onnx"))}) {
        EXPECT_EQ(withModelPath(escaping, QStringLiteral("00")).validationErrors(),
                  QList<QString>{kContainment})
            << escaping.toStdString();
    }
    // A symbolic link inside the package that leads out of it escapes too.
    ASSERT_TRUE(QFile::link(root.filePath(QStringLiteral("outside.onnx")),
                            QDir(package).filePath(QStringLiteral("link.onnx"))));
    EXPECT_EQ(withModelPath(QStringLiteral("link.onnx")).validationErrors(), QList<QString>{kContainment});
    ASSERT_TRUE(QFile::link(root.path(), QDir(package).filePath(QStringLiteral("up"))));
    EXPECT_EQ(withModelPath(QStringLiteral("up/outside.onnx")).validationErrors(),
              QList<QString>{kContainment});
    // One that stays inside is fine.
    ASSERT_TRUE(QFile::link(QDir(package).filePath(QStringLiteral("model.onnx")),
                            QDir(package).filePath(QStringLiteral("alias.onnx"))));
    EXPECT_TRUE(withModelPath(QStringLiteral("alias.onnx"), digest).isValid());

    EXPECT_EQ(withModelPath(QStringLiteral("absent.onnx"), QStringLiteral("00")).validationErrors(),
              QList<QString>{QStringLiteral("Package model file does not exist.")});
    EXPECT_EQ(withModelPath(QStringLiteral("sub")).validationErrors(),
              QList<QString>{QStringLiteral("Package model file does not exist.")});
    EXPECT_EQ(withModelPath(QStringLiteral("model.onnx"), QStringLiteral("0123")).validationErrors(),
              QList<QString>{QStringLiteral("Package model SHA-256 does not match the manifest.")});

    // Manifest errors come first, then the package's own.
    AiModelManifest manifest = minimalManifest(QStringLiteral("../outside.onnx"));
    manifest.id.clear();
    AiModelManifestWriter::toFile(minimalManifest(QStringLiteral("x")),
                                  QDir(package).filePath(QStringLiteral("tarnivale-model.json")));
    QFile json(QDir(package).filePath(QStringLiteral("tarnivale-model.json")));
    ASSERT_TRUE(json.open(QIODevice::WriteOnly | QIODevice::Truncate));
    json.write(R"({"version": "1", "modelPath": "../outside.onnx", "inputs": [{"name":"x","shape":[1]}],
                   "outputs": [{"name":"y","shape":[1]}]})");
    json.close();
    EXPECT_EQ(AiModelPackage::open(package).validationErrors(),
              (QList<QString>{QStringLiteral("Model id is required."), kContainment}));
}

TEST_F(ModelPackage, OpenAndHashFailures) {
    EXPECT_EQ(errorOf<std::runtime_error>([&] { AiModelPackage::open(package); }),
              "Could not open AI model manifest: " +
                  QDir(package).filePath(QStringLiteral("tarnivale-model.json")).toStdString());
    Testing::writeBytes(QDir(package).filePath(QStringLiteral("tarnivale-model.json")),
                        "{\"task\": \"nope\"}");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiModelPackage::open(package); }),
              "Unsupported AI task 'nope'.");

    const AiModelPackage absent = withModelPath(QStringLiteral("absent.onnx"));
    EXPECT_EQ(errorOf<std::runtime_error>([&] { absent.modelSha256(); }),
              "Could not read AI model file: " + absent.modelPath().toStdString());

    const AiModelPackage empty;
    EXPECT_TRUE(empty.directoryPath().isEmpty());
    EXPECT_EQ(empty.manifest().schemaVersion, QStringLiteral("1.0"));
}

TEST(PackageBuilder, FluentSettersAndBuild) {
    AiModelPackageBuilder builder;
    EXPECT_EQ(
        errorOf<std::invalid_argument>([&] { builder.build(); }),
        "Invalid AI model package: Model id is required. Model version is required. Model path is required. "
        "At least one input tensor is required. At least one output tensor is required.");

    AiNormalization normalization{{0.5}, {0.25}, 2.0};
    AiModelProvenance provenance;
    provenance.license = QStringLiteral("MIT");
    AiInputAdapterSpec adapter;
    adapter.tensor = QStringLiteral("x");
    AiOutputDecoderSpec decoder;
    decoder.id = QStringLiteral("d");
    decoder.tensor = QStringLiteral("y");
    AiMaterializationSpec materialization;
    materialization.decoder = QStringLiteral("d");
    builder.id(QStringLiteral("m"))
        .version(QStringLiteral("1"))
        .schemaVersion(QStringLiteral("1.1"))
        .task(AiTaskKind::PixelRegression)
        .description(QStringLiteral("desc"))
        .modelPath(QStringLiteral("m.onnx"))
        .modelSha256(QStringLiteral("AB"))
        .addInput(AiTensorSpec{
            QStringLiteral("x"), AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 1, -1, -1}})
        .addOutput(AiTensorSpec{
            QStringLiteral("y"), AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 1, -1, -1}})
        .addInputAdapter(adapter)
        .addOutputDecoder(decoder)
        .addMaterialization(materialization)
        .normalization(normalization)
        .tiling(AiTileOptions{64, 64, 8, 8})
        .labels({QStringLiteral("a")})
        .provenance(provenance)
        .metadata({{QStringLiteral("k"), 1}, {QStringLiteral("old"), 2}})
        .metadataValue(QStringLiteral("old"), QStringLiteral("replaced"));
    const AiModelManifest built = builder.build();
    EXPECT_EQ(built.id, QStringLiteral("m"));
    EXPECT_EQ(built.task, AiTaskKind::PixelRegression);
    EXPECT_EQ(built.modelSha256, QStringLiteral("AB"));
    EXPECT_EQ(built.inputAdapters.size(), 1);
    EXPECT_EQ(built.materializations.size(), 1);
    EXPECT_EQ(built.normalization.scale, 2.0);
    EXPECT_EQ(built.tiling.width, 64);
    EXPECT_EQ(built.provenance.license, QStringLiteral("MIT"));
    EXPECT_EQ(built.metadata.value(QStringLiteral("old")).toString(), QStringLiteral("replaced"));
    EXPECT_EQ(built.metadata.value(QStringLiteral("k")).toInt(), 1);
    // The builder keeps its manifest after build().
    EXPECT_EQ(builder.build().id, QStringLiteral("m"));
}
