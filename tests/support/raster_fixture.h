#pragma once

// Writes small GeoTIFF rasters with GDAL for tests: bands, data types, georeferencing, nodata, colour
// interpretation, alpha and mask bands, tiling. Reads bands back for comparisons.

#include <gdal.h>

#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>
#include <vector>

namespace Tarnivale::AI::Testing {

struct TestRasterSpec {
    int width = 16;
    int height = 16;
    int bands = 1;
    GDALDataType dataType = GDT_Float32;
    /// Six affine coefficients; empty leaves the raster without a geotransform.
    std::optional<std::array<double, 6>> geoTransform =
        std::array<double, 6>{500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0};
    /// EPSG code of the CRS; 0 writes no CRS.
    int epsg = 32633;
    std::optional<double> noData{};
    /// Per-band colour interpretation (GCI_RedBand, ...); shorter lists leave the remaining bands alone.
    std::vector<GDALColorInterp> colorInterpretations{};
    /// Makes the last band an alpha band (colour interpretation alpha).
    bool lastBandIsAlpha = false;
    /// Adds a per-dataset mask band; maskValid(x, y) decides which pixels are valid (255) or not (0).
    std::function<bool(int x, int y)> maskValid{};
    /// Tiled GeoTIFF with this block size when both are positive; striped otherwise.
    int blockWidth = 0;
    int blockHeight = 0;
    /// Value of each pixel (band is one-based); the default gives distinct values per band and pixel.
    std::function<double(int band, int x, int y)> value = [](int band, int x, int y) {
        return band * 1000.0 + y * 100.0 + x;
    };
    /// Extra GTiff creation options, e.g. "COMPRESS=DEFLATE".
    QStringList creationOptions{};
};

/// Writes the raster and closes it; throws std::runtime_error when GDAL fails.
void writeTestRaster(const QString& path, const TestRasterSpec& spec = {});

/// Reads one band (one-based) as doubles, row by row.
std::vector<double> readTestBand(const QString& path, int band);

}  // namespace Tarnivale::AI::Testing
