// Instance separation on hand-drawn rasters (option and tensor refusals, connectivity, boundary ridges,
// seeds from the distance, unseeded islands, the size floor) and the package executor on the generated
// three-head building model.

#include <tarnivale/ai/raster.h>

#include "support/expectations.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

/// A Float32 [1, 1, rows, columns] band from text rows: '#' = `on`, '.' = 0, digits = their value / 10.
AiTensor band(const std::vector<std::string>& rows, float on = 1.0F) {
    QList<float> values;
    for (const std::string& row : rows) {
        for (const char c : row) {
            values.append(c == '#' ? on : c == '.' ? 0.0F : static_cast<float>(c - '0') / 10.0F);
        }
    }
    return AiTensor::fromFloat32(
        "band",
        {1, 1, static_cast<std::int64_t>(rows.size()), static_cast<std::int64_t>(rows.front().size())},
        values);
}

/// The labels as text rows: '.' for 0, then '1'...'9'.
std::vector<std::string> labels(const AiInstanceSeparationResult& result) {
    const std::vector<std::int32_t> values = valuesOf<std::int32_t>(result.instances.data);
    const auto width = static_cast<size_t>(result.instances.shape.last());
    std::vector<std::string> rows;
    for (size_t i = 0; i < values.size(); i += width) {
        std::string row;
        for (size_t x = 0; x < width; ++x) {
            row += values[i + x] == 0 ? '.' : static_cast<char>('0' + values[i + x]);
        }
        rows.push_back(row);
    }
    return rows;
}

}  // namespace

TEST(InstanceSeparator, RefusesOptionsAndTensorsInTheirOrder) {
    const AiTensor f = band({"##", "##"});
    AiTensor doubles = f;
    doubles.dataType = AiTensorDataType::Float64;
    AiTensor flat = AiTensor::fromFloat32("f", {4}, {1, 1, 1, 1});
    AiTensor stacked = AiTensor::fromFloat32("f", {2, 2, 1}, {1, 1, 1, 1});
    stacked.shape = {2, 1, 2};  // two bands of 1 x 2: more elements than one band holds
    stacked.data.append(QByteArray(0, '\0'));
    const AiTensor wider = band({"###", "###"});
    AiInstanceSeparationOptions nan;
    nan.seedThreshold = std::numeric_limits<double>::quiet_NaN();
    AiInstanceSeparationOptions small;
    small.minimumRegionPixels = 0;
    AiInstanceSeparationOptions six;
    six.connectivity = 6;
    struct Row {
        AiTensor foreground;
        const AiTensor* boundary;
        const AiTensor* distance;
        AiInstanceSeparationOptions options;
        std::string message;
    };
    const std::vector<Row> rows{
        {f, nullptr, nullptr, nan, "Instance separation thresholds must be finite."},
        {f, nullptr, nullptr, small, "minimumRegionPixels must be at least one."},
        {f, nullptr, nullptr, six, "connectivity must be either 4 or 8."},
        {doubles, nullptr, nullptr, {}, "Foreground tensor must use Float32 data."},
        {flat, nullptr, nullptr, {}, "Foreground tensor must have at least two dimensions."},
        {stacked, nullptr, nullptr, {}, "Foreground tensor must contain one two-dimensional raster band."},
        {f, &doubles, nullptr, {}, "Boundary tensor must use Float32 data."},
        {f, nullptr, &flat, {}, "Signed-distance tensor must have at least two dimensions."},
        {f, &wider, nullptr, {}, "Instance separation tensors must have identical raster dimensions."},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                      AiInstanceSeparator::separate(row.foreground, row.boundary, row.distance, row.options);
                  }),
                  row.message);
    }
}

TEST(InstanceSeparator, SeparatesComponentsRidgesSeedsIslandsAndSmallRegions) {
    // Without boundary or distance every foreground pixel seeds: the diagonal joins at 8, not at 4.
    const AiTensor diagonal = band({"##..", "##..", "..##", "..##"});
    AiInstanceSeparationOptions four;
    four.connectivity = 4;
    EXPECT_EQ(labels(AiInstanceSeparator::separate(diagonal, nullptr, nullptr, four)),
              (std::vector<std::string>{"11..", "11..", "..22", "..22"}));
    EXPECT_EQ(AiInstanceSeparator::separate(diagonal, nullptr, nullptr).instanceCount, 1);
    // Nothing at the threshold: an empty label raster.
    EXPECT_EQ(AiInstanceSeparator::separate(band({"44", "44"}), nullptr, nullptr).instanceCount, 0);

    // Two touching roofs split by a ridge of boundary pixels; the ridge goes to the region whose front has
    // the higher priority (distance less boundary), here the left roof's deeper interior.
    const AiTensor roofs = band({"#######", "#######", "#######"});
    const AiTensor ridge = band({"...#...", "...#...", "...#..."});
    const AiTensor distance = band({"998.111", "998.111", "998.111"});
    AiInstanceSeparationResult split = AiInstanceSeparator::separate(roofs, &ridge, &distance, four);
    EXPECT_EQ(labels(split), (std::vector<std::string>{"1111222", "1111222", "1111222"}));
    // With no pixel reaching the seed threshold the foreground components are the instances.
    AiInstanceSeparationOptions high = four;
    high.seedThreshold = 5.0;
    EXPECT_EQ(AiInstanceSeparator::separate(roofs, &ridge, &distance, high).instanceCount, 1);

    // An unseeded island is labelled after the grown regions; a region below the floor becomes 0 and the
    // rest are renumbered without gaps.
    const AiTensor scene = band({"##...#.###", "##.....###", "........##"});
    const AiTensor seeds = band({"99........", "99......99", "........99"});
    AiInstanceSeparationOptions floor = four;
    floor.seedThreshold = 0.5;
    EXPECT_EQ(labels(AiInstanceSeparator::separate(scene, nullptr, &seeds, floor)),
              (std::vector<std::string>{"11...3.222", "11.....222", "........22"}));
    floor.minimumRegionPixels = 4;
    const AiInstanceSeparationResult kept = AiInstanceSeparator::separate(scene, nullptr, &seeds, floor);
    EXPECT_EQ(labels(kept), (std::vector<std::string>{"11.....222", "11.....222", "........22"}));
    EXPECT_EQ(kept.instanceCount, 2);
}

TEST(InstanceSegmentation, RunsTheMaterializationOfAPackage) {
    QTemporaryDir dir;
    // Two red roofs touching along a blue ridge at x = 20, and a lone roof: probability, boundary and
    // distance heads come from the colours.
    const QString raster = dir.filePath("roofs.tif");
    TestRasterSpec spec{.width = 48, .height = 32, .bands = 3, .dataType = GDT_Byte};
    spec.value = [](int band, int x, int y) {
        const bool roof = (y >= 4 && y < 14 && x >= 4 && x < 36) || (y >= 20 && y < 28 && x >= 30 && x < 44);
        const bool ridge = roof && x == 20 && y < 14;
        return (ridge ? band == 3 : roof && band == 1) ? 255.0 : 51.0;
    };
    writeTestRaster(raster, spec);
    AiModelManifest m = AiModelManifestLoader::fromJson(R"({"id": "heads", "version": "1",
        "task": "instance_segmentation",
        "inputs": [{"name": "image", "dataType": "Float32", "layout": "NCHW", "shape": [1, 3, -1, -1]}],
        "outputs": [{"name": "probability", "shape": [1, 1, -1, -1]}, {"name": "boundary", "shape": [1, 1, -1, -1]},
                    {"name": "distance", "shape": [1, 1, -1, -1]}],
        "inputAdapters": [{"tensor": "image", "bands": [1, 2, 3]}],
        "outputDecoders": [{"id": "p", "tensor": "probability"}, {"id": "b", "tensor": "boundary"},
                           {"id": "d", "tensor": "distance"}],
        "materializations": [{"kind": "vector", "decoder": "p", "options": {"instanceSeparation": " p ",
            "boundaryDecoderId": "b", "distanceDecoderId": "d", "seedThreshold": 0.1, "connectivity": 4}}],
        "normalization": {"scale": 0.00392156862745098},
        "tiling": {"width": 32, "height": 32, "overlapX": 4, "overlapY": 4}})");
    m.modelPath = testModelPath("building_heads.onnx");
    const QString package = AiModelPackage::create(dir.filePath("pkg"), m, true).directoryPath();
    AiInstanceSegmentationRequest request;
    request.packagePath = package;
    request.rasterPath = raster;
    const AiInstanceSegmentationResult result = AiInstanceSegmentationExecutor::run(request);
    EXPECT_EQ(result.instanceCount, 3);
    EXPECT_EQ(result.decodedOutputs.size(), 3);
    EXPECT_EQ(result.raster.dataType, AiTensorDataType::Int32);
    const std::vector<std::int32_t> values = valuesOf<std::int32_t>(result.raster.data);
    EXPECT_EQ(values[5 * 48 + 5], 1);
    EXPECT_EQ(values[5 * 48 + 30], 2);  // right of the ridge
    EXPECT_EQ(values[22 * 48 + 32], 3);
    EXPECT_EQ(result.raster.geoTransform.size(), 6);

    // Refusals: no materialization, a decoder it names that does not exist; a cancelled run separates
    // nothing.
    AiModelManifest none = m;
    none.materializations.clear();
    AiModelManifest unknown = m;
    unknown.materializations[0].options.insert("distanceDecoderId", "z");
    for (const auto& [changed, message] : std::vector<std::pair<AiModelManifest, std::string>>{
             {none, "Manifest does not define an instance-separation materialization."},
             {unknown, "Manifest output decoder was not found: z"}}) {
        AiInstanceSegmentationRequest refused = request;
        refused.packagePath =
            AiModelPackage::create(dir.filePath(QString::number(message.size())), changed, true)
                .directoryPath();
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiInstanceSegmentationExecutor::run(refused); }),
                  message);
    }
    request.runControl.cancellationRequested = [] { return true; };
    const AiInstanceSegmentationResult cancelled = AiInstanceSegmentationExecutor::run(request);
    EXPECT_TRUE(cancelled.raster.cancelled);
    EXPECT_EQ(cancelled.instanceCount, 0);
}
