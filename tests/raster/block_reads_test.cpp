// Every source block is decoded once per run, although windows overlap: a test driver counts the reads.

#include <tarnivale/ai/raster.h>

#include "support/expectations.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <gdal_priv.h>

#include <atomic>
#include <map>
#include <mutex>
#include <utility>

using namespace Tarnivale::AI;
using Tarnivale::AI::Testing::testModelPath;

namespace {

// Reads of each (band, block column, block row), across every dataset the driver opened.
std::mutex g_readsMutex;
std::map<std::tuple<int, int, int>, int> g_reads;

class CountingBand : public GDALRasterBand {
public:
    CountingBand(GDALDataset* dataset, int band, int block) {
        poDS = dataset;
        nBand = band;
        eDataType = GDT_Float32;
        nBlockXSize = block;
        nBlockYSize = block;
        nRasterXSize = dataset->GetRasterXSize();
        nRasterYSize = dataset->GetRasterYSize();
    }
    CPLErr IReadBlock(int blockX, int blockY, void* data) override {
        {
            const std::lock_guard lock(g_readsMutex);
            ++g_reads[{nBand, blockX, blockY}];
        }
        auto* values = static_cast<float*>(data);
        for (int i = 0; i < nBlockXSize * nBlockYSize; ++i) {
            values[i] = static_cast<float>(nBand + blockX + blockY);
        }
        return CE_None;
    }
};

// "counting:W:H:BLOCK:BANDS" opens a synthetic raster whose block reads are counted.
class CountingDataset : public GDALDataset {
public:
    static GDALDataset* open(GDALOpenInfo* info) {
        int width = 0;
        int height = 0;
        int block = 0;
        int bands = 0;
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

void registerCountingDriver() {
    static std::once_flag once;
    std::call_once(once, [] {
        GDALAllRegister();
        auto* driver = new GDALDriver();  // the driver manager owns registered drivers
        driver->SetDescription("TarnivaleCountingTest");
        driver->SetMetadataItem(GDAL_DCAP_RASTER, "YES");
        driver->pfnOpen = CountingDataset::open;
        GetGDALDriverManager()->RegisterDriver(driver);
    });
}

}  // namespace

TEST(BlockReads, EachSourceBlockIsDecodedOncePerRun) {
    registerCountingDriver();
    {
        const std::lock_guard lock(g_readsMutex);
        g_reads.clear();
    }
    AiRasterInferenceRequest request;
    request.modelPath = testModelPath(QStringLiteral("add_one.onnx"));
    // 3 bands of 600 x 520 in 64-pixel blocks; 128-pixel tiles overlapping by 32 straddle block edges.
    request.rasterPath = QStringLiteral("counting:600:520:64:3");
    request.tiling = AiTileOptions{128, 128, 32, 32};
    request.outputMode = AiRasterOutputMode::FloatBands;
    const AiRasterInferenceResult result = AiRasterInferenceExecutor::run(request);
    ASSERT_EQ(result.bandCount, 3);
    EXPECT_GT(result.processedTiles, 20);

    const std::lock_guard lock(g_readsMutex);
    const int columns = (600 + 63) / 64;
    const int rows = (520 + 63) / 64;
    EXPECT_EQ(g_reads.size(), static_cast<size_t>(3 * columns * rows));
    for (const auto& [block, reads] : g_reads) {
        EXPECT_EQ(reads, 1) << "band " << std::get<0>(block) << " block " << std::get<1>(block) << ","
                            << std::get<2>(block);
    }
    // The blocks were read, and the values reached the result: band b, block (x, y) holds b + x + y, plus
    // one.
    const auto values = Testing::valuesOf<float>(result.data);
    EXPECT_FLOAT_EQ(values[static_cast<size_t>(599)], 1.0f + 9.0f + 0.0f + 1.0f);
}
