// The tiled executors over GeoTIFFs written by the fixture and generated models: single, isolated and
// multi-output runs, GeoTIFF output with its provenance, and block reads counted by a test driver.

#include <tarnivale/ai/raster.h>

#include "runtime/gdal_handles.h"
#include "runtime/sha256.h"
#include "support/expectations.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <gdal_priv.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using Executor = AiRasterInferenceExecutor;
using Request = AiRasterInferenceRequest;
using Result = AiRasterInferenceResult;
using Floats = std::vector<float>;
using Ints = std::vector<std::int32_t>;
using Mode = AiRasterOutputMode;

namespace {

// Size, type, tiles and state of a result as one comparable line.
QString summary(const Result& r) {
    return QString::asprintf("%dx%dx%d %s, %d tiles%s", r.width, r.height, r.bandCount,
                             qPrintable(aiTensorDataTypeName(r.dataType)), r.processedTiles,
                             r.cancelled ? ", cancelled" : "");
}

AiOutputDecoderSpec decoder(const char* id, const char* tensor) {
    AiOutputDecoderSpec spec;
    spec.id = QString::fromLatin1(id);
    spec.tensor = QString::fromLatin1(tensor);
    return spec;
}

class RasterExecutor : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString raster(const TestRasterSpec& spec, const char* name = "input.tif") {
        writeTestRaster(dir.filePath(QString::fromLatin1(name)), spec);
        return dir.filePath(QString::fromLatin1(name));
    }
    // An empty model name leaves the model path blank.
    static Request request(const char* model, const QString& rasterPath, AiTileOptions tiling,
                           Mode mode = Mode::FloatBands) {
        Request request;
        request.modelPath = *model == '\0' ? QStringLiteral(" ") : testModelPath(QString::fromLatin1(model));
        request.rasterPath = rasterPath;
        request.tiling = tiling;
        request.outputMode = mode;
        return request;
    }
    static Floats floats(const Request& request) { return valuesOf<float>(Executor::run(request).data); }
    static Ints classes(const Request& request) {
        const Result result = Executor::run(request);
        EXPECT_TRUE(result.dataType == AiTensorDataType::Int32 && result.bandCount == 1 &&
                    result.provenance.canonicalJson().contains(R"("outputMode":"classMask")"));
        return valuesOf<std::int32_t>(result.data);
    }
    QTemporaryDir dir;
    QStringList reports;
    AiRasterProgressCallback progress = [this](const AiRasterInferenceProgress& p) {
        reports << QString::asprintf("%d/%d %d%%: %s", p.completedTiles, p.totalTiles, p.percent,
                                     qPrintable(p.message));
    };
};

TEST_F(RasterExecutor, SmallerThanTheTileIsPaddedCroppedAndWrittenAsGeoTiff) {
    const TestRasterSpec spec{.width = 5, .height = 3, .bands = 2};
    const QString path = raster(spec);
    Request run = request("add_one.onnx", path, {8, 8, 2, 2});
    run.modelId = QString::fromUtf8("m\"odel «é»");
    const Result result = Executor::run(run, progress);
    EXPECT_EQ(summary(result), "5x3x2 Float32, 1 tiles");
    EXPECT_EQ(reports, QStringList{"1/1 100%: Processed AI tile 1 of 1."});
    const AiInferenceExecutionProvenance& p = result.provenance;
    EXPECT_EQ((QStringList{p.sourcePath, p.sourceCrs}), (QStringList{path, result.projectionWkt}));
    EXPECT_EQ((QList<qint64>{p.modelSha256.size(), p.executionId.size(), p.peakMemoryBytes}),
              (QList<qint64>{64, 36, result.peakMemoryBytes}));
    EXPECT_TRUE(result.peakMemoryBytes > 0 && p.recordedAtUtc.endsWith(QLatin1Char('Z')));
    // The canonical record, the run's own values replaced: sorted keys at every level, no whitespace,
    // integers without fractions, escaped quotes, UTF-8 text.
    AiInferenceExecutionProvenance fixed = p;
    fixed.executionId = fixed.recordedAtUtc = fixed.modelPath = fixed.modelSha256 = fixed.sourcePath = "";
    fixed.sourceCrs = fixed.runtimeVersion = "";
    fixed.elapsedMilliseconds = 0;
    fixed.peakMemoryBytes = std::int64_t{1} << 40;
    const QString canonicalRecord = QString::fromUtf8(
        R"({"cancelled":false,"elapsedMilliseconds":0,"executionId":"","model":{"id":"m\"odel «é»",)"
        R"("path":"","revision":"","sha256":"","version":""},"options":{"inputBands":[1,2],)"
        R"("outputMode":"floatBands","tiling":{"height":8,"overlapX":2,"overlapY":2,"width":8}},)"
        R"("output":{"bandCount":2,"dataType":"Float32","height":3,"width":5},)"
        R"("peakMemoryBytes":1099511627776,"provider":"CPU","recordedAtUtc":"","runtimeVersion":"",)"
        R"("schemaVersion":"1.0","sdkVersion":"1.5.38","source":{"crs":"","path":""}})");
    EXPECT_EQ(fixed.canonicalJson(), canonicalRecord);

    // Written beside its destination and renamed into place, then read back with GDAL.
    const QString output = dir.filePath("result.tif");
    Executor::writeGeoTiff(result, output);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
              (QStringList{"input.tif", "result.tif"}));
    const Gdal::Dataset dataset = Gdal::open(output, GDAL_OF_RASTER | GDAL_OF_READONLY);
    ASSERT_TRUE(dataset);
    double transform[6];
    ASSERT_EQ(GDALGetGeoTransform(dataset.get(), transform), CE_None);
    EXPECT_EQ(QList<double>(std::begin(transform), std::end(transform)),
              (QList<double>{500000, 10, 0, 4100000, 0, -10}));
    EXPECT_STREQ(OSRGetAuthorityCode(GDALGetSpatialRef(dataset.get()), nullptr), "32633");
    int blockX = 0, blockY = 0;
    GDALGetBlockSize(GDALGetRasterBand(dataset.get(), 2), &blockX, &blockY);
    EXPECT_EQ(blockX, 256);  // tiled
    EXPECT_STREQ(GDALGetMetadataItem(dataset.get(), "COMPRESSION", "IMAGE_STRUCTURE"), "DEFLATE");
    EXPECT_EQ(GDALGetRasterDataType(GDALGetRasterBand(dataset.get(), 2)), GDT_Float32);
    const QString canonical = GDALGetMetadataItem(dataset.get(), "TARNIVALE_PROVENANCE", nullptr);
    EXPECT_EQ(canonical, p.canonicalJson());
    EXPECT_EQ(QString(GDALGetMetadataItem(dataset.get(), "TARNIVALE_PROVENANCE_SHA256", nullptr)),
              Sha256::hex(canonical.toUtf8()));
    std::vector<double> written = readTestBand(output, 1);
    const std::vector<double> second = readTestBand(output, 2);
    written.insert(written.end(), second.begin(), second.end());
    for (int pixel = 0; pixel < 30; ++pixel) {
        EXPECT_EQ(written[pixel], spec.value(pixel / 15 + 1, pixel % 5, pixel % 15 / 5) + 1.0) << pixel;
    }

    // A Byte raster without georeferencing: no transform, no CRS, values saturated by the fixture at 255.
    TestRasterSpec plain{.width = 16, .height = 1, .dataType = GDT_Byte, .geoTransform = {}, .epsg = 0};
    plain.value = [](int, int x, int) { return x * 20.0; };
    const Result bytes = Executor::run(request("add_one.onnx", raster(plain, "plain.tif"), {16, 16, 0, 0}));
    EXPECT_TRUE(bytes.geoTransform.isEmpty() && bytes.projectionWkt.isEmpty());
    const Floats values = valuesOf<float>(bytes.data);
    EXPECT_EQ(Floats(values.begin() + 11, values.end()), (Floats{221, 241, 256, 256, 256}));
}

TEST_F(RasterExecutor, GeoTiffRefusalsLeaveNoFile) {
    Result mask;
    mask.width = mask.height = mask.bandCount = 1;
    mask.dataType = AiTensorDataType::Int32;
    mask.data = QByteArray(4, '\1');
    mask.geoTransform = {1, 2, 3, 4, 5};  // five values: written without a geotransform
    const QString path = dir.filePath("x.tif");
    const std::string size = "AI raster output dimensions are invalid.";
    const std::string type = "AI GeoTIFF output currently supports Float32 and Int32 data.";
    // Bad results are invalid arguments; what GDAL refuses is a runtime error.
    for (const auto& [change, error, target] :
         std::vector<std::tuple<std::function<void(Result&)>, std::string, QString>>{
             {[](auto& r) { r.cancelled = true; }, "A cancelled AI inference result cannot be written.",
              path},
             {[](auto&) {}, "AI raster output path is required.", " "},
             {[](auto& r) { r.bandCount = 0; }, size, path},
             {[](auto& r) { r.width = 0; }, size, path},
             {[](auto& r) { r.height = 0; }, size, path},
             {[](auto& r) { r.dataType = AiTensorDataType::Int64; }, type, path},
             {[](auto& r) { r.data.chop(1); }, "AI raster output buffer size does not match its dimensions.",
              path},
             {[](auto& r) { r.projectionWkt = "?"; }, "GDAL could not write the AI output projection.", path},
             {[](auto&) {}, "GDAL could not create the AI GeoTIFF output.", dir.filePath("no/x.tif")}}) {
        Result changed = mask;
        change(changed);
        for (const auto writer : {&Executor::writeGeoTiff, &Executor::writeCloudOptimizedGeoTiff}) {
            const auto write = [&] { writer(changed, target); };
            EXPECT_EQ(error.starts_with("GDAL") ? errorOf<std::runtime_error>(write)
                                                : errorOf<std::invalid_argument>(write),
                      error);
        }
    }
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    Executor::writeGeoTiff(mask, path);
    const Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    double transform[6];
    EXPECT_NE(GDALGetGeoTransform(dataset.get(), transform), CE_None);
    EXPECT_EQ(GDALGetRasterDataType(GDALGetRasterBand(dataset.get(), 1)), GDT_Int32);
    EXPECT_EQ(readTestBand(path, 1), std::vector<double>{0x01010101});
}

TEST_F(RasterExecutor, CloudOptimisedGeoTiffKeepsPixelsProvenanceAndClassesInItsOverviews) {
    // 1100 x 700 stripes of codes 0, 10 and 200: overviews 550 x 350 and 275 x 175 (the smallest fits one
    // block).
    Result mask;
    mask.width = 1100;
    mask.height = 700;
    mask.bandCount = 1;
    mask.dataType = AiTensorDataType::Int32;
    mask.geoTransform = {500000, 10, 0, 4100000, 0, -10};
    mask.provenance.modelId = QStringLiteral("stripes");
    Ints classes(1100 * 700);
    for (std::size_t pixel = 0; pixel < classes.size(); ++pixel) {
        classes[pixel] = std::array<std::int32_t, 3>{0, 10, 200}[pixel % 1100 / 7 % 3];
    }
    mask.data = QByteArray(reinterpret_cast<const char*>(classes.data()), qsizetype{1100} * 700 * 4);
    const QString path = dir.filePath("classes.tif");
    Executor::writeCloudOptimizedGeoTiff(mask, path);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"classes.tif"});
    const Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    ASSERT_TRUE(dataset);
    EXPECT_STREQ(GDALGetMetadataItem(dataset.get(), "LAYOUT", "IMAGE_STRUCTURE"), "COG");
    EXPECT_STREQ(GDALGetMetadataItem(dataset.get(), "COMPRESSION", "IMAGE_STRUCTURE"), "DEFLATE");
    EXPECT_EQ(QString(GDALGetMetadataItem(dataset.get(), "TARNIVALE_PROVENANCE", nullptr)),
              mask.provenance.canonicalJson());
    EXPECT_EQ(QString(GDALGetMetadataItem(dataset.get(), "TARNIVALE_PROVENANCE_SHA256", nullptr)),
              mask.provenance.sha256());
    GDALRasterBandH band = GDALGetRasterBand(dataset.get(), 1);
    ASSERT_EQ(GDALGetOverviewCount(band), 2);
    GDALRasterBandH smallest = GDALGetOverview(band, 1);
    EXPECT_EQ((std::pair{GDALGetRasterBandXSize(smallest), GDALGetRasterBandYSize(smallest)}),
              (std::pair{275, 175}));
    // Nearest neighbour: every overview pixel is one of the codes, never an average between them.
    Ints overview(275 * 175);
    ASSERT_EQ(GDALRasterIO(smallest, GF_Read, 0, 0, 275, 175, overview.data(), 275, 175, GDT_Int32, 0, 0),
              CE_None);
    EXPECT_EQ(std::set<std::int32_t>(overview.begin(), overview.end()), (std::set<std::int32_t>{0, 10, 200}));
    const std::vector<double> written = readTestBand(path, 1);
    EXPECT_TRUE(std::equal(written.begin(), written.end(), classes.begin()));

    // Copied out (a task's result, say): the same pixels and provenance; never over an existing file.
    const QString copy = dir.filePath("copy.tif");
    Executor::copyAsCloudOptimizedGeoTiff(path, copy);
    EXPECT_EQ(readTestBand(copy, 1), written);
    const Gdal::Dataset copied = Gdal::open(copy, GDAL_OF_RASTER | GDAL_OF_READONLY);
    EXPECT_EQ(QString(GDALGetMetadataItem(copied.get(), "TARNIVALE_PROVENANCE_SHA256", nullptr)),
              mask.provenance.sha256());
    EXPECT_EQ(errorOf<std::runtime_error>([&] { Executor::copyAsCloudOptimizedGeoTiff(path, copy); }),
              "Export destination exists.");
    EXPECT_EQ(errorOf<std::runtime_error>([&] {
                  Executor::copyAsCloudOptimizedGeoTiff(dir.filePath("none.tif"), dir.filePath("n.tif"));
              }),
              "Cannot open GeoTIFF export.");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
              (QStringList{"classes.tif", "copy.tif"}));
}

TEST_F(RasterExecutor, EstimateIsTheRunsOwnAccountingWithoutRunning) {
    const QString path = raster({.width = 150, .height = 90, .bands = 3});
    Request floats = request("conv_stack.onnx", path, {64, 64, 8, 8});
    Request mask = floats;
    mask.outputMode = Mode::ClassMask;
    Request channel = mask;  // softmax, then only channel 2: K = 1
    channel.outputDecoder = decoder("second", "logits");
    channel.outputDecoder.activation = QStringLiteral("softmax");
    channel.outputDecoder.options.insert(QStringLiteral("channel"), 2);
    Request decodedFloats = channel;
    decodedFloats.outputMode = Mode::FloatBands;
    for (const Request& row : {floats, mask, channel, decodedFloats}) {
        const AiRasterRunEstimate estimate = Executor::estimate(row);
        const Result result = Executor::run(row);
        EXPECT_EQ((Ints{estimate.width, estimate.height, estimate.totalTiles, estimate.outputBandCount}),
                  (Ints{result.width, result.height, result.processedTiles, result.bandCount}));
        EXPECT_EQ(estimate.peakMemoryBytes, result.peakMemoryBytes);
        EXPECT_EQ(estimate.outputBytes, result.data.size());
        EXPECT_EQ(estimate.outputDataType, result.dataType);
    }
    // The run's refusals, and a model whose channel count only a run would tell.
    Request symbolic = request("add_one.onnx", path, {64, 64, 8, 8});
    EXPECT_EQ(errorOf<std::runtime_error>([&] { Executor::estimate(symbolic); }),
              "The model's output channel count is not fixed, so the run cannot be estimated.");
    Request unnamed = floats;
    unnamed.outputName = QStringLiteral("scores");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { Executor::estimate(unnamed); }),
              "ONNX output tensor was not found: scores");
    channel.outputDecoder.options.insert(QStringLiteral("channel"), 4);
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { Executor::estimate(channel); }),
              "AI output decoder channel is outside the tensor channel range.");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  Executor::estimate(request("", path, {64, 64, 8, 8}));
              }),
              "AI model path is required.");
}

TEST_F(RasterExecutor, BlendKeepsConstantsAndWeighsOverlaps) {
    // Constant logits (0.3, 0.7) survive the feather blend over several window rows: class 1 everywhere.
    TestRasterSpec spec{.width = 12, .height = 30, .bands = 3};
    EXPECT_EQ(classes(request("constant_logits.onnx", raster(spec), {8, 8, 4, 4}, Mode::ClassMask)),
              Ints(360, 1));

    // The model predicts its own tile position: a pixel under several windows gets their mean weighted by
    // the blender's feather weights. Five window rows, so rows are finished while later windows are blended.
    spec = {.width = 12, .height = 21};
    const AiTileOptions tiling{8, 8, 4, 4};
    const Floats values = floats(request("tile_position.onnx", raster(spec, "one.tif"), tiling));
    const QList<AiTileWindow> windows = AiTilePlanner::plan(12, 21, tiling);
    ASSERT_EQ(windows.size(), 10);  // x starts 0, 4; y starts 0, 4, 8, 12, 13
    for (int y = 0; y < 21; ++y) {
        for (int x = 0; x < 12; ++x) {
            double sum = 0.0;
            double weights = 0.0;
            for (const AiTileWindow& w : windows) {
                const double weight = AiTileBlender::featherWeight(x - w.x, y - w.y, 8, 8, 4, 4, w.x == 0,
                                                                   w.x + 8 == 12, w.y == 0, w.y + 8 == 21);
                sum += weight * ((x - w.x) + 10.0 * (y - w.y));
                weights += weight;
            }
            ASSERT_NEAR(values[static_cast<size_t>(y * 12 + x)], sum / weights, 1e-4) << x << "," << y;
        }
    }
}

TEST_F(RasterExecutor, ClassMasksArgmaxTiesAndThresholds) {
    // Band 1 is negative left of x = 3; band 2 equals it on even columns (a tie, which goes to the lower
    // channel) and exceeds it on odd ones.
    TestRasterSpec spec{.width = 6, .height = 4, .bands = 2, .value = [](int band, int x, int y) {
                            return (x < 3 ? -5.0 : 5.0) + y + (band == 2 ? x % 2 : 0);
                        }};
    Request run = request("add_one.onnx", raster(spec), {8, 8, 2, 2}, Mode::ClassMask);
    const Ints right{0, 0, 0, 1, 1, 1, 0, 0, 0, 1, 1, 1, 0, 0, 0, 1, 1, 1, 0, 0, 0, 1, 1, 1};
    EXPECT_EQ(classes(run), (Ints{0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1}));
    // One band through a sigmoid decoder with a threshold: a 0/1 mask. Without the decoder the single
    // channel always wins the argmax.
    run.bands = {1};
    run.outputDecoder.id = QStringLiteral("probability");
    run.outputDecoder.activation = QStringLiteral("sigmoid");
    run.outputDecoder.threshold = 0.5;
    EXPECT_EQ(classes(run), right);
    run.outputDecoder = AiOutputDecoderSpec{};
    EXPECT_EQ(classes(run), Ints(24, 0));

    // The threshold compares the blended value as a double: 0.7f (-0.3 plus one) lies just below 0.7.
    spec = {.width = 2, .height = 1, .value = [](int, int x, int) { return x == 0 ? -0.3 : -0.2; }};
    run = request("add_one.onnx", raster(spec, "two.tif"), {4, 4, 0, 0}, Mode::ClassMask);
    run.outputDecoder.id = QStringLiteral("identity");
    run.outputDecoder.threshold = 0.7;
    EXPECT_EQ(classes(run), (Ints{0, 1}));
    run.outputDecoder.threshold = static_cast<double>(-0.3f + 1.0f);
    EXPECT_EQ(classes(run), (Ints{1, 1}));
}

TEST_F(RasterExecutor, NormalisationRules) {
    const TestRasterSpec spec{.width = 4, .height = 4, .bands = 3};
    Request run = request("add_one.onnx", raster(spec), {4, 4, 0, 0});
    // One mean for every band, per-band deviations (2, 4, 8), a common scale.
    run.normalization = AiNormalization{{100.0}, {2.0, 4.0, 8.0}, 0.5};
    const Floats values = floats(run);
    for (int pixel = 0; pixel < 48; ++pixel) {
        const int band = pixel / 16 + 1;  // deviation 2^band
        EXPECT_NEAR(values[pixel],
                    (spec.value(band, pixel % 4, pixel % 16 / 4) * 0.5 - 100) / (1 << band) + 1, 1e-4);
    }
    const std::string count = "AI normalization channel count does not match the selected raster bands.";
    for (const auto& [normalization, error] : std::vector<std::pair<AiNormalization, std::string>>{
             {{{1.0, 2.0}, {}, 1.0}, count},
             {{{}, {1.0, 0.0, 1.0}, 1.0}, "AI normalization standard deviation cannot be zero."}}) {
        run.normalization = normalization;
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { Executor::run(run); }), error);
    }
}

TEST_F(RasterExecutor, RefusalsWithTheirMessages) {
    const QString path = raster({.width = 8, .height = 8, .bands = 2});
    const QString garbage = writeBytes(dir.filePath("bad.tif"), QByteArray("II*\0 no TIFF", 12));
    const std::string unopened = "GDAL could not open the AI raster input.";
    const std::string band = "AI raster input band is outside the dataset band range.";
    const std::string nchw = "Raster inference currently requires a Float32 NCHW output tensor.";
    const std::string tile = "ONNX output tile dimensions do not match the configured inference tile size.";
    const std::string absent =
        "ONNX model file does not exist: " + testModelPath("missing.onnx").toStdString();
    for (const auto& [model, source, bands, output, error] :
         std::vector<std::tuple<const char*, QString, QList<std::int32_t>, QString, std::string>>{
             {"", path, {}, "", "AI model path is required."},
             {"add_one.onnx", QStringLiteral(" "), {}, "", "AI raster path is required."},
             {"add_one.onnx", dir.filePath("missing.tif"), {}, "", unopened},
             {"add_one.onnx", garbage, {}, "", unopened},
             {"add_one.onnx", path, {0}, "", band},
             {"add_one.onnx", path, {1, 3}, "", band},
             {"half_size.onnx", path, {}, "", tile},
             {"int_output.onnx", path, {}, "", nchw},
             {"flat_output.onnx", path, {}, "", nchw},
             {"no_inputs.onnx", path, {}, "", "The ONNX model has no input tensors."},
             {"add_one.onnx", path, {}, "nope", "ONNX output tensor was not found: nope"},
             {"missing.onnx", path, {}, "", absent}}) {
        Request r = request(model, source, {8, 8, 0, 0});
        r.bands = bands;
        r.outputName = output;
        EXPECT_EQ(errorOf<std::exception>([&] { Executor::run(r); }), error);
    }
    const Request overlapping = request("add_one.onnx", path, {8, 8, 8, 0});
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { Executor::run(overlapping); }),
              "AI tile overlap must be non-negative and smaller than the tile size.");
    // Tiles whose buffers cannot be represented are refused before anything is allocated (they crashed
    // hosts); so are those beyond the supported size, in both executors.
    AiOutputDecoderSpec decoder;
    decoder.id = "d";
    decoder.tensor = "y";
    for (const AiTileOptions& huge :
         {AiTileOptions{2147483647, 2147483647, 4, 4}, AiTileOptions{1 << 20, 1 << 14, 0, 0}}) {
        const Request r = request("add_one.onnx", path, huge);
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { Executor::run(r); }),
                  "AI tile buffers exceed the supported size.");
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { Executor::runDecodedOutputs(r, {decoder}); }),
                  "AI tile buffers exceed the supported size.");
    }
    Request duplicates = request("add_one.onnx", path, {8, 8, 7, 7});
    duplicates.bands = {2, 2, 1};  // duplicates are allowed; so is the largest overlap
    EXPECT_EQ(summary(Executor::run(duplicates)), "8x8x3 Float32, 1 tiles");
}

TEST_F(RasterExecutor, CancellationAtEveryCheckpoint) {
    const QString path = raster({.width = 12, .height = 8});
    // Checks come in this order: before the session (1), before window 0 (2), before each of its 8 rows
    // (3..10), before window 1 (11), its rows (12..19).
    for (const auto& [stopAt, report] : std::vector<std::pair<int, QString>>{
             {1, "0/0 0%"}, {2, "0/2 0%"}, {5, "0/2 0%"}, {11, "1/2 50%"}, {19, "1/2 50%"}}) {
        Request run = request("add_one.onnx", path, {8, 8, 4, 4});
        int calls = 0;
        run.cancellationRequested = [&calls, stopAt = stopAt] { return ++calls >= stopAt; };
        const Result result = Executor::run(run, progress);
        EXPECT_EQ(calls, stopAt);
        EXPECT_EQ(summary(result),
                  QStringLiteral("12x8x0 Float32, %1 tiles, cancelled").arg(stopAt < 11 ? 0 : 1));
        EXPECT_TRUE(result.data.isEmpty() && result.provenance.cancelled &&
                    (stopAt > 1 || result.elapsedMilliseconds == 0));
        EXPECT_EQ(reports.back(), report + QStringLiteral(": AI raster inference cancelled."));
    }
    // The host context is asked first.
    Request hosted = request("add_one.onnx", path, {8, 8, 4, 4});
    hosted.operationContext.requestCancellation();
    bool callbackAsked = false;
    hosted.cancellationRequested = [&] { return callbackAsked = true; };
    EXPECT_TRUE(Executor::run(hosted).cancelled);
    EXPECT_FALSE(callbackAsked);
}

TEST_F(RasterExecutor, IsolatedRunsOnAnotherThreadAndRethrows) {
    using Tarnivale::Core::Operations::OperationResourceRefused;
    Request run = request("add_one.onnx", raster({.width = 6, .height = 6}), {8, 8, 0, 0});
    const Result here = Executor::run(run);
    std::thread::id progressThread;
    const Result isolated = Executor::runIsolated(
        run, [&](const AiRasterInferenceProgress&) { progressThread = std::this_thread::get_id(); });
    EXPECT_TRUE(isolated.isolatedWorker && !here.isolatedWorker);
    EXPECT_TRUE(isolated.workerThreadId != here.workerThreadId && isolated.workerThreadId >= 0);
    EXPECT_NE(progressThread, std::this_thread::get_id());
    EXPECT_EQ(isolated.data, here.data);
    // Failures come back unchanged: a refusing host context (the weight plane alone, 6 x 6 x 4 bytes, is
    // allowed; the accumulation planes are not), a blank path.
    run.operationContext.setMemoryBudgetBytes(6 * 6 * 4);
    EXPECT_THROW(Executor::run(run, progress), OperationResourceRefused);
    EXPECT_TRUE(reports.isEmpty());
    EXPECT_THROW(Executor::runIsolated(run), OperationResourceRefused);
    run.rasterPath.clear();
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { Executor::runIsolated(run); }),
              "AI raster path is required.");
}

TEST_F(RasterExecutor, MultiOutputAveragesEveryHeadKeepsWhatACancelledRunDidAndRefuses) {
    const TestRasterSpec spec{.width = 12, .height = 8};
    Request run = request("heads.onnx", raster(spec), {8, 8, 4, 4});  // windows at x = 0, 4
    const QList<AiDecodedRasterOutput> outputs = Executor::runDecodedOutputs(
        run, {decoder("twice", "double"), decoder("around", "shifted")}, progress);
    ASSERT_EQ(outputs.size(), 2);
    EXPECT_EQ(outputs[0].id + outputs[1].id, QStringLiteral("twicearound"));
    EXPECT_EQ(summary(outputs[0].result) + "; " + summary(outputs[1].result),
              "12x8x1 Float32, 2 tiles; 12x8x2 Float32, 2 tiles");
    EXPECT_EQ(reports, (QStringList{"1/2 50%: Processed AI tile 1 of 2 for 2 outputs.",
                                    "2/2 100%: Processed AI tile 2 of 2 for 2 outputs."}));
    const AiInferenceExecutionProvenance& second = outputs[1].result.provenance;
    EXPECT_TRUE(second.peakMemoryBytes == 2 * 12 * 8 * 4 && second.outputMode == Mode::FloatBands &&
                second.executionId != outputs[0].result.provenance.executionId);
    EXPECT_EQ(outputs[1].result.geoTransform.size(), 6);
    const Floats twice = valuesOf<float>(outputs[0].result.data);
    const Floats around = valuesOf<float>(outputs[1].result.data);
    EXPECT_EQ((Floats{twice[0], twice[95], around[0], around[95], around[96], around[191]}),
              (Floats{2000, 2 * 1711, 1001, 1712, 999, 1710}));  // band 1 holds 1000 + 100 y + x
    // Inside both windows (x = 4..7) the tile positions x and x - 4 are averaged without weights.
    run.modelPath = testModelPath("tile_position.onnx");
    const Floats positions =
        valuesOf<float>(Executor::runDecodedOutputs(run, {decoder("p", "")})[0].result.data);
    for (int pixel = 0; pixel < 96; ++pixel) {
        const int x = pixel % 12;
        EXPECT_EQ(positions[static_cast<size_t>(pixel)],
                  10 * (pixel / 12) + x - (x >= 4 ? 2 : 0) - (x >= 8 ? 2 : 0));
    }
    // Cancelled once the first window has been reported: outputs averaged over that window.
    run.modelPath = testModelPath("heads.onnx");
    reports.clear();
    run.cancellationRequested = [this] { return !reports.isEmpty(); };
    QList<AiDecodedRasterOutput> partial =
        Executor::runDecodedOutputs(run, {decoder("a", "double")}, progress);
    ASSERT_EQ(partial.size(), 1);
    EXPECT_EQ(summary(partial[0].result), "12x8x1 Float32, 1 tiles, cancelled");
    EXPECT_TRUE(partial[0].result.provenance.cancelled);
    const Floats values = valuesOf<float>(partial[0].result.data);
    EXPECT_EQ(values[7], 2.0f * static_cast<float>(spec.value(1, 7, 0)));
    EXPECT_EQ(values[8], 0.0f);  // never covered
    EXPECT_EQ(reports.back(), "1/2 50%: AI raster inference cancelled.");
    // Stopped before the first window (a report is there already): one empty output per decoder.
    partial = Executor::runDecodedOutputs(run, {decoder("a", "double"), decoder("b", "shifted")});
    ASSERT_EQ(partial.size(), 2);
    EXPECT_EQ(summary(partial[1].result), "12x8x0 Float32, 0 tiles, cancelled");
    EXPECT_TRUE(partial[1].result.data.isEmpty());
    const QString missing = dir.filePath("missing.tif");
    const std::string size = "Decoded raster output dimensions do not match the inference tile size.";
    const std::string unique = "AI output decoder ids must be unique.";
    const std::string notFound = "ONNX output tensor was not found: nothing";
    // Request and decoder problems are found before the raster is opened.
    for (const auto& [model, source, decoders, error] :
         std::vector<std::tuple<const char*, QString, QList<AiOutputDecoderSpec>, std::string>>{
             {"", missing, {}, "AI model path is required."},
             {"heads.onnx", QStringLiteral(" "), {}, "AI raster path is required."},
             {"heads.onnx", missing, {}, "At least one AI output decoder is required."},
             {"heads.onnx", missing, {decoder(" ", "double")}, "Every AI output decoder must have an id."},
             {"heads.onnx", missing, {decoder("w", "double"), decoder("w", "")}, unique},
             {"heads.onnx", missing, {decoder("a", "double")}, "GDAL could not open the AI raster input."},
             {"heads.onnx", run.rasterPath, {decoder("a", "nothing")}, notFound},
             {"half_size.onnx", run.rasterPath, {decoder("a", "")}, size}}) {
        const Request r = request(model, source, {8, 8, 4, 4});
        EXPECT_EQ(errorOf<std::exception>([&] { Executor::runDecodedOutputs(r, decoders); }), error);
    }
}

// A synthetic raster of 3 bands of 600 x 520 in 64-pixel blocks (block x, y of band b holds b + x + y), and
// the reads of each (band, block column, block row).
std::mutex g_readsMutex;
std::map<std::tuple<int, int, int>, int> g_reads;

struct CountingBand : GDALRasterBand {
    CountingBand(GDALDataset* dataset, int band) {
        poDS = dataset;
        nBand = band;
        eDataType = GDT_Float32;
        nBlockXSize = nBlockYSize = 64;
        nRasterXSize = 600;
        nRasterYSize = 520;
    }
    CPLErr IReadBlock(int blockX, int blockY, void* data) override {
        const std::lock_guard lock(g_readsMutex);
        ++g_reads[{nBand, blockX, blockY}];
        std::fill_n(static_cast<float*>(data), 64 * 64, static_cast<float>(nBand + blockX + blockY));
        return CE_None;
    }
};

struct CountingDataset : GDALDataset {
    CountingDataset() {
        nRasterXSize = 600;
        nRasterYSize = 520;
        for (int band = 1; band <= 3; ++band) {
            SetBand(band, new CountingBand(this, band));
        }
    }
};

TEST_F(RasterExecutor, EachSourceBlockIsDecodedOncePerRun) {
    auto* driver = new GDALDriver();  // the driver manager owns registered drivers
    driver->SetDescription("TarnivaleCountingTest");
    driver->SetMetadataItem(GDAL_DCAP_RASTER, "YES");
    driver->pfnOpen = [](GDALOpenInfo* info) -> GDALDataset* {  // GDAL owns the datasets drivers open
        return QByteArray(info->pszFilename) == "counting" ? new CountingDataset() : nullptr;
    };
    GetGDALDriverManager()->RegisterDriver(driver);
    // 128-pixel tiles overlapping by 32 straddle block edges; raster rows are finished in two halves at once.
    const Result result = Executor::run(request("add_one.onnx", "counting", {128, 128, 32, 32}));
    EXPECT_EQ(summary(result), "600x520x3 Float32, 36 tiles");
    const std::lock_guard lock(g_readsMutex);
    EXPECT_EQ(g_reads.size(), 3u * 10 * 9);  // ceil(600 / 64) x ceil(520 / 64) blocks per band
    EXPECT_TRUE(
        std::all_of(g_reads.begin(), g_reads.end(), [](const auto& block) { return block.second == 1; }));
    // The values reached the result: band 1, block (9, 0) holds 10, plus one; band 3, block (9, 8) 20.
    const Floats values = valuesOf<float>(result.data);
    EXPECT_EQ(values[599], 11.0f);
    EXPECT_EQ(values[2 * 600 * 520 + 519 * 600 + 599], 21.0f);
}

}  // namespace
