// The fixture's own choices that no library test reads back: colour interpretation per band, alpha on the
// last band, tiling together with extra creation options, nodata, and the mask's orientation. Values,
// georeferencing and Byte saturation are compared through the executor in tests/raster.

#include "support/raster_fixture.h"
#include "runtime/gdal_handles.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <utility>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

TEST(RasterFixture, WritesColoursAlphaTilingNodataAndMask) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("scene.tif"));
    TestRasterSpec spec{
        .bands = 3, .noData = 7.0, .lastBandIsAlpha = true, .blockWidth = 16, .blockHeight = 32};
    spec.colorInterpretations = {GCI_Undefined, GCI_GreenBand};
    spec.maskValid = [](int x, int y) { return x >= y; };
    spec.creationOptions << QStringLiteral("COMPRESS=DEFLATE");
    writeTestRaster(path, spec);
    const Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_RASTER | GDAL_OF_READONLY);
    ASSERT_TRUE(dataset);
    const auto band = [&](int index) { return GDALGetRasterBand(dataset.get(), index); };
    EXPECT_EQ(GDALGetRasterColorInterpretation(band(2)), GCI_GreenBand);
    EXPECT_EQ(GDALGetRasterColorInterpretation(band(3)), GCI_AlphaBand);
    EXPECT_EQ(GDALGetRasterNoDataValue(band(3), nullptr), 7.0);
    int blockX = 0;
    int blockY = 0;
    GDALGetBlockSize(band(1), &blockX, &blockY);
    EXPECT_EQ(std::pair(blockX, blockY), std::pair(16, 32));
    EXPECT_STREQ(GDALGetMetadataItem(dataset.get(), "COMPRESSION", "IMAGE_STRUCTURE"), "DEFLATE");
    unsigned char mask[2] = {1, 1};  // (4, 5) left of the diagonal, (5, 5) on it
    ASSERT_EQ(GDALRasterIO(GDALGetMaskBand(band(1)), GF_Read, 4, 5, 2, 1, mask, 2, 1, GDT_Byte, 0, 0),
              CE_None);
    EXPECT_EQ(std::pair(mask[0], mask[1]), (std::pair<unsigned char, unsigned char>(0, 255)));
}
