// Detection decoding: tensor and option refusals in their order, box formats, normalisation, class
// rounding, thresholds, suppression rules and limits; the executor's roles, option overrides and a real
// package run.

#include <tarnivale/ai/detection.h>

#include "support/expectations.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

AiTensor floats(const QList<std::int64_t>& shape, const QList<float>& values, const char* name = "t") {
    return AiTensor::fromFloat32(QString::fromLatin1(name), shape, values);
}

/// N boxes (four values each), N scores, N class values.
struct Candidates {
    QList<float> boxes;
    QList<float> scores;
    QList<float> classes;
};

QList<AiDetection> decode(const Candidates& c, const AiObjectDetectionOptions& options = {},
                          const QList<QString>& labels = {}) {
    const std::int64_t n = c.scores.size();
    return AiObjectDetectionDecoder::decode(floats({n, 4}, c.boxes), floats({n}, c.scores),
                                            floats({n}, c.classes), options, labels);
}

std::string boxOf(const AiDetection& d) {
    return QStringLiteral("%1,%2,%3,%4 c%5 %6")
        .arg(d.xMin)
        .arg(d.yMin)
        .arg(d.xMax)
        .arg(d.yMax)
        .arg(d.classId)
        .arg(d.label)
        .toStdString();
}

}  // namespace

TEST(DetectionDecoder, RefusalsInTheirOrder) {
    const AiTensor box = floats({1, 4}, {0, 0, 1, 1});
    const AiTensor one = floats({1}, {0.9F});
    AiTensor doubleBoxes = box;
    doubleBoxes.dataType = AiTensorDataType::Float64;
    doubleBoxes.data.append(QByteArray(16, '\0'));
    AiTensor broken = one;
    broken.data.chop(1);
    AiObjectDetectionOptions threshold;
    threshold.scoreThreshold = 1.5;
    AiObjectDetectionOptions nms;
    nms.nmsThreshold = -0.1;
    AiObjectDetectionOptions none;
    none.maximumDetections = 0;
    AiObjectDetectionOptions normalised;
    normalised.normalizedCoordinates = true;
    normalised.imageWidth = 10;
    AiObjectDetectionOptions format;
    format.boxFormat = "yxyx";
    const std::string shape = "AI detection boxes must have shape [N,4] or [1,N,4].";
    struct Row {
        AiTensor boxes, scores, classes;
        AiObjectDetectionOptions options;
        std::string message;
    };
    const std::vector<Row> rows{
        {box, broken, one, {}, broken.validationErrors().join(u' ').toStdString()},
        {doubleBoxes, one, one, {}, "AI detection boxes currently require a Float32 tensor."},
        {box, one, one, threshold, "AI detection score and NMS thresholds must be between 0 and 1."},
        {box, one, one, nms, "AI detection score and NMS thresholds must be between 0 and 1."},
        {box, one, one, none, "AI detection maximumDetections must be positive."},
        {box, one, one, normalised, "Normalized AI detection coordinates require positive image dimensions."},
        {floats({2, 4, 1}, QList<float>(8, 1)), floats({2}, {1, 1}), floats({2}, {1, 1}), {}, shape},
        {floats({2, 1, 4}, QList<float>(8, 1)), floats({2}, {1, 1}), floats({2}, {1, 1}), {}, shape},
        {box,
         floats({2}, {1, 1}),
         one,
         {},
         "AI detection boxes, scores, and classes must contain the same number of detections."},
        {box, one, one, format, "AI detection boxFormat must be xyxy, xywh, or cxcywh."},
        {floats({1, 1, 4}, {0, 0, 1, 1}), floats({1}, {0.1F}), one, format,
         "no error"},  // no candidate reaches the format
    };
    for (const Row& row : rows) {
        EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                      AiObjectDetectionDecoder::decode(row.boxes, row.scores, row.classes, row.options);
                  }),
                  row.message);
    }
}

TEST(DetectionDecoder, FormatsClassesThresholdsAndSuppression) {
    // Formats: xywh sums in single precision and swaps a negative width; zero width is dropped;
    // a normalised cxcywh box on 100 x 50.
    AiObjectDetectionOptions xywh;
    xywh.boxFormat = " XYWH ";
    const QList<AiDetection> swapped = decode({{10, 10, -4, 6, 0, 0, 0, 5}, {0.9F, 0.8F}, {0, 0}}, xywh);
    ASSERT_EQ(swapped.size(), 1);
    EXPECT_EQ(boxOf(swapped[0]), "6,10,10,16 c0 ");
    AiObjectDetectionOptions centred;
    centred.boxFormat = "cxcywh";
    centred.normalizedCoordinates = true;
    centred.imageWidth = 100;
    centred.imageHeight = 50;
    EXPECT_EQ(boxOf(decode({{0.5F, 0.5F, 0.2F, 0.4F}, {0.9F}, {0}}, centred).at(0)), "40,15,60,35 c0 ");

    // Classes round half away from zero; labels only within range.
    const QList<AiDetection> classes =
        decode({{0, 0, 1, 1, 5, 5, 6, 6, 10, 10, 11, 11}, {0.9F, 0.8F, 0.7F}, {2.5F, -0.5F, 7}}, {},
               {"a", "b", "c", "d"});
    ASSERT_EQ(classes.size(), 3);
    EXPECT_EQ(boxOf(classes[0]), "0,0,1,1 c3 d");
    EXPECT_EQ(boxOf(classes[1]), "5,5,6,6 c-1 ");
    EXPECT_EQ(boxOf(classes[2]), "10,10,11,11 c7 ");

    // The threshold keeps an equal score, NaN goes even with threshold 0; scores come best first.
    AiObjectDetectionOptions zero;
    zero.scoreThreshold = 0.0;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const QList<AiDetection> kept =
        decode({{0, 0, 1, 1, 5, 5, 6, 6, 10, 10, 11, 11}, {0.25F, nan, 0.5F}, {0, 0, 0}});
    ASSERT_EQ(kept.size(), 2);
    EXPECT_EQ(kept[0].score, 0.5);
    EXPECT_EQ(decode({{0, 0, 1, 1}, {nan}, {0}}, zero).size(), 0);
    // A NaN corner fails "xMin < xMax" and is dropped; an infinite extent is a box like any other here (the
    // georeferencer skips it) and its NaN overlaps suppress nothing.
    const float inf = std::numeric_limits<float>::infinity();
    const QList<AiDetection> unbounded = decode(
        {{nan, 0, 1, 1, 0, 0, inf, 1, 0, -inf, 1, 1, 2, 2, 3, 3}, {0.9F, 0.8F, 0.7F, 0.6F}, {0, 0, 0, 0}});
    ASSERT_EQ(unbounded.size(), 3);
    EXPECT_EQ(boxOf(unbounded[0]) + boxOf(unbounded[1]), "0,0,inf,1 c0 0,-inf,1,1 c0 ");

    // Suppression: IoU exactly at the threshold keeps both; above suppresses within a class only, unless
    // class-agnostic; the limit stops after the first accepted.
    const Candidates third{{0, 0, 10, 10, 0, 5, 10, 15}, {0.9F, 0.8F}, {0, 0}};  // IoU 50 / 150 = 1/3
    AiObjectDetectionOptions atThird;
    atThird.nmsThreshold = 1.0 / 3.0;
    EXPECT_EQ(decode(third, atThird).size(), 2);
    atThird.nmsThreshold = 0.3;
    EXPECT_EQ(decode(third, atThird).size(), 1);
    const Candidates classesApart{{0, 0, 10, 10, 0, 5, 10, 15}, {0.9F, 0.8F}, {0, 1}};
    EXPECT_EQ(decode(classesApart, atThird).size(), 2);
    atThird.classAgnosticNms = true;
    EXPECT_EQ(decode(classesApart, atThird).size(), 1);
    AiObjectDetectionOptions single;
    single.maximumDetections = 1;
    const QList<AiDetection> best = decode({{0, 0, 1, 1, 5, 5, 6, 6}, {0.3F, 0.9F}, {0, 1}}, single);
    ASSERT_EQ(best.size(), 1);
    EXPECT_EQ(best[0].score, static_cast<double>(0.9F));
    // An empty [1, 0, 4] set decodes to nothing.
    EXPECT_TRUE(AiObjectDetectionDecoder::decode(floats({1, 0, 4}, {}), floats({0}, {}), floats({0}, {}), {})
                    .isEmpty());
}

TEST(DetectionExecutor, RolesOverridesAndAPackageRun) {
    AiModelManifest manifest;
    manifest.id = "detector";
    manifest.version = "1";
    manifest.modelPath = testModelPath("detection_heads.onnx");
    manifest.task = AiTaskKind::ObjectDetection;
    manifest.labels = {"house", "shed"};
    manifest.inputs = {{"x", AiTensorDataType::Float32, AiTensorLayout::Unknown, {1}}};
    manifest.outputs = {{"boxes", AiTensorDataType::Float32, AiTensorLayout::Unknown, {1, 3, 4}},
                        {"logits", AiTensorDataType::Float32, AiTensorLayout::Unknown, {1, 3}},
                        {"labels", AiTensorDataType::Float32, AiTensorLayout::Unknown, {1, 3}}};
    AiOutputDecoderSpec boxes{"b", "boxes", "none", 1, 0.5, {{"role", " Boxes "}, {"nmsThreshold", 0.9}}};
    AiOutputDecoderSpec scores{"s", "logits", "sigmoid", 1, 0.6, {{"role", "scores"}}};
    AiOutputDecoderSpec classes{"c", "labels", "none", 1, 0.5, {{"role", "classes"}, {"nmsThreshold", 0.5}}};
    manifest.outputDecoders = {boxes, scores, classes};
    QTemporaryDir dir;
    const QString package = AiModelPackage::create(dir.filePath("package"), manifest, true).directoryPath();
    const AiTensor x = AiTensor::fromFloat32("x", {1}, {1.0F});
    // Sigmoid scores 0.88, 0.73, 0.62 against the scores decoder's threshold 0.6; the classes decoder's
    // nmsThreshold 0.5 (applied last) suppresses the second house (IoU 0.82).
    const AiObjectDetectionResult result = AiObjectDetectionExecutor::run(package, {x});
    ASSERT_EQ(result.detections.size(), 2);
    EXPECT_EQ(boxOf(result.detections[0]), "10,10,50,50 c0 house");
    EXPECT_EQ(boxOf(result.detections[1]), "60,60,90,80 c1 shed");
    EXPECT_EQ(result.provider, AiExecutionProvider::Cpu);

    const AiInferenceResult outputs = AiSession(testModelPath("detection_heads.onnx")).run({x});
    struct Row {
        std::function<void(AiModelManifest&)> change;
        std::string message;
    };
    const std::vector<Row> rows{
        {[](AiModelManifest& m) { m.task = AiTaskKind::SemanticSegmentation; },
         "AI manifest task must be object_detection."},
        {[](AiModelManifest& m) { m.outputDecoders.removeLast(); },
         "Object-detection output role 'classes' is missing."},
        {[](AiModelManifest& m) { m.outputDecoders.append(m.outputDecoders.first()); },
         "Object-detection output role 'boxes' is duplicated."},
        {[](AiModelManifest& m) { m.outputDecoders[1].tensor = "scores"; },
         "Inference output tensor was not produced: scores"},
    };
    for (const Row& row : rows) {
        AiModelManifest changed = manifest;
        row.change(changed);
        EXPECT_EQ(errorOf<std::exception>([&] { AiObjectDetectionExecutor::decode(changed, outputs); }),
                  row.message);
    }
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiObjectDetectionExecutor::run(" ", {x}); }),
              "AI model package path is required.");
}

TEST(DetectionGeoreferencer, MapsCornersAndSkipsUnusableBoxes) {
    const auto corners = [](const AiGeoreferencedDetection& d) {
        QStringList points;
        for (const AiGeoPoint& p : d.footprint) {
            points << QStringLiteral("(%1 %2)").arg(p.x).arg(p.y);
        }
        return points.join(u' ').toStdString();
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const QList<AiDetection> boxes{
        {10, 10, 20, 30, 0.9, 2, "car"}, {5, 5, 5, 9, 0.8, 0, ""}, {nan, 0, 1, 1, 0.7, 0, ""}};
    const QList<AiGeoreferencedDetection> northUp =
        AiDetectionGeoreferencer::transform(boxes, {100, 2, 0, 50, 0, -2});
    ASSERT_EQ(northUp.size(), 1);
    EXPECT_EQ(corners(northUp[0]), "(120 30) (140 30) (140 -10) (120 -10)");
    EXPECT_EQ(northUp[0].label, "car");
    EXPECT_EQ(northUp[0].classId, 2);
    // Rotated and skewed terms take part in both coordinates.
    EXPECT_EQ(corners(AiDetectionGeoreferencer::transform({boxes[0]}, {0, 1, 0.5, 0, 0.25, -1})[0]),
              "(15 -7.5) (25 -5) (35 -25) (25 -27.5)");
    for (const auto& [transform, message] : std::vector<std::pair<QList<double>, std::string>>{
             {{1, 2, 3}, "A six-value GDAL geotransform is required."},
             {{0, 1, 0, 0, 0, nan}, "The geotransform contains a non-finite value."}}) {
        EXPECT_EQ(
            errorOf<std::invalid_argument>([&] { AiDetectionGeoreferencer::transform(boxes, transform); }),
            message);
    }
}
