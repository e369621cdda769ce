// Every source block is decoded once per run, although windows overlap: a test driver counts the reads.

#include <tarnivale/ai/raster.h>

#include "support/expectations.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <gdal_priv.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <tuple>

using namespace Tarnivale::AI;

namespace {

// Reads of each (band, block column, block row), across every dataset the driver opened.
std::mutex g_readsMutex;
std::map<std::tuple<int, int, int>, int> g_reads;

// Block (x, y) of band b holds b + x + y.
class CountingBand : public GDALRasterBand {
public:
    CountingBand(GDALDataset* dataset, int band, int block) {
        poDS = dataset;
        nBand = band;
        eDataType = GDT_Float32;
        nBlockXSize = nBlockYSize = block;
        nRasterXSize = dataset->GetRasterXSize();
        nRasterYSize = dataset->GetRasterYSize();
    }
    CPLErr IReadBlock(int blockX, int blockY, void* data) override {
        {
            const std::lock_guard lock(g_readsMutex);
            ++g_reads[{nBand, blockX, blockY}];
        }
        std::fill_n(static_cast<float*>(data), nBlockXSize * nBlockYSize,
                    static_cast<float>(nBand + blockX + blockY));
        return CE_None;
    }
};

// "counting:W:H:BLOCK:BANDS" opens a synthetic raster whose block reads are counted.
struct CountingDataset : GDALDataset {
    static GDALDataset* open(GDALOpenInfo* info) {
        int width = 0, height = 0, block = 0, bands = 0;
        if (std::sscanf(info->pszFilename, "counting:%d:%d:%d:%d", &width, &height, &block, &bands) != 4) {
            return nullptr;
        }
        auto* dataset = new CountingDataset();  // GDAL owns datasets its drivers open
        dataset->nRasterXSize = width;
        dataset->nRasterYSize = height;
        for (int band = 1; band <= bands; ++band) {
            dataset->SetBand(band, new CountingBand(dataset, band, block));
        }
        return dataset;
    }
};

}  // namespace

TEST(BlockReads, EachSourceBlockIsDecodedOncePerRun) {
    GDALAllRegister();
    if (GDALGetDriverByName("TarnivaleCountingTest") == nullptr) {
        auto* driver = new GDALDriver();  // the driver manager owns registered drivers
        driver->SetDescription("TarnivaleCountingTest");
        driver->SetMetadataItem(GDAL_DCAP_RASTER, "YES");
        driver->pfnOpen = CountingDataset::open;
        GetGDALDriverManager()->RegisterDriver(driver);
    }
    AiRasterInferenceRequest request;
    request.modelPath = Testing::testModelPath(QStringLiteral("add_one.onnx"));
    // 3 bands of 600 x 520 in 64-pixel blocks; 128-pixel tiles overlapping by 32 straddle block edges.
    request.rasterPath = QStringLiteral("counting:600:520:64:3");
    request.tiling = AiTileOptions{128, 128, 32, 32};
    request.outputMode = AiRasterOutputMode::FloatBands;
    const AiRasterInferenceResult result = AiRasterInferenceExecutor::run(request);
    ASSERT_EQ(result.bandCount, 3);
    EXPECT_EQ(result.processedTiles, 6 * 6);

    const std::lock_guard lock(g_readsMutex);
    EXPECT_EQ(g_reads.size(), 3u * 10 * 9);  // ceil(600 / 64) x ceil(520 / 64) blocks per band
    for (const auto& [block, reads] : g_reads) {
        EXPECT_EQ(reads, 1) << "band " << std::get<0>(block) << " block " << std::get<1>(block) << ","
                            << std::get<2>(block);
    }
    // The values reached the result: band 1, block (9, 0) holds 10, plus one; band 3, block (9, 8) 20.
    const auto values = Testing::valuesOf<float>(result.data);
    EXPECT_FLOAT_EQ(values[599], 11.0f);
    EXPECT_FLOAT_EQ(values[2 * 600 * 520 + 519 * 600 + 599], 21.0f);
}
