#include <tarnivale/ai/runtime.h>

#include "runtime/sam3_bundle_probe.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

using namespace Tarnivale::AI;
using Tarnivale::AI::Testing::testModelPath;

namespace {

class Sam3Probe : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        model = dir.filePath(QStringLiteral("vision.onnx"));
        ASSERT_TRUE(QFile::copy(testModelPath(QStringLiteral("add_one.onnx")), model));
    }
    void writeManifest(const QByteArray& text) {
        QFile file(dir.filePath(QStringLiteral("sam3-package.json")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    QTemporaryDir dir;
    QString model;
};

const QByteArray kManifest =
    R"({"schema":"tarnivale.sam3-package/1","model":"facebook/sam3","graphs":["text.onnx","vision.onnx"]})";

}  // namespace

TEST_F(Sam3Probe, RecognisesOnlyAGraphNamedByAValidManifest) {
    EXPECT_FALSE(isSam3BundleGraph(model));  // no manifest
    writeManifest(kManifest);
    EXPECT_TRUE(isSam3BundleGraph(model));
    // Graph optimisation is off for it, and the model still loads and runs.
    const AiSession session(model);
    EXPECT_EQ(session.run({AiTensor::fromFloat32(QStringLiteral("x"), {1, 1, 1, 1}, {2.0f})}).outputs.size(),
              1);

    writeManifest(R"({"schema":"tarnivale.sam3-package/1","model":"other/model","graphs":["vision.onnx"]})");
    EXPECT_FALSE(isSam3BundleGraph(model));
    writeManifest(
        R"({"schema":"tarnivale.sam3-package/2","model":"facebook/sam3","graphs":["vision.onnx"]})");
    EXPECT_FALSE(isSam3BundleGraph(model));
    writeManifest(R"({"schema":"tarnivale.sam3-package/1","model":"facebook/sam3","graphs":["text.onnx"]})");
    EXPECT_FALSE(isSam3BundleGraph(model));
    writeManifest(R"({"schema":"tarnivale.sam3-package/1","model":"facebook/sam3","graphs":"vision.onnx"})");
    EXPECT_FALSE(isSam3BundleGraph(model));
    writeManifest(R"(["tarnivale.sam3-package/1"])");
    EXPECT_FALSE(isSam3BundleGraph(model));
    writeManifest("{\"schema\": \"tarnivale.sam3-package/1\", trunc");
    EXPECT_FALSE(isSam3BundleGraph(model));
}

TEST_F(Sam3Probe, ManifestOfOneMebibyteOrMoreIsIgnored) {
    // Valid JSON padded with spaces: exactly 1 MiB is too large, one byte less is accepted.
    QByteArray padded = kManifest;
    padded.append(QByteArray(1024 * 1024 - padded.size(), ' '));
    writeManifest(padded);
    EXPECT_FALSE(isSam3BundleGraph(model));
    padded.chop(1);
    writeManifest(padded);
    EXPECT_TRUE(isSam3BundleGraph(model));
}
