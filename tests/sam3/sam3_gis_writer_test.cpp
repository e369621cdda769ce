// The SAM3 GIS writer: a whole text run published as instances.tif / instances.gpkg / manifest.json (read
// back with GDAL), hand-made tiles for the ownership and merge rules, and every refusal of construction,
// consumption and publication, with the staging directory gone afterwards.

#include <tarnivale/ai/sam3.h>

#include "runtime/gdal_handles.h"
#include "sam3/sam3_fixture.h"
#include "sam3/sam3_gis_writer_impl.h"
#include "sam3/sam3_text_session_impl.h"
#include "support/expectations.h"
#include "support/raster_fixture.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

#include <gdal.h>
#include <ogr_api.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

const std::array<double, 6> Transform{500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0};

QString scene(const QTemporaryDir& dir, const char* name, int width, int height,
              std::function<void(TestRasterSpec&)> change = {}) {
    TestRasterSpec spec;
    spec.width = width;
    spec.height = height;
    spec.bands = 3;
    spec.dataType = GDT_Byte;
    spec.colorInterpretations = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand};
    spec.value = [](int band, int x, int) { return band == 1 && x >= 20 && x < 70 ? 255.0 : 0.0; };
    if (change) {
        change(spec);
    }
    const QString path = dir.filePath(QString::fromLatin1(name));
    writeTestRaster(path, spec);
    return path;
}

QString wktOf(const QString& raster) {
    const Gdal::Dataset dataset = Gdal::open(raster, GDAL_OF_RASTER | GDAL_OF_READONLY);
    return QString::fromUtf8(GDALGetProjectionRef(dataset.get()));
}

/// A tile at (x, y) of the source with one mask cell per pixel; each instance is (score, claimed pixels).
AiSamTileResult tile(const QString& wkt, int x, int y, int width, int height,
                     const std::vector<std::pair<double, std::function<bool(int, int)>>>& instances) {
    AiSamTileResult t;
    t.window = {0, 0, x, y, width, height};
    AiSamTextResult& r = t.result;
    r.width = r.maskWidth = width;
    r.height = r.maskHeight = height;
    r.geoTransform = {Transform[0] + x * Transform[1], Transform[1], 0.0,
                      Transform[3] + y * Transform[5], 0.0,          Transform[5]};
    r.projectionWkt = wkt;
    r.validity = QByteArray(width * height, 1);
    r.validPixelCount = width * height;
    for (const auto& [score, claims] : instances) {
        AiSamTextInstance instance;
        instance.score = score;
        instance.mask = QByteArray(width * height, 0);
        for (int j = 0; j < height; ++j) {
            for (int i = 0; i < width; ++i) {
                instance.mask[j * width + i] = claims(x + i, y + j) ? 1 : 0;
            }
        }
        r.instances.append(instance);
    }
    return t;
}

AiSamTiledSummary summaryOf(int tiles, int instances, int width, int height) {
    AiSamTiledSummary s;
    s.rasterWidth = width;
    s.rasterHeight = height;
    s.totalTiles = s.completedTiles = tiles;
    s.instances = instances;
    s.completed = true;
    return s;
}

std::vector<std::int32_t> labelsOf(const QString& raster) {
    const std::vector<double> values = readTestBand(raster, 1);
    return {values.begin(), values.end()};
}

bool stagingLeft(const QString& parent) {
    return !QDir(parent).entryList({u".sam3-*"_s}, QDir::AllEntries | QDir::Hidden).isEmpty();
}

}  // namespace

TEST(Sam3GisWriter, PublishesATiledTextRunAsOneMergedInstance) {
    BundleCopy bundle(u"sam3-text"_s);
    QTemporaryDir dir;
    const QString raster = scene(dir, "scene.tif", 96, 64, [](TestRasterSpec& spec) {
        spec.maskValid = [](int x, int y) { return !(x >= 88 && y >= 56); };
    });
    const AiSamTextSession session =
        SamTextSessionFactory::open(bundle.manifestPath(), {}, 1 << 30, 67108864,
                                    sha256File(bundle.path(u"processor/tokenizer.json"_s)).hex,
                                    sha256File(bundle.path(u"processor/processor_config.json"_s)).hex);
    AiSamTiledRequest request;
    request.rasterPath = raster;
    request.prompt = u"pool"_s;
    request.tileWidth = request.tileHeight = 32;
    request.overlapX = request.overlapY = 8;
    AiSamGisOptions options;
    options.outputDirectory = dir.filePath(u"out/run"_s);
    options.provenance = QJsonObject{{u"host"_s, u"test"_s}};
    const AiSamGisResult result = session.segmentToGis(request, options);

    EXPECT_EQ(result.tiles, 12);
    EXPECT_EQ(result.instances, 1);
    EXPECT_EQ(result.observations, 12);  // every tile reports candidate 0, most of them empty
    EXPECT_GE(result.mergedObservations, 6);
    EXPECT_FALSE(stagingLeft(dir.filePath(u"out"_s)));
    EXPECT_EQ(QDir(result.outputDirectory).entryList(QDir::Files),
              (QStringList{u"instances.gpkg"_s, u"instances.tif"_s, u"manifest.json"_s}));

    const std::vector<std::int32_t> labels = labelsOf(result.rasterPath);
    std::int64_t foreground = 0;
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 96; ++x) {
            const std::int32_t label = labels[static_cast<size_t>(y * 96 + x)];
            foreground += label > 0;
            if (x >= 88 && y >= 56) {
                ASSERT_EQ(label, -1) << x << "," << y;
            } else if (x >= 22 && x < 68) {
                ASSERT_EQ(label, 1) << x << "," << y;
            } else if (x < 18 || x >= 72) {
                ASSERT_EQ(label, 0) << x << "," << y;
            }
        }
    }
    EXPECT_EQ(foreground, result.foregroundPixels);
    {
        const Gdal::Dataset tif = Gdal::open(result.rasterPath, GDAL_OF_RASTER | GDAL_OF_READONLY);
        EXPECT_STREQ(GDALGetMetadataItem(tif.get(), "SAM3_PROMPT", nullptr), "pool");
        const QJsonObject recorded =
            QJsonDocument::fromJson(GDALGetMetadataItem(tif.get(), "TARNIVALE_PROVENANCE", nullptr)).object();
        EXPECT_EQ(recorded.value(u"host"_s).toString(), u"test"_s);
        EXPECT_EQ(recorded.value(u"inference"_s).toObject().value(u"tile_width"_s).toInt(), 32);
        EXPECT_EQ(recorded.value(u"provider"_s).toString(), u"CPU"_s);
        int hasNoData = 0;
        EXPECT_EQ(GDALGetRasterNoDataValue(GDALGetRasterBand(tif.get(), 1), &hasNoData), -1.0);
    }
    const Gdal::Dataset gpkg = Gdal::open(result.vectorPath, GDAL_OF_VECTOR | GDAL_OF_READONLY);
    ASSERT_NE(gpkg, nullptr);
    EXPECT_EQ(GDALDatasetGetLayerCount(gpkg.get()), 1);  // the "parts" layer is gone
    OGRLayerH layer = GDALDatasetGetLayerByName(gpkg.get(), "instances");
    ASSERT_NE(layer, nullptr);
    ASSERT_EQ(OGR_L_GetFeatureCount(layer, TRUE), 1);
    const Gdal::Feature feature(OGR_L_GetNextFeature(layer));
    EXPECT_EQ(OGR_F_GetFieldAsInteger64(feature.get(), OGR_F_GetFieldIndex(feature.get(), "pixel_count")),
              foreground);
    EXPECT_EQ(OGR_F_GetFieldAsInteger64(feature.get(), OGR_F_GetFieldIndex(feature.get(), "observations")),
              12);
    EXPECT_DOUBLE_EQ(OGR_F_GetFieldAsDouble(feature.get(), OGR_F_GetFieldIndex(feature.get(), "area_crs2")),
                     foreground * 100.0);
    EXPECT_STREQ(OGR_F_GetFieldAsString(feature.get(), OGR_F_GetFieldIndex(feature.get(), "model_id")),
                 "facebook/sam3");
    EXPECT_EQ(wkbFlatten(OGR_G_GetGeometryType(OGR_F_GetGeometryRef(feature.get()))), wkbMultiPolygon);

    QFile manifestFile(result.manifestPath);
    ASSERT_TRUE(manifestFile.open(QIODevice::ReadOnly));
    const QByteArray text = manifestFile.readAll();
    const QJsonObject manifest = QJsonDocument::fromJson(text).object();
    EXPECT_TRUE(manifest.value(u"completed"_s).toBool());
    EXPECT_EQ(manifest.value(u"instances"_s).toInt(), 1);
    EXPECT_EQ(manifest.value(u"foreground_pixels"_s).toInteger(), foreground);
    EXPECT_EQ(manifest.value(u"overlap_winner"_s).toString(), u"higher-score-first-observation-on-tie"_s);
    EXPECT_LT(text.indexOf("\"completed\""), text.indexOf("\"created_utc\""));  // sorted keys
    EXPECT_LT(text.indexOf("\"tiles\""), text.indexOf("\"vector\""));

    // A run stopped after its first tile cannot be published and leaves nothing.
    bool cancel = false;
    request.cancellationRequested = [&] { return cancel; };
    options.outputDirectory = dir.filePath(u"out/stopped"_s);
    EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                  session.segmentToGis(request, options, [&](const AiRasterInferenceProgress& p) {
                      cancel = p.completedTiles == 1;
                  });
              }),
              "Incomplete or inconsistent SAM3 inference cannot publish GIS outputs.");
    EXPECT_FALSE(QFileInfo::exists(options.outputDirectory));
    EXPECT_FALSE(stagingLeft(dir.filePath(u"out"_s)));
    request.cancellationRequested = {};
    options.hasWindow = true;
    options.window = {0, 0, 0, 0, 8, 8};
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { session.segmentToGis(request, options); }),
              "SAM3 GIS output/inference windows must agree.");
    options.hasWindow = false;
    options.execution.maximumMilliseconds = -1;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { session.segmentToGis(request, options); }),
              "Invalid SAM3 GIS deadline.");
}

TEST(Sam3GisWriter, OwnershipAndMergingFollowTheirRules) {
    QTemporaryDir dir;
    const QString raster = scene(dir, "scene.tif", 24, 8);
    const QString wkt = wktOf(raster);
    const auto run = [&](const char* name, std::int64_t minimumMergePixels,
                         const std::vector<AiSamTileResult>& tiles) {
        AiSamGisOptions options;
        options.outputDirectory = dir.filePath(QString::fromLatin1(name));
        options.minimumMergePixels = minimumMergePixels;
        AiSamGisWriter writer(raster, options);
        int observations = 0;
        for (const AiSamTileResult& t : tiles) {
            writer.consume(t);
            observations += static_cast<int>(t.result.instances.size());
        }
        const AiSamGisResult result =
            writer.finish(summaryOf(static_cast<int>(tiles.size()), observations, 24, 8));
        return std::make_pair(result, labelsOf(result.rasterPath));
    };
    // Equal scores: the observation seen first keeps the shared pixels.
    auto [tie, tieLabels] =
        run("tie", 8,
            {tile(wkt, 0, 0, 24, 8,
                  {{0.8, [](int x, int) { return x < 12; }}, {0.8, [](int x, int) { return x >= 8; }}})});
    EXPECT_EQ(tie.instances, 2);
    EXPECT_EQ(tieLabels[3 * 24 + 10], 1);
    EXPECT_EQ(tieLabels[3 * 24 + 14], 2);
    // A higher score takes them.
    auto [higher, higherLabels] =
        run("higher", 8,
            {tile(wkt, 0, 0, 24, 8,
                  {{0.6, [](int x, int) { return x < 12; }}, {0.9, [](int x, int) { return x >= 8; }}})});
    EXPECT_EQ(higherLabels[3 * 24 + 10], 2);

    // Two tiles overlapping in columns 8..15: the observations share exactly 7 pixels there.
    const auto seven = [](int x, int y) { return x >= 8 && x < 16 && y == 0 && x != 15; };
    const std::vector<AiSamTileResult> tiles{tile(wkt, 0, 0, 16, 8, {{0.9, seven}}),
                                             tile(wkt, 8, 0, 16, 8, {{0.9, seven}})};
    EXPECT_EQ(run("seven", 8, tiles).first.mergedObservations, 0);
    const auto merged = run("merged", 7, tiles).first;
    EXPECT_EQ(merged.mergedObservations, 1);
    EXPECT_EQ(merged.instances, 1);
}

TEST(Sam3GisWriter, RefusesBadOptionsSourcesTilesAndSummaries) {
    QTemporaryDir dir;
    const QString raster = scene(dir, "scene.tif", 24, 8);
    const QString wkt = wktOf(raster);
    const QString plain = scene(dir, "plain.tif", 8, 8, [](TestRasterSpec& s) { s.geoTransform.reset(); });
    const QString noCrs = scene(dir, "nocrs.tif", 8, 8, [](TestRasterSpec& s) { s.epsg = 0; });
    const QString singular = scene(dir, "singular.tif", 8, 8, [](TestRasterSpec& s) {
        s.geoTransform = std::array<double, 6>{0.0, 1.0, 2.0, 0.0, 0.5, 1.0};
    });
    const QString rotated = scene(dir, "rotated.tif", 8, 8, [](TestRasterSpec& s) {
        s.geoTransform = std::array<double, 6>{500000.0, 10.0, 2.0, 4100000.0, 1.0, -10.0};
    });
    QDir().mkpath(dir.filePath(u"exists"_s));
    QFile::link(dir.filePath(u"nowhere"_s),
                dir.filePath(u"link"_s));  // a dangling link is not a new directory
    struct Row {
        QString source;
        std::function<void(AiSamGisOptions&)> change;
        const char* message;
    };
    const std::vector<Row> rows{
        {raster, [](AiSamGisOptions& o) { o.execution.maximumHostBytes = 0; },
         "Invalid SAM3 execution budget."},
        {raster, [](AiSamGisOptions& o) { o.outputDirectory = u"  "_s; },
         "SAM3 GIS output directory is required."},
        {raster, [](AiSamGisOptions& o) { o.mergeIou = 0.0; }, "Invalid SAM3 GIS limits."},
        {raster, [](AiSamGisOptions& o) { o.mergeIou = std::nan(""); }, "Invalid SAM3 GIS limits."},
        {raster, [](AiSamGisOptions& o) { o.minimumMergePixels = 0; }, "Invalid SAM3 GIS limits."},
        {raster, [](AiSamGisOptions& o) { o.maximumObservations = 1000001; }, "Invalid SAM3 GIS limits."},
        {raster, [](AiSamGisOptions& o) { o.maximumBufferBytes = 0; }, "Invalid SAM3 GIS limits."},
        {raster, [](AiSamGisOptions& o) { o.prompt = QString(4097, u'a'); }, "SAM3 GIS prompt is too long."},
        {raster, [&](AiSamGisOptions& o) { o.outputDirectory = dir.filePath(u"exists"_s); },
         "SAM3 GIS destination must be a new directory."},
        {raster, [&](AiSamGisOptions& o) { o.outputDirectory = dir.filePath(u"link"_s); },
         "SAM3 GIS destination must be a new directory."},
        {raster, [&](AiSamGisOptions& o) { o.outputDirectory = raster + u"/out"_s; },
         "Cannot create SAM3 output parent."},
        {dir.filePath(u"missing.tif"_s), {}, "Cannot open SAM3 GIS source."},
        {raster,
         [](AiSamGisOptions& o) {
             o.hasWindow = true;
             o.window = {0, 0, 20, 0, 8, 8};
         },
         "SAM3 window is outside the raster."},
        {raster, [](AiSamGisOptions& o) { o.maximumOutputPixels = 191; },
         "SAM3 GIS output exceeds its pixel/staging admission limit."},
        {raster, [](AiSamGisOptions& o) { o.maximumStagingBytes = 191 * 17; },
         "SAM3 GIS output exceeds its pixel/staging admission limit."},
        {plain, {}, "SAM3 GIS output requires an affine transform."},
        {singular, {}, "SAM3 GIS source transform is singular."},
        {noCrs, {}, "SAM3 GIS output requires a source CRS."},
        {rotated, {}, "no error"},
    };
    for (const Row& row : rows) {
        AiSamGisOptions options;
        options.outputDirectory = dir.filePath(u"new/out"_s);
        if (row.change) {
            row.change(options);
        }
        EXPECT_EQ(errorOf<std::exception>([&] { AiSamGisWriter writer(row.source, options); }), row.message)
            << row.message;
        EXPECT_FALSE(stagingLeft(dir.filePath(u"new"_s)));
    }

    // Tiles: each refusal leaves the writer unusable.
    const auto all = [](int, int) { return true; };
    const auto changed = [&](const std::function<void(AiSamTileResult&)>& change) {
        AiSamTileResult t = tile(wkt, 8, 0, 8, 8, {{0.9, all}});
        change(t);
        return t;
    };
    const std::vector<std::pair<AiSamTileResult, const char*>> tiles{
        {changed([](AiSamTileResult& t) { t.window.x = 20; }), "SAM3 GIS tile is outside the output area."},
        {changed([](AiSamTileResult& t) { t.result.validity.chop(1); }), "Invalid SAM3 GIS tile layout."},
        {changed([](AiSamTileResult& t) { t.result.geoTransform.clear(); }),
         "SAM3 GIS tile lacks georeferencing."},
        {changed([](AiSamTileResult& t) { t.result.geoTransform[0] += 1e-3; }),
         "SAM3 GIS tile transform differs from the source."},
        {changed([](AiSamTileResult& t) { t.result.projectionWkt = u"EPSG:4326"_s; }),
         "SAM3 GIS tile CRS differs from the source."},
        {changed([](AiSamTileResult& t) { t.result.skipped = true; }),
         "Skipped SAM3 tile contains instances."},
        {changed([](AiSamTileResult& t) { t.result.instances[0].score = 1.5; }),
         "Invalid SAM3 GIS instance."},
        {changed([](AiSamTileResult& t) { t.result.validity[0] = 2; }), "Nonbinary SAM3 source validity."},
        {changed([](AiSamTileResult& t) { t.result.validPixelCount = 63; }),
         "SAM3 tile valid-pixel count differs."},
        {changed([](AiSamTileResult& t) { t.result.instances[0].mask[5] = 3; }),
         "Nonbinary SAM3 instance mask."},
        {changed([](AiSamTileResult& t) {
             t.result.validity[0] = 0;  // the first tile recorded this pixel as valid
             t.result.validPixelCount = 63;
         }),
         "Overlapping SAM3 tiles disagree on source validity."},
    };
    for (const auto& [bad, message] : tiles) {
        AiSamGisOptions options;
        options.outputDirectory = dir.filePath(u"new/out"_s);
        AiSamGisWriter writer(raster, options);
        writer.consume(tile(wkt, 0, 0, 16, 8, {}));
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { writer.consume(bad); }), message);
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { writer.consume(tile(wkt, 0, 0, 8, 8, {})); }),
                  "SAM3 GIS writer is no longer writable.");
    }
    EXPECT_FALSE(stagingLeft(dir.filePath(u"new"_s)));
    {
        AiSamGisOptions options;
        options.outputDirectory = dir.filePath(u"new/out"_s);
        options.maximumBufferBytes = 28 * 64 - 1;
        options.maximumObservations = 1;
        AiSamGisWriter small(raster, options);
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { small.consume(tile(wkt, 0, 0, 8, 8, {})); }),
                  "SAM3 GIS tile exceeds the export buffer budget.");
        options.maximumBufferBytes = 1 << 20;
        AiSamGisWriter few(raster, options);
        EXPECT_EQ(errorOf<std::invalid_argument>([&] {
                      few.consume(tile(wkt, 0, 0, 8, 8, {{0.9, all}, {0.9, all}}));
                  }),
                  "SAM3 GIS observation limit exceeded.");
    }

    // Summaries: stopped, inconsistent, uncovered; finishing twice; a destination that appears meanwhile.
    const auto finishError = [&](const AiSamTiledSummary& summary, int consumedTiles = 2) {
        AiSamGisOptions options;
        options.outputDirectory = dir.filePath(u"new/out"_s);
        AiSamGisWriter writer(raster, options);
        writer.consume(tile(wkt, 0, 0, 16, 8, {}));
        if (consumedTiles == 2) {
            writer.consume(tile(wkt, 8, 0, 16, 8, {}));
        }
        return errorOf<std::exception>([&] { writer.finish(summary); });
    };
    const std::string inconsistent = "Incomplete or inconsistent SAM3 inference cannot publish GIS outputs.";
    AiSamTiledSummary stopped = summaryOf(2, 0, 24, 8);
    stopped.cancelled = true;
    EXPECT_EQ(finishError(stopped), inconsistent);
    EXPECT_EQ(finishError(summaryOf(3, 0, 24, 8)), inconsistent);
    EXPECT_EQ(finishError(summaryOf(2, 1, 24, 8)), inconsistent);
    EXPECT_EQ(finishError(summaryOf(2, 0, 25, 8)), inconsistent);
    EXPECT_EQ(finishError(summaryOf(1, 0, 24, 8), 1), "Completed SAM3 job left an uncovered output pixel.");
    {
        AiSamGisOptions options;
        options.outputDirectory = dir.filePath(u"new/late"_s);
        AiSamGisWriter writer(raster, options);
        writer.consume(tile(wkt, 0, 0, 24, 8, {{0.9, all}}));
        QDir().mkpath(options.outputDirectory);
        EXPECT_EQ(errorOf<std::runtime_error>([&] { writer.finish(summaryOf(1, 1, 24, 8)); }),
                  "SAM3 GIS destination appeared during processing.");
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { writer.finish(summaryOf(1, 1, 24, 8)); }),
                  "SAM3 GIS writer cannot finish.");
    }
    EXPECT_TRUE(QDir(dir.filePath(u"new/late"_s)).isEmpty());
    EXPECT_FALSE(stagingLeft(dir.filePath(u"new"_s)));
}

TEST(Sam3GisWriter, TrackerSelectionsAreCheckedAndMergedAsOneInstance) {
    QTemporaryDir dir;
    const QString raster = scene(dir, "scene.tif", 8, 4);
    const AiSamTileResult layout = tile(wktOf(raster), 0, 0, 8, 4, {});
    const auto selection = [&](const std::function<void(AiSamTrackerResult&)>& change) {
        AiSamTrackerResult s;
        s.width = 8;
        s.height = 4;
        s.bandCount = 1;
        s.dataType = AiTensorDataType::Int32;
        std::vector<std::int32_t> values(32, 0);
        std::fill(values.begin(), values.begin() + 12, 1);
        s.data = QByteArray(reinterpret_cast<const char*>(values.data()), 32 * 4);
        s.geoTransform = layout.result.geoTransform;
        s.projectionWkt = layout.result.projectionWkt;
        s.validity = layout.result.validity;
        s.window = layout.window;
        s.qualityScores = {0.2, 1.3, 0.9};
        s.selectedCandidate = 1;
        if (change) {
            change(s);
        }
        return s;
    };
    const std::vector<std::pair<AiSamTrackerResult, const char*>> rows{
        {selection([](AiSamTrackerResult& s) { s.bandCount = 2; }), "Invalid tracker GIS mask."},
        {selection([](AiSamTrackerResult& s) { s.dataType = AiTensorDataType::Float32; }),
         "Invalid tracker GIS mask."},
        {selection([](AiSamTrackerResult& s) { s.data.chop(4); }), "Invalid tracker GIS mask."},
        {selection([](AiSamTrackerResult& s) { s.selectedCandidate = 3; }), "Invalid tracker GIS mask."},
        {selection([](AiSamTrackerResult& s) { s.selectedCandidate = -1; }), "Invalid tracker GIS mask."},
        {selection([](AiSamTrackerResult& s) { s.qualityScores[1] = std::nan(""); }),
         "Nonfinite tracker GIS quality."},
        {selection([](AiSamTrackerResult& s) { s.data[8] = 2; }), "Tracker GIS selection must be binary."},
    };
    for (const auto& [bad, message] : rows) {
        AiSamGisOptions options;
        options.outputDirectory = dir.filePath(u"bad"_s);
        AiSamGisWriter writer(raster, options);
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { writer.consume(bad); }), message);
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { writer.consume(selection({})); }),
                  "SAM3 GIS writer is no longer writable.");
    }
    AiSamGisOptions options;
    options.outputDirectory = dir.filePath(u"good"_s);
    AiSamGisWriter writer(raster, options);
    writer.consume(selection({}));
    const AiSamGisResult result = writer.finish(summaryOf(1, 1, 8, 4));
    EXPECT_EQ(result.instances, 1);
    EXPECT_EQ(result.foregroundPixels, 12);
    const Gdal::Dataset gpkg = Gdal::open(result.vectorPath, GDAL_OF_VECTOR | GDAL_OF_READONLY);
    const Gdal::Feature feature(OGR_L_GetNextFeature(GDALDatasetGetLayerByName(gpkg.get(), "instances")));
    EXPECT_EQ(OGR_F_GetFieldAsDouble(feature.get(), OGR_F_GetFieldIndex(feature.get(), "score_max")), 1.0);
    QFile manifest(result.manifestPath);
    manifest.open(QIODevice::ReadOnly);
    EXPECT_EQ(QJsonDocument::fromJson(manifest.readAll())
                  .object()
                  .value(u"provenance"_s)
                  .toObject()
                  .value(u"inference"_s)
                  .toObject()
                  .value(u"score_kind"_s)
                  .toString(),
              u"tracker_iou_quality_clamped"_s);
}

namespace {
int killAtStep = 0;
}

TEST(Sam3GisWriter, AProcessKilledWhileFinishingLeavesNoPartialDestination) {
    QTemporaryDir dir;
    const QString raster = scene(dir, "scene.tif", 24, 8);
    const QString wkt = wktOf(raster);
    for (int step = 1; step <= 5; ++step) {
        const QString destination = dir.filePath(u"killed-%1"_s.arg(step));
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            killAtStep = step;
            SamGis::finishStepHook = [](int at) {
                if (at == killAtStep) {
                    raise(SIGKILL);
                }
            };
            AiSamGisOptions options;
            options.outputDirectory = destination;
            AiSamGisWriter writer(raster, options);
            writer.consume(tile(wkt, 0, 0, 24, 8, {{0.9, [](int x, int) { return x < 10; }}}));
            writer.finish(summaryOf(1, 1, 24, 8));
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << step;
        if (step < 5) {
            EXPECT_FALSE(QFileInfo::exists(destination)) << step;
        } else {  // killed after the rename: complete
            EXPECT_EQ(QDir(destination).entryList(QDir::Files),
                      (QStringList{u"instances.gpkg"_s, u"instances.tif"_s, u"manifest.json"_s}));
        }
    }
}
