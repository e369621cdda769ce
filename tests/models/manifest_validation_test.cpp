#include <tarnivale/ai/models.h>

#include "manifest_samples.h"

#include <gtest/gtest.h>

using namespace Tarnivale::AI;
using Tarnivale::AI::Testing::fullManifest;
using Tarnivale::AI::Testing::minimalManifest;

namespace {

const QList<QString> kDefaultMessages{
    QStringLiteral("Model id is required."), QStringLiteral("Model version is required."),
    QStringLiteral("Model path is required."), QStringLiteral("At least one input tensor is required."),
    QStringLiteral("At least one output tensor is required.")};

QString schemaMessage(const QString& version) {
    return QStringLiteral("Unsupported AI model manifest schemaVersion '%1'; supported major version is 1.")
        .arg(version);
}

AiOutputDecoderSpec decoder(const QString& id, const QString& tensor, const QString& role = {}) {
    AiOutputDecoderSpec spec;
    spec.id = id;
    spec.tensor = tensor;
    if (!role.isNull()) {
        spec.options.insert(QStringLiteral("role"), role);
    }
    return spec;
}

}  // namespace

TEST(ManifestValidation, DefaultManifestAndSchemaVersions) {
    AiModelManifest manifest;
    EXPECT_EQ(manifest.validationErrors(), kDefaultMessages);
    EXPECT_FALSE(manifest.isValid());

    manifest.schemaVersion = QStringLiteral("1.1");
    const QList<QString> schema11{
        QStringLiteral("Task is required for manifest schema 1.1 and later."),
        QStringLiteral("At least one input adapter is required for manifest schema 1.1 and later."),
        QStringLiteral("At least one output decoder is required for manifest schema 1.1 and later.")};
    EXPECT_EQ(manifest.validationErrors(), kDefaultMessages + schema11);

    AiModelManifest valid = minimalManifest();
    EXPECT_TRUE(valid.isValid()) << valid.validationErrors().join(QLatin1Char('|')).toStdString();
    for (const char* bad : {"2.0", "x", "", ".1", "0.9"}) {
        valid.schemaVersion = QString::fromLatin1(bad);
        EXPECT_EQ(valid.validationErrors().value(0), schemaMessage(valid.schemaVersion)) << bad;
    }
    // Major 1 passes rule 1; anything but exactly "1.0" gets the schema 1.1 rules.
    for (const char* good : {"1", "1.7", "1.00"}) {
        valid.schemaVersion = QString::fromLatin1(good);
        const QList<QString> errors = valid.validationErrors();
        EXPECT_FALSE(errors.contains(schemaMessage(valid.schemaVersion))) << good;
        EXPECT_TRUE(errors.contains(QStringLiteral("Task is required for manifest schema 1.1 and later.")))
            << good;
    }
    EXPECT_TRUE(fullManifest().isValid())
        << fullManifest().validationErrors().join(QLatin1Char('|')).toStdString();
}

TEST(ManifestValidation, TilingAndTensors) {
    AiModelManifest manifest = minimalManifest();
    manifest.tiling = AiTileOptions{512, 512, 512, 0};
    EXPECT_EQ(
        manifest.validationErrors(),
        QList<QString>{QStringLiteral("Tile overlap must be non-negative and smaller than the tile size.")});
    manifest.tiling = AiTileOptions{512, 512, 0, 0};
    EXPECT_TRUE(manifest.isValid());
    manifest.tiling = AiTileOptions{0, 512, 0, 0};
    EXPECT_EQ(manifest.validationErrors(),
              (QList<QString>{
                  QStringLiteral("Tile width and height must be positive."),
                  QStringLiteral("Tile overlap must be non-negative and smaller than the tile size.")}));

    manifest = minimalManifest();
    manifest.inputs = {
        AiTensorSpec{QStringLiteral("a"), AiTensorDataType::Float32, AiTensorLayout::Unknown, {1, -1, 0, -5}},
        AiTensorSpec{QStringLiteral(" "), AiTensorDataType::Float32, AiTensorLayout::Unknown, {}}};
    manifest.outputs.append(AiTensorSpec{QString(), AiTensorDataType::Float32, AiTensorLayout::Unknown, {2}});
    EXPECT_EQ(manifest.validationErrors(),
              (QList<QString>{QStringLiteral("Input tensor 'a' contains an invalid dimension."),
                              QStringLiteral("Input tensor 'a' contains an invalid dimension."),
                              QStringLiteral("Input tensor 1 has no name."),
                              QStringLiteral("Input tensor ' ' has no shape."),
                              QStringLiteral("Output tensor 1 has no name.")}));
}

TEST(ManifestValidation, AdaptersDecodersMaterializationsAndNormalization) {
    AiModelManifest manifest = minimalManifest();
    AiInputAdapterSpec adapter;
    adapter.tensor = QStringLiteral("X");  // names are case-sensitive
    adapter.source = QStringLiteral("  ");
    adapter.bands = {1, 0, -2};
    manifest.inputAdapters = {adapter};

    AiOutputDecoderSpec blank = decoder(QStringLiteral(" "), QStringLiteral("y"));
    AiOutputDecoderSpec first = decoder(QStringLiteral("mask"), QStringLiteral("y"));
    AiOutputDecoderSpec second = decoder(QStringLiteral("mask"), QStringLiteral("z"));
    second.activation = QString();
    second.threshold = 1.5;
    manifest.outputDecoders = {blank, first, second};

    AiMaterializationSpec known;
    known.decoder = QStringLiteral("mask");
    AiMaterializationSpec unknown;
    unknown.decoder = QStringLiteral(" ");
    manifest.materializations = {known, unknown};
    manifest.normalization = AiNormalization{{1, 2, 3}, {1, 0.0}, 1.0};
    manifest.normalization.standardDeviation.append(-0.0);

    EXPECT_EQ(manifest.validationErrors(),
              (QList<QString>{
                  QStringLiteral("Input adapter references unknown tensor 'X'."),
                  QStringLiteral("Input adapter for 'X' requires a source."),
                  QStringLiteral("Input adapter bands are one-based and must be positive."),
                  QStringLiteral("Input adapter bands are one-based and must be positive."),
                  QStringLiteral("Output decoder id is required."),
                  QStringLiteral("Output decoder id 'mask' is duplicated."),
                  QStringLiteral("Output decoder 'mask' references unknown tensor 'z'."),
                  QStringLiteral("Output decoder 'mask' requires an explicit activation."),
                  QStringLiteral("Output decoder 'mask' threshold must be between 0 and 1."),
                  QStringLiteral("Materialization references unknown decoder ' '."),
                  QStringLiteral("Normalization standard deviation cannot be zero."),
                  QStringLiteral("Normalization standard deviation cannot be zero."),
              }));

    // Mean without deviation passes; different non-empty sizes do not.
    manifest = minimalManifest();
    manifest.normalization = AiNormalization{{1, 2, 3}, {}, 1.0};
    EXPECT_TRUE(manifest.isValid());
    manifest.normalization.standardDeviation = {1, 2};
    EXPECT_EQ(manifest.validationErrors(),
              QList<QString>{QStringLiteral("Normalization mean and standard deviation sizes must match.")});

    // Without decoders, every materialization fails.
    manifest = minimalManifest();
    manifest.materializations = {known};
    EXPECT_EQ(manifest.validationErrors(),
              QList<QString>{QStringLiteral("Materialization references unknown decoder 'mask'.")});
}

TEST(ManifestValidation, ObjectDetectionRoles) {
    AiModelManifest manifest = minimalManifest();
    manifest.task = AiTaskKind::ObjectDetection;
    manifest.outputDecoders = {decoder(QStringLiteral("a"), QStringLiteral("y"), QStringLiteral(" Boxes ")),
                               decoder(QStringLiteral("b"), QStringLiteral("y"), QStringLiteral("scores")),
                               decoder(QStringLiteral("c"), QStringLiteral("y"), QStringLiteral("SCORES"))};
    EXPECT_EQ(manifest.validationErrors(),
              (QList<QString>{QStringLiteral("Object-detection output role 'scores' must be unique."),
                              QStringLiteral("Object-detection output role 'classes' is required.")}));
    manifest.outputDecoders[2].options.insert(QStringLiteral("role"), QStringLiteral("classes"));
    EXPECT_TRUE(manifest.isValid());
    // Roles only matter for detection.
    manifest.task = AiTaskKind::SemanticSegmentation;
    manifest.outputDecoders.clear();
    EXPECT_TRUE(manifest.isValid());
}
