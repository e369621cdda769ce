#include "tasks/zero_filled_copy.h"

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

namespace Tarnivale::AI::Tasks {

namespace {

constexpr int RowsPerStep = 256;

}  // namespace

std::int64_t writeZeroFilledCopy(const QString& sourcePath, const QList<std::int32_t>& bands,
                                 const QString& stagingPath, const QString& readMessage,
                                 const QString& writeMessage, const Checkpoint& checkpoint,
                                 const QList<std::int32_t>& keptBands, PlaneBuffer* kept) {
    Gdal::registerDrivers();
    const Gdal::Dataset source = Gdal::open(sourcePath, GDAL_OF_RASTER | GDAL_OF_READONLY);
    if (!source) {
        throwRuntimeError(readMessage);
    }
    const int width = GDALGetRasterXSize(source.get());
    const int height = GDALGetRasterYSize(source.get());
    const auto bandCount = static_cast<int>(bands.size());
    std::vector<double> noData(static_cast<std::size_t>(bandCount));
    std::vector<bool> hasNoData(static_cast<std::size_t>(bandCount));
    for (int b = 0; b < bandCount; ++b) {
        int has = 0;
        noData[b] = GDALGetRasterNoDataValue(GDALGetRasterBand(source.get(), bands[b]), &has);
        hasNoData[b] = has != 0;
    }
    std::vector<int> bandList(bands.begin(), bands.end());
    std::vector<float> block(static_cast<std::size_t>(width) * RowsPerStep * bandCount);
    const auto read = [&](int y, int rows) {
        if (GDALDatasetRasterIO(source.get(), GF_Read, 0, y, width, rows, block.data(), width, rows,
                                GDT_Float32, bandCount, bandList.data(), 0, 0, 0) != CE_None) {
            throwRuntimeError(readMessage);
        }
    };
    // The copy is created at the first sample to replace: clean input, the usual case, is only read.
    Gdal::Dataset staging;
    const auto write = [&](int y, int rows) {
        if (GDALDatasetRasterIO(staging.get(), GF_Write, 0, y, width, rows, block.data(), width, rows,
                                GDT_Float32, bandCount, nullptr, 0, 0, 0) != CE_None) {
            throwRuntimeError(writeMessage);
        }
    };
    const auto createStaging = [&] {
        const Gdal::StringList options(CSLSetNameValue(nullptr, "TILED", "YES"));
        staging.reset(GDALCreate(GDALGetDriverByName("GTiff"), stagingPath.toUtf8().constData(), width,
                                 height, bandCount, GDT_Float32, options.get()));
        if (!staging) {
            throwRuntimeError(writeMessage);
        }
        double transform[6];
        if (GDALGetGeoTransform(source.get(), transform) == CE_None) {
            GDALSetGeoTransform(staging.get(), transform);
        }
        GDALSetProjection(staging.get(), GDALGetProjectionRef(source.get()));
    };

    const std::size_t fullPlane = static_cast<std::size_t>(width) * height;
    if (kept != nullptr) {
        *kept = PlaneBuffer(fullPlane * static_cast<std::size_t>(keptBands.size()));
    }
    const auto keep = [&](int y, int rows) {
        const std::size_t plane = static_cast<std::size_t>(width) * rows;
        for (qsizetype k = 0; kept != nullptr && k < keptBands.size(); ++k) {
            const float* from = block.data() + static_cast<std::size_t>(bands.indexOf(keptBands[k])) * plane;
            float* to =
                kept->data() + static_cast<std::size_t>(k) * fullPlane + static_cast<std::size_t>(y) * width;
            for (std::size_t i = 0; i < plane; ++i) {
                to[i] = std::isfinite(from[i]) ? from[i] : 0.0f;
            }
        }
    };
    // Zero in place every sample the model must not see; returns how many there were.
    const auto fill = [&](int rows) {
        const std::size_t plane = static_cast<std::size_t>(width) * rows;
        std::int64_t count = 0;
        for (int b = 0; b < bandCount; ++b) {
            // The nodata value is compared as the Float32 sample it was read as.
            const float missing = static_cast<float>(noData[b]);
            for (float& value : std::span(block.data() + b * plane, plane)) {
                if (!std::isfinite(value) || (hasNoData[b] && value == missing)) {
                    value = 0.0f;
                    ++count;
                }
            }
        }
        return count;
    };

    std::int64_t replaced = 0;
    for (int y = 0; y < height; y += RowsPerStep) {
        checkpoint();
        const int rows = std::min(RowsPerStep, height - y);
        read(y, rows);
        keep(y, rows);
        const std::int64_t here = fill(rows);
        if (here > 0 && !staging) {
            // The steps before were clean: copied as they are, then this one's block is filled again.
            createStaging();
            for (int before = 0; before < y; before += RowsPerStep) {
                checkpoint();
                read(before, RowsPerStep);
                write(before, RowsPerStep);
            }
            read(y, rows);
            fill(rows);
        }
        replaced += here;
        if (staging) {
            write(y, rows);
        }
    }
    if (staging) {
        CPLErrorReset();
        GDALFlushCache(staging.get());
        if (CPLGetLastErrorType() >= CE_Failure) {
            throwRuntimeError(writeMessage);
        }
    }
    return replaced;
}

}  // namespace Tarnivale::AI::Tasks
