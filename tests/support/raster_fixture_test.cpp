// The raster fixture must write what it is asked to: later raster tests rely on it.

#include "support/raster_fixture.h"
#include "runtime/gdal_handles.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

TEST(RasterFixture, WritesBandsGeoreferencingNodataColoursAlphaAndMask) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("scene.tif"));
    TestRasterSpec spec;
    spec.width = 40;
    spec.height = 24;
    spec.bands = 4;
    spec.dataType = GDT_UInt16;
    spec.noData = 0.0;
    spec.colorInterpretations = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand};
    spec.lastBandIsAlpha = true;
    spec.blockWidth = 16;
    spec.blockHeight = 16;
    spec.maskValid = [](int x, int y) { return x >= y; };
    spec.creationOptions << QStringLiteral("COMPRESS=DEFLATE");
    writeTestRaster(path, spec);

    const Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    ASSERT_TRUE(dataset);
    EXPECT_EQ(GDALGetRasterXSize(dataset.get()), 40);
    EXPECT_EQ(GDALGetRasterYSize(dataset.get()), 24);
    ASSERT_EQ(GDALGetRasterCount(dataset.get()), 4);
    double transform[6];
    ASSERT_EQ(GDALGetGeoTransform(dataset.get(), transform), CE_None);
    EXPECT_EQ(transform[0], 500000.0);
    EXPECT_EQ(transform[5], -10.0);
    OGRSpatialReferenceH srs = GDALGetSpatialRef(dataset.get());
    ASSERT_NE(srs, nullptr);
    EXPECT_STREQ(OSRGetAuthorityCode(srs, nullptr), "32633");

    GDALRasterBandH red = GDALGetRasterBand(dataset.get(), 1);
    EXPECT_EQ(GDALGetRasterDataType(red), GDT_UInt16);
    EXPECT_EQ(GDALGetRasterColorInterpretation(red), GCI_RedBand);
    EXPECT_EQ(GDALGetRasterColorInterpretation(GDALGetRasterBand(dataset.get(), 4)), GCI_AlphaBand);
    int hasNoData = 0;
    EXPECT_EQ(GDALGetRasterNoDataValue(red, &hasNoData), 0.0);
    EXPECT_TRUE(hasNoData);
    int blockX = 0;
    int blockY = 0;
    GDALGetBlockSize(red, &blockX, &blockY);
    EXPECT_EQ(blockX, 16);
    EXPECT_EQ(blockY, 16);

    const std::vector<double> band2 = readTestBand(path, 2);
    EXPECT_EQ(band2[0], 2000.0);
    EXPECT_EQ(band2[static_cast<size_t>(23 * 40 + 39)], 2000.0 + 2300.0 + 39.0);
    const std::vector<unsigned char> mask = readTestMask(path);
    EXPECT_EQ(mask[static_cast<size_t>(5 * 40 + 7)], 255);
    EXPECT_EQ(mask[static_cast<size_t>(7 * 40 + 5)], 0);
}

TEST(RasterFixture, WithoutGeoreferencingOrCrs) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("plain.tif"));
    TestRasterSpec spec;
    spec.geoTransform.reset();
    spec.epsg = 0;
    spec.dataType = GDT_Byte;
    spec.value = [](int, int x, int) { return x * 20.0; };
    writeTestRaster(path, spec);
    const Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    ASSERT_TRUE(dataset);
    double transform[6];
    EXPECT_NE(GDALGetGeoTransform(dataset.get(), transform), CE_None);
    EXPECT_EQ(GDALGetSpatialRef(dataset.get()), nullptr);
    // Byte saturates: 15 * 20 = 300 is written as 255.
    EXPECT_EQ(readTestBand(path, 1)[15], 255.0);
}
