// The "sen2sr-super-resolution" task end to end on generated SEN2SR-shaped models whose outputs are known
// functions of their inputs: stitching, cropping and reflected halos checked pixel by pixel, the enhanced
// GeoTIFF and both previews reopened, the result document, every refusal; then the core on its own
// (interruption, progress, its argument checks) and the display stretch against a full sort.

#include "runtime/gdal_handles.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"
#include "tasks/display_stretch.h"
#include "tasks/sen2sr_core.h"
#include "tasks/task_fixture.h"

#include <tarnivale/ai/models.h>

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <tuple>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Tasks;
using namespace Tarnivale::AI::Testing;

namespace {

// Distinct digital numbers per band and pixel.
double dn(int band, int x, int y) {
    return (band - 1) * 10000.0 + y * 100.0 + x;
}

// Reflection without repeating the edge sample, as a closed form over its period 2(n - 1).
int reflected(int i, int n) {
    const int period = 2 * (n - 1);
    const int m = ((i % period) + period) % period;
    return m < n ? m : period - m;
}

// The models' output for digital number v in band b (0-based).
double reflectance(double v, int b) {
    return v * 0.0001 + 0.001 * (b + 1);
}

// Pixels of a band that differ from `expected(x, y)` by more than `tolerance`; the first one is reported.
int mismatches(const std::vector<double>& band, int width, const std::function<double(int, int)>& expected,
               double tolerance, const char* what) {
    int count = 0;
    for (std::size_t i = 0; i < band.size(); ++i) {
        const int x = static_cast<int>(i % static_cast<std::size_t>(width));
        const int y = static_cast<int>(i / static_cast<std::size_t>(width));
        if (!(std::abs(band[i] - expected(x, y)) <= tolerance) && count++ == 0) {
            ADD_FAILURE() << what << " at (" << x << ", " << y << "): " << band[i] << " instead of "
                          << expected(x, y);
        }
    }
    return count;
}

// The stretch as described: a full sort.
DisplayStretch sortedStretch(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const double low = values[values.size() * 2 / 100];
    return {low, std::max(values[values.size() * 98 / 100], low + 1.0)};
}

double displayByte(double v, const DisplayStretch& s) {
    return std::round(std::clamp((v - s.low) / (s.high - s.low), 0.0, 1.0) * 255.0);
}

Gdal::Dataset reopen(const QString& path) {
    return Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
}

class Sen2srTask : public TaskTest {
protected:
    QString sen2srPackage(const QString& name, const QString& model = "sen2sr.onnx",
                          const QString& id = Sen2srModelId) {
        AiModelManifest manifest = AiModelManifestLoader::fromJson(R"({"version": "1.0",
            "task": "raster_transform", "provenance": {"revision": "test"},
            "inputs": [{"name": "image", "dataType": "Float32", "layout": "NCHW", "shape": [1, 4, 128, 128]}],
            "outputs": [{"name": "output", "dataType": "Float32", "layout": "NCHW", "shape": [1, 4, 512, 512]}]})");
        manifest.id = id;
        manifest.modelPath = testModelPath(model);
        QDir().mkpath(path(name));
        return AiModelPackage::create(path(name), manifest, true).directoryPath();
    }
    // name.tif: 4 Float32 bands of dn() unless `change` says otherwise.
    QString scene(const QString& name, int width, int height,
                  const std::function<void(TestRasterSpec&)>& change = {}) {
        TestRasterSpec spec{.width = width, .height = height, .bands = 4};
        spec.value = [](int band, int x, int y) { return dn(band, x, y); };
        if (change) {
            change(spec);
        }
        writeTestRaster(path(name + ".tif"), spec);
        return path(name + ".tif");
    }
    static QJsonObject request(const QString& packagePath, const QString& raster) {
        return {{"task", "sen2sr-super-resolution"},
                {"modelPackagePath", packagePath},
                {"rasterPath", raster},
                {"intraOpThreads", 1}};
    }
    // Runs to the end, hands a completed result to `inspect` while its files exist, releases the task and
    // checks that nothing is left behind; returns the final status.
    QJsonObject run(const QJsonObject& json, const std::function<void(const QJsonObject&)>& inspect = {}) {
        const std::uint64_t id = startTask(json);
        EXPECT_NE(id, 0u) << lastTaskError();
        const QJsonObject status = waitForTask(id);
        if (text(status, "state") == "completed" && inspect) {
            inspect(taken(TarnivaleAI_GetTaskResultUtf8(id)));
        }
        EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
        EXPECT_EQ(leftovers(), QStringList());
        return status;
    }
};

}  // namespace

// 100 x 100 needs 2 x 2 tiles, the second in each direction keeping 16 output rows or columns. Eight bands:
// the last four hold negative numbers, which would fail the task if they were read.
TEST_F(Sen2srTask, EnlargesEightBandSceneWithItsProductsAndResult) {
    const QString raster = scene("ftw", 100, 100, [](TestRasterSpec& s) {
        s.bands = 8;
        s.value = [](int band, int x, int y) { return band > 4 ? -1.0 : dn(band, x, y); };
    });
    const QJsonObject json = request(sen2srPackage("package"), raster);
    // Source and output planes and one 128 x 128 input and 512 x 512 output tile, four Float32 bands each.
    const QJsonObject estimate =
        taken(TarnivaleAI_EstimateTaskUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact).constData()));
    EXPECT_EQ(field(estimate, "peakMemoryBytes").toInteger(),
              (100 * 100 + 400 * 400 + 128 * 128 + 512 * 512) * 16);
    EXPECT_EQ(field(estimate, "outputBytes").toInteger(), 400 * 400 * 16);
    const QJsonObject status = run(json, [&](const QJsonObject& result) {
        for (const char* key : {"width", "height", "peakMemoryBytes"}) {
            EXPECT_EQ(field(estimate, key), field(result, key)) << key;
        }
        EXPECT_EQ(field(estimate, "totalTiles"), field(result, "tiles"));
        EXPECT_EQ(text(result, "schemaVersion"), "1.0");
        EXPECT_EQ(text(result, "task"), "sen2sr-super-resolution");
        EXPECT_EQ(text(result, "sourceRasterPath"), raster.toStdString());
        for (const auto& [key, value] :
             std::vector<std::pair<const char*, int>>{{"width", 400},
                                                      {"height", 400},
                                                      {"sourceWidth", 100},
                                                      {"sourceHeight", 100},
                                                      {"bandCount", 4},
                                                      {"scaleFactor", 4},
                                                      {"tiles", 4},
                                                      {"provenance.scaleFactor", 4},
                                                      {"provenance.output.width", 400},
                                                      {"provenance.output.bandCount", 4}}) {
            EXPECT_EQ(field(result, key).toInt(-1), value) << key;
        }
        EXPECT_EQ(field(result, "geoTransform"), QJsonArray({500000.0, 2.5, 0.0, 4100000.0, 0.0, -2.5}));
        EXPECT_EQ(field(result, "bandNames"), QJsonArray({"B4 Red", "B3 Green", "B2 Blue", "B8 NIR"}));
        EXPECT_EQ(text(result, "units"), "surface_reflectance");
        EXPECT_EQ(field(result, "aiGenerated"), QJsonValue(true));
        EXPECT_EQ(text(result, "provider"), "CPU");
        EXPECT_EQ(text(result, "interpretation"),
                  "Estimated detail on a finer grid, not new sensor measurements.");
        EXPECT_EQ(text(result, "provenance.task"), "sen2sr-super-resolution");
        EXPECT_EQ(text(result, "provenance.stitching"),
                  "128px reflected tiles, 16px halo, 96px cores, 64px output halo crop");
        EXPECT_EQ(text(result, "provenance.model.id"), Sen2srModelId);
        EXPECT_EQ(field(result, "provenance.options.inputBands"), QJsonArray({1, 2, 3, 4}));
        EXPECT_TRUE(field(result, "elapsedMilliseconds").isDouble());
        EXPECT_FALSE(text(result, "projectionWkt").empty());

        const QString enhanced = field(result, "rasterPath").toString();
        const QString preview = field(result, "previewPath").toString();
        const QString sourcePreview = field(result, "sourcePreviewPath").toString();
        EXPECT_EQ(QFileInfo(enhanced).fileName(), "enhanced-rgbn.tif");
        // Interpretations and descriptions inside the GeoTIFF, not in a sidecar GDAL fell back to.
        EXPECT_FALSE(QFileInfo::exists(enhanced + ".aux.xml"));
        EXPECT_EQ(QFileInfo(preview).fileName(), "enhanced-rgb.tif");
        EXPECT_EQ(QFileInfo(sourcePreview).fileName(), "source-rgb.tif");
        {
            const Gdal::Dataset file = reopen(enhanced);
            ASSERT_TRUE(file);
            EXPECT_EQ(GDALGetRasterXSize(file.get()), 400);
            EXPECT_EQ(GDALGetRasterCount(file.get()), 4);
            EXPECT_STREQ(GDALGetMetadataItem(file.get(), "AI_GENERATED", nullptr), "YES");
            EXPECT_STREQ(GDALGetMetadataItem(file.get(), "AI_MODEL_ID", nullptr), Sen2srModelId);
            EXPECT_STREQ(GDALGetMetadataItem(file.get(), "AI_OUTPUT_SCOPE", nullptr),
                         "Estimated detail on a 4x grid, not higher-resolution sensor measurements");
            const QJsonObject embedded =
                QJsonDocument::fromJson(GDALGetMetadataItem(file.get(), "TARNIVALE_PROVENANCE", nullptr))
                    .object();
            EXPECT_EQ(embedded.value("executionId"), field(result, "provenance.executionId"));
            const GDALColorInterp colours[] = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand, GCI_Undefined};
            const char* names[] = {"B4 Red", "B3 Green", "B2 Blue", "B8 NIR"};
            for (int b = 0; b < 4; ++b) {
                GDALRasterBandH band = GDALGetRasterBand(file.get(), b + 1);
                EXPECT_EQ(GDALGetRasterDataType(band), GDT_Float32);
                EXPECT_EQ(GDALGetRasterColorInterpretation(band), colours[b]) << b;
                EXPECT_STREQ(GDALGetDescription(band), names[b]);
            }
        }
        for (int b = 0; b < 4; ++b) {
            const std::vector<double> values = readTestBand(enhanced, b + 1);
            EXPECT_EQ(mismatches(
                          values, 400, [b](int x, int y) { return reflectance(dn(b + 1, x / 4, y / 4), b); },
                          2e-6, "enhanced"),
                      0)
                << "band " << b + 1;
            if (b == 3) {
                break;
            }
            std::vector<double> source(100 * 100);
            for (int i = 0; i < 100 * 100; ++i) {
                source[static_cast<std::size_t>(i)] = dn(b + 1, i % 100, i / 100);
            }
            // Both previews under the source's stretch.
            const DisplayStretch s = sortedStretch(source);
            EXPECT_EQ(
                mismatches(
                    readTestBand(sourcePreview, b + 1), 100,
                    [&](int x, int y) { return displayByte(dn(b + 1, x, y), s); }, 0.0, "source preview"),
                0);
            EXPECT_EQ(
                mismatches(
                    readTestBand(preview, b + 1), 400,
                    [&](int x, int y) {
                        return displayByte(
                            static_cast<double>(values[static_cast<std::size_t>(y) * 400 + x]) * 10000.0, s);
                    },
                    0.0, "enhanced preview"),
                0);
        }
        for (const QString& previewPath : {sourcePreview, preview}) {
            const Gdal::Dataset file = reopen(previewPath);
            ASSERT_TRUE(file);
            const GDALColorInterp colours[] = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand, GCI_AlphaBand};
            for (int b = 0; b < 4; ++b) {
                GDALRasterBandH band = GDALGetRasterBand(file.get(), b + 1);
                EXPECT_EQ(GDALGetRasterDataType(band), GDT_Byte);
                EXPECT_EQ(GDALGetRasterColorInterpretation(band), colours[b]);
            }
            const std::vector<double> alpha = readTestBand(previewPath, 4);
            EXPECT_TRUE(std::all_of(alpha.begin(), alpha.end(), [](double v) { return v == 255.0; }));
        }
    });
    ASSERT_EQ(text(status, "state"), "completed") << text(status, "error");
    EXPECT_EQ(field(status, "totalTiles").toInt(), 4);
    EXPECT_EQ(field(status, "completedTiles").toInt(), 4);
}

// The halo model shows each tile's reflected halo inside the kept part: bands 1-2 the pixels 16 before,
// bands 3-4 those 16 after, mirrored at the edges (repeatedly, for a raster narrower than the halo).
TEST_F(Sen2srTask, ReflectsHalosAtEveryEdge) {
    ASSERT_EQ(reflected(-3, 100), 3);
    ASSERT_EQ(reflected(101, 100), 97);
    const QString halo = sen2srPackage("halo", "sen2sr_halo.onnx");
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{{100, 100}, {5, 3}}) {
        const QString raster = scene(QStringLiteral("halo-%1").arg(width), width, height);
        const QJsonObject status = run(request(halo, raster), [&](const QJsonObject& result) {
            const QString enhanced = field(result, "rasterPath").toString();
            for (int b = 0; b < 4; ++b) {
                const int shift = b < 2 ? -16 : 16;
                EXPECT_EQ(mismatches(
                              readTestBand(enhanced, b + 1), 4 * width,
                              [&](int x, int y) {
                                  return reflectance(dn(b + 1, reflected(x / 4 + shift, width),
                                                        reflected(y / 4 + shift, height)),
                                                     b);
                              },
                              2e-6, "halo"),
                          0)
                    << width << " x " << height << " band " << b + 1;
            }
        });
        EXPECT_EQ(text(status, "state"), "completed") << text(status, "error");
    }
}

TEST_F(Sen2srTask, RefusesWithItsOwnMessagesAndPublishesNothing) {
    const QString good = sen2srPackage("good");
    const QString small = scene("small", 20, 10);
    const auto at = [](int px, int py, double v) {
        return [=](TestRasterSpec& s) {
            s.value = [=](int band, int x, int y) {
                return x == px && y == py && band == 2 ? v : dn(band, x, y);
            };
        };
    };
    const std::string bands =
        "SEN2SR requires four RGBN bands, or the eight-band FTW sample (first four used).";
    const std::string size =
        "SEN2SR dimensions must be 2..32768 and four-band 4x output must fit within 512 MiB.";
    const std::string invalid =
        "SEN2SR requires finite nonnegative valid DN; handle NoData/clouds before processing.";
    const std::vector<std::tuple<QString, QString, QJsonObject, std::string>> rows = {
        {scene("three", 20, 10, [](TestRasterSpec& s) { s.bands = 3; }), good, {}, bands},
        {scene("five", 20, 10, [](TestRasterSpec& s) { s.bands = 5; }), good, {}, bands},
        {scene("over", 1449, 1448, [](TestRasterSpec& s) { s.value = [](int, int, int) { return 1.0; }; }),
         good,
         {},
         size},
        {scene("long", 32769, 2), good, {}, size},
        {scene("thin", 1, 10), good, {}, size},
        {scene("nocrs", 20, 10, [](TestRasterSpec& s) { s.epsg = 0; }),
         good,
         {},
         "Invalid SEN2SR source CRS."},
        {scene("nogrid", 20, 10, [](TestRasterSpec& s) { s.geoTransform.reset(); }),
         good,
         {},
         "Invalid SEN2SR geotransform."},
        {scene("nodata", 20, 10,
               [&](TestRasterSpec& s) {
                   at(7, 3, 5.5)(s);
                   s.noData = 5.5;
               }),
         good,
         {},
         invalid},
        {scene("negative", 20, 10, at(0, 9, -0.5)), good, {}, invalid},
        {scene("nan", 20, 10, at(19, 0, std::numeric_limits<double>::quiet_NaN())), good, {}, invalid},
        {small, path("missing"), {}, "Model package failed integrity validation."},
        {small,
         sen2srPackage("other", "sen2sr.onnx", "esaopensr-sen2sr-rgbn-x2"),
         {},
         "Unsupported SEN2SRLite 4x RGBN model contract."},
        {small, sen2srPackage("nanmodel", "sen2sr_nan.onnx"), {}, "Nonfinite SR result."},
        {small, sen2srPackage("shape", "sen2sr_shape.onnx"), {}, "Invalid super-resolution output."},
        {small, good, {{"provider", "tpu"}}, "Unsupported task provider."},
    };
    for (const auto& [raster, packagePath, extra, error] : rows) {
        QJsonObject json = request(packagePath, raster);
        for (auto key = extra.begin(); key != extra.end(); ++key) {
            json.insert(key.key(), key.value());
        }
        const QJsonObject status = run(json);
        EXPECT_EQ(text(status, "state"), "failed") << raster.toStdString();
        EXPECT_EQ(text(status, "error"), error) << raster.toStdString();
    }
    // The smallest accepted sides.
    EXPECT_EQ(text(run(request(good, scene("tiny", 2, 2))), "state"), "completed");
}

TEST_F(Sen2srTask, CoreStopsReportsAndChecksItsArguments) {
    Sen2srSource source;
    source.width = 100;
    source.height = 10;
    source.samples = QByteArray(100 * 10 * 16, '\0');
    source.geoTransform = {0.0, 10.0, 0.0, 0.0, 0.0, -10.0};
    source.projectionWkt = QStringLiteral("LOCAL_CS[\"grid\"]");
    const QString core = sen2srPackage("core");
    QList<AiRasterInferenceProgress> reports;
    int asked = 0;
    const Sen2srOutput stopped = superResolve(
        source, core, {}, [&] { return ++asked > 1; },
        [&](const AiRasterInferenceProgress& p) { reports.append(p); });
    EXPECT_TRUE(stopped.grid.cancelled);
    EXPECT_EQ(stopped.grid.processedTiles, 2);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_EQ(reports[0].completedTiles, 1);
    EXPECT_EQ(reports[0].totalTiles, 2);
    EXPECT_EQ(reports[0].percent, 50);
    EXPECT_EQ(reports[0].message, "Super-resolving RGB+NIR...");

    const auto refusal = [&](const Sen2srSource& s, const QString& p) -> std::string {
        try {
            superResolve(s, p, {}, {}, {});
        } catch (const std::invalid_argument& e) {
            return std::string("invalid: ") + e.what();
        } catch (const std::runtime_error& e) {
            return std::string("runtime: ") + e.what();
        }
        return "accepted";
    };
    Sen2srSource shortSamples = source;
    shortSamples.samples.chop(4);
    Sen2srSource noCrs = source;
    noCrs.projectionWkt.clear();
    Sen2srSource huge = source;
    huge.width = 2049;
    huge.height = 1024;
    huge.samples = QByteArray(qsizetype{2049} * 1024 * 16, '\0');
    Sen2srSource negative = source;
    reinterpret_cast<float*>(negative.samples.data())[250] = -1.0f;
    const std::string argument = "invalid: Expected georeferenced four-band Float32 raw-DN source.";
    for (const auto& [s, p, expected] : std::vector<std::tuple<Sen2srSource, QString, std::string>>{
             {shortSamples, core, argument},
             {noCrs, core, argument},
             {source, path("missing"), "invalid: Wrong or invalid SEN2SRLite package."},
             {huge, core, "runtime: Output exceeds512MiB; stream larger scenes in the application."},
             {negative, core,
              "runtime: Source must be finite nonnegative DN with external nodata/cloud handling."}}) {
        EXPECT_EQ(refusal(s, p), expected);
    }
}

TEST(Sen2srDisplayStretch, PicksTheSortedSamples) {
    std::mt19937 random(5);
    std::uniform_real_distribution<float> spread(0.0f, 5000.0f);
    const auto uniform = [&](std::size_t i) { return i == 0 ? 0.0f : std::round(spread(random)); };
    // Every 37th sample (the even sample's stride) low, the rest high: the brackets miss the 98 % rank.
    const auto skewed = [](std::size_t i) {
        return i % 37 == 0 ? 0.0f : 1000.0f + static_cast<float>(i % 5000);
    };
    const auto flat = [](std::size_t) { return 7.0f; };
    const std::vector<std::pair<std::size_t, std::function<float(std::size_t)>>> bands = {
        {1, uniform},      {2, uniform},        {50, uniform},  {101, uniform}, {4099, uniform},
        {300007, uniform}, {8192 * 37, skewed}, {300000, flat}, {65536, skewed}};
    for (const auto& [count, value] : bands) {
        std::vector<float> samples(count);
        for (std::size_t i = 0; i < count; ++i) {
            samples[i] = value(i);
        }
        const DisplayStretch expected = sortedStretch(std::vector<double>(samples.begin(), samples.end()));
        const DisplayStretch stretch = percentileStretch(samples.data(), count);
        EXPECT_EQ(stretch.low, expected.low) << count;
        EXPECT_EQ(stretch.high, expected.high) << count;
    }
    const DisplayStretch seven{7.0, 8.0};
    EXPECT_EQ(stretchedByte(7.5, seven), 128);  // 127.5 rounds away from zero
    EXPECT_EQ(stretchedByte(-3.0, seven), 0);
    EXPECT_EQ(stretchedByte(9.0, seven), 255);
}
