#include <tarnivale/ai/models.h>

#include "manifest_samples.h"
#include "support/expectations.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

using namespace Tarnivale::AI;
using Tarnivale::AI::Testing::minimalManifest;
using Tarnivale::AI::Testing::testModelPath;

namespace {

// A manifest describing add_one.onnx exactly, with normalization and labels.
AiModelManifest addOneManifest() {
    AiModelManifest manifest = minimalManifest(QStringLiteral("add_one.onnx"));
    manifest.inputs = {
        AiTensorSpec{QStringLiteral("x"), AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 3, -1, -1}}};
    manifest.outputs = {
        AiTensorSpec{QStringLiteral("y"), AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 3, 512, 512}}};
    manifest.normalization = AiNormalization{{0.5}, {0.25}, 1.0};
    manifest.labels = {QStringLiteral("a")};
    return manifest;
}

}  // namespace

TEST(ModelInspection, InspectsAModelAndReportsFailures) {
    const AiModelInspection inspection =
        AiModelInspector::inspect(testModelPath(QStringLiteral("add_one.onnx")));
    EXPECT_TRUE(inspection.succeeded());
    EXPECT_EQ(inspection.modelSha256.size(), 64);
    ASSERT_EQ(inspection.inputs.size(), 1);
    EXPECT_EQ(inspection.inputs[0].shape, (QList<std::int64_t>{1, -1, -1, -1}));
    EXPECT_EQ(inspection.availableProviders.front(), AiExecutionProvider::Cpu);
    EXPECT_EQ(inspection.warnings,
              QList<QString>{QStringLiteral(
                  "Input 'x' has a rank-4 shape but its tensor layout cannot be inferred safely.")});

    EXPECT_TRUE(
        AiModelInspector::inspect(testModelPath(QStringLiteral("two_inputs.onnx"))).warnings.isEmpty());
    const AiModelInspection constant =
        AiModelInspector::inspect(testModelPath(QStringLiteral("no_inputs.onnx")));
    EXPECT_EQ(constant.warnings, QList<QString>{QStringLiteral("The model declares no inputs.")});

    const QString absent = testModelPath(QStringLiteral("absent.onnx"));
    const AiModelInspection missing = AiModelInspector::inspect(absent);
    EXPECT_FALSE(missing.succeeded());
    EXPECT_EQ(missing.error, QStringLiteral("Could not read AI model file: %1").arg(absent));
    EXPECT_TRUE(missing.modelSha256.isEmpty());
    EXPECT_TRUE(missing.inputs.isEmpty());
    EXPECT_FALSE(missing.availableProviders.isEmpty());

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString corruptPath = Testing::writeBytes(dir.filePath(QStringLiteral("corrupt.onnx")),
                                                    "\x08\x07 definitely not a protobuf");
    const AiModelInspection corrupt = AiModelInspector::inspect(corruptPath);
    EXPECT_TRUE(corrupt.error.startsWith(QStringLiteral("ONNX Runtime error: ")))
        << corrupt.error.toStdString();
    EXPECT_EQ(corrupt.modelSha256.size(), 64);
    EXPECT_TRUE(corrupt.inputs.isEmpty());

    const AiModelInspection unsupported =
        AiModelInspector::inspect(testModelPath(QStringLiteral("float16_identity.onnx")));
    EXPECT_EQ(unsupported.error, QStringLiteral("The ONNX model uses an unsupported tensor data type."));
    EXPECT_EQ(unsupported.modelSha256.size(), 64);  // filled before the failing step
}

TEST(ModelInspection, CompatibilityGrades) {
    const AiModelInspection rank4 = AiModelInspector::inspect(testModelPath(QStringLiteral("add_one.onnx")));
    AiCompatibilityReport report = AiCompatibilityChecker::check(addOneManifest(), rank4);
    EXPECT_EQ(report.status, AiCompatibilityStatus::CompatibleWithWarnings);
    EXPECT_TRUE(report.isCompatible());
    EXPECT_EQ(aiCompatibilityStatusName(report.status), QStringLiteral("CompatibleWithWarnings"));

    AiModelManifest noNormalization = addOneManifest();
    noNormalization.normalization = AiNormalization{};
    report = AiCompatibilityChecker::check(noNormalization, rank4);
    EXPECT_EQ(report.status, AiCompatibilityStatus::ConfigurationRequired);
    EXPECT_EQ(report.requiredConfiguration,
              QList<QString>{QStringLiteral("Input normalization mean and standard deviation.")});
    EXPECT_FALSE(report.isCompatible());

    AiModelManifest mismatched = addOneManifest();
    mismatched.inputs[0].shape = {1, 3, 256, 256};  // the model's -1 matches anything, 3 vs -1 too
    mismatched.outputs[0].dataType = AiTensorDataType::Int32;
    mismatched.outputs[0].layout = AiTensorLayout::Unknown;
    mismatched.inputs.append(
        AiTensorSpec{QStringLiteral("z"), AiTensorDataType::Float32, AiTensorLayout::Unknown, {1}});
    mismatched.labels.clear();
    report = AiCompatibilityChecker::check(mismatched, rank4);
    EXPECT_EQ(report.status, AiCompatibilityStatus::Unsupported);
    EXPECT_EQ(report.errors,
              (QList<QString>{QStringLiteral("Declared input tensor 'z' was not found in the ONNX model."),
                              QStringLiteral("output tensor 'y' data type does not match the ONNX model.")}));
    EXPECT_EQ(report.requiredConfiguration, QList<QString>{QStringLiteral("Tensor layout for output 'y'.")});
    EXPECT_EQ(
        report.warnings.last(),
        QStringLiteral("No class labels are defined; this is acceptable for non-classification models."));

    // A model without rank-4 inputs and a manifest that matches it: fully compatible.
    AiModelManifest pair = minimalManifest(QStringLiteral("two_inputs.onnx"));
    pair.inputs = {
        AiTensorSpec{QStringLiteral("a"), AiTensorDataType::Float32, AiTensorLayout::Unknown, {2, 3}}};
    pair.outputs = {
        AiTensorSpec{QStringLiteral("sum"), AiTensorDataType::Float32, AiTensorLayout::Unknown, {2, -1}}};
    pair.normalization = AiNormalization{{0.0}, {1.0}, 1.0};
    pair.labels = {QStringLiteral("x")};
    report = AiCompatibilityChecker::check(
        pair, AiModelInspector::inspect(testModelPath(QStringLiteral("two_inputs.onnx"))));
    EXPECT_EQ(report.status, AiCompatibilityStatus::Compatible)
        << report.errors.join(QLatin1Char('|')).toStdString();
    pair.inputs[0].shape = {2};
    report = AiCompatibilityChecker::check(
        pair, AiModelInspector::inspect(testModelPath(QStringLiteral("two_inputs.onnx"))));
    EXPECT_EQ(report.errors,
              QList<QString>{QStringLiteral("input tensor 'a' shape does not match the ONNX model.")});

    // A failed inspection: its error last, no tensor comparison.
    AiModelManifest invalid = addOneManifest();
    invalid.id.clear();
    report = AiCompatibilityChecker::check(
        invalid, AiModelInspector::inspect(testModelPath(QStringLiteral("absent.onnx"))));
    EXPECT_EQ(report.status, AiCompatibilityStatus::Unsupported);
    ASSERT_EQ(report.errors.size(), 2);
    EXPECT_EQ(report.errors[0], QStringLiteral("Model id is required."));
    EXPECT_TRUE(report.errors[1].startsWith(QStringLiteral("Could not read AI model file: ")));
    EXPECT_EQ(aiCompatibilityStatusName(static_cast<AiCompatibilityStatus>(9)),
              QStringLiteral("Unsupported"));
}
