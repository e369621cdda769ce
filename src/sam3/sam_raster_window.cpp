#include "sam3/sam_raster.h"

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"
#include "runtime/huge_pages.h"

#include <gdal.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>

namespace Tarnivale::AI::SamRaster {

namespace {

constexpr int StripRows = 64;
constexpr std::int64_t MaximumSide = 32768;

struct DisplayRange {
    double minimum;
    double span;
};

/// Validates fill, fraction and display ranges (before the raster is opened).
std::array<std::optional<DisplayRange>, 3> checkOptions(const AiSamRasterOptions& options) {
    if (static_cast<std::uint32_t>(options.invalidPixelFill) > 255U) {
        throwInvalidArgument(QStringLiteral("SAM3 invalid pixel fill must be 0..255."));
    }
    if (!std::isfinite(options.minimumValidFraction) || options.minimumValidFraction < 0.0 ||
        options.minimumValidFraction > 1.0) {
        throwInvalidArgument(QStringLiteral("Invalid SAM3 valid-pixel fraction."));
    }
    std::array<std::optional<DisplayRange>, 3> ranges;
    if (options.minimums.isEmpty() && options.maximums.isEmpty()) {
        return ranges;
    }
    if (options.minimums.size() != 3 || options.maximums.size() != 3) {
        throwInvalidArgument(QStringLiteral("SAM3 display ranges require three minimums and maximums."));
    }
    for (qsizetype c = 0; c < 3; ++c) {
        const double minimum = options.minimums.at(c);
        const double maximum = options.maximums.at(c);
        if (!std::isfinite(minimum) || !std::isfinite(maximum) || !(maximum > minimum) ||
            !std::isfinite(maximum - minimum)) {
            throwInvalidArgument(QStringLiteral("Invalid SAM3 display range."));
        }
        ranges[static_cast<size_t>(c)] = DisplayRange{minimum, maximum - minimum};
    }
    return ranges;
}

std::array<int, 3> mappedBands(GDALDatasetH dataset, const AiSamRasterOptions& options) {
    std::array<int, 3> bands{};
    if (options.bands.isEmpty()) {
        const std::array<GDALColorInterp, 3> tags{GCI_RedBand, GCI_GreenBand, GCI_BlueBand};
        const int count = GDALGetRasterCount(dataset);
        for (size_t c = 0; c < 3; ++c) {
            for (int b = count; b >= 1; --b) {  // the lowest-numbered band with the tag wins
                if (GDALGetRasterColorInterpretation(GDALGetRasterBand(dataset, b)) == tags[c]) {
                    bands[c] = b;
                }
            }
            if (bands[c] == 0) {
                throwInvalidArgument(
                    QStringLiteral("SAM3 requires RGB color tags or an explicit three-band mapping."));
            }
        }
        return bands;
    }
    if (options.bands.size() != 3) {
        throwInvalidArgument(QStringLiteral("SAM3 requires exactly three RGB band indices."));
    }
    for (size_t c = 0; c < 3; ++c) {
        bands[c] = options.bands.at(static_cast<qsizetype>(c));
    }
    return bands;
}

void checkBand(GDALDatasetH dataset, int band, bool hasRanges) {
    if (band < 1 || band > GDALGetRasterCount(dataset)) {
        throwInvalidArgument(QStringLiteral("SAM3 band index is outside the dataset."));
    }
    const GDALDataType type = GDALGetRasterDataType(GDALGetRasterBand(dataset, band));
    if (GDALDataTypeIsComplex(type) || (type != GDT_Byte && !hasRanges)) {
        throwInvalidArgument(QStringLiteral(
            "Non-uint8 SAM3 input requires explicit display ranges; complex bands are unsupported."));
    }
}

/// Reads the window of a band in strips of 64 rows, as doubles or bytes, handing each strip to `use`.
template <typename Value, typename Use>
void readStrips(GDALRasterBandH band, const AiSamPixelWindow& window, const Budget* budget,
                const QString& failure, std::vector<Value>& strip, Use use) {
    const GDALDataType type = sizeof(Value) == 1 ? GDT_Byte : GDT_Float64;
    strip.resize(static_cast<size_t>(window.width) * StripRows);
    for (int row = 0; row < window.height; row += StripRows) {
        if (budget) {
            budget->check();
        }
        const int rows = std::min(StripRows, window.height - row);
        if (GDALRasterIO(band, GF_Read, window.x, window.y + row, window.width, rows, strip.data(),
                         window.width, rows, type, 0, 0) != CE_None) {
            throwInvalidArgument(failure);
        }
        use(row, rows);
    }
}

/// Without display ranges every band is 8-bit and a byte is its own value: the three bands are read straight
/// into the interleaved image, 64 rows at a time, with no conversion.
void readByteStrips(GDALDatasetH dataset, const std::array<int, 3>& bands, const AiSamPixelWindow& window,
                    const Budget* budget, std::uint8_t* rgb) {
    const GSpacing line = static_cast<GSpacing>(window.width) * 3;
    std::array<int, 3> map = bands;  // GDAL's signature takes a mutable map
    for (int row = 0; row < window.height; row += StripRows) {
        if (budget) {
            budget->check();
        }
        const int rows = std::min(StripRows, window.height - row);
        if (GDALDatasetRasterIOEx(dataset, GF_Read, window.x, window.y + row, window.width, rows,
                                  rgb + static_cast<GSpacing>(row) * line, window.width, rows, GDT_Byte, 3,
                                  map.data(), 3, line, 1, nullptr) != CE_None) {
            throwInvalidArgument(QStringLiteral("SAM3 raster read failed."));
        }
    }
}

std::uint8_t toByte(double value, const std::optional<DisplayRange>& range) {
    double t = value;
    if (range) {
        t = std::clamp((value - range->minimum) / range->span, 0.0, 1.0) * 255.0;
    }
    return static_cast<std::uint8_t>(std::clamp(std::floor(t + 0.5), 0.0, 255.0));
}

}  // namespace

AiSamPixelWindow resolveWindow(const AiSamRasterOptions& options, int rasterWidth, int rasterHeight) {
    const AiSamPixelWindow window =
        options.hasWindow ? options.window : AiSamPixelWindow{0, 0, 0, 0, rasterWidth, rasterHeight};
    if (window.x < 0 || window.y < 0 || window.width <= 0 || window.height <= 0 ||
        static_cast<std::int64_t>(window.x) + window.width > rasterWidth ||
        static_cast<std::int64_t>(window.y) + window.height > rasterHeight) {
        throwInvalidArgument(QStringLiteral("SAM3 window is outside the raster."));
    }
    return window;
}

Prepared prepareWindow(const QString& rasterPath, std::int64_t pixelLimit, const AiSamRasterOptions& options,
                       const Budget* budget, std::int64_t extraBytesA, std::int64_t extraBytesB) {
    if (budget) {
        budget->check();
    }
    const std::array<std::optional<DisplayRange>, 3> ranges = checkOptions(options);
    const Gdal::Dataset dataset = Gdal::open(rasterPath, GDAL_OF_RASTER | GDAL_OF_READONLY);
    if (!dataset) {
        throwInvalidArgument(QStringLiteral("Cannot open SAM3 raster."));
    }
    const AiSamPixelWindow window =
        resolveWindow(options, GDALGetRasterXSize(dataset.get()), GDALGetRasterYSize(dataset.get()));
    const std::int64_t width = window.width;
    const std::int64_t height = window.height;
    if (width > MaximumSide || height > MaximumSide || width * height > pixelLimit) {
        throwInvalidArgument(
            QStringLiteral("Raster exceeds the SAM3 interactive pixel limit; use a smaller window."));
    }
    Prepared prepared;
    prepared.workingBytes = 17 * width * height + 3024 * height + extraBytesA + extraBytesB + PixelValueBytes;
    if (budget && prepared.workingBytes > budget->maximumHostBytes()) {
        throwInvalidArgument(QStringLiteral("SAM3 window exceeds the host working-buffer budget."));
    }
    const std::array<int, 3> bands = mappedBands(dataset.get(), options);
    for (const int band : bands) {
        checkBand(dataset.get(), band, ranges[0].has_value());
    }

    prepared.width = window.width;
    prepared.height = window.height;
    prepared.window = window;
    const size_t pixels = static_cast<size_t>(width * height);
    // Huge pages: a 4096 x 4096 window is 64 MiB of fresh memory, which would otherwise cost more page
    // faults than the read itself.
    prepared.rgb = hugePageByteArray(static_cast<qsizetype>(pixels * 3));
    prepared.validity = hugePageByteArray(static_cast<qsizetype>(pixels));
    std::memset(prepared.validity.data(), 1, pixels);
    auto* rgb = reinterpret_cast<std::uint8_t*>(prepared.rgb.data());
    auto* valid = reinterpret_cast<std::uint8_t*>(prepared.validity.data());

    std::vector<double> values;
    std::vector<std::uint8_t> maskBytes;
    if (!ranges[0]) {
        readByteStrips(dataset.get(), bands, window, budget, rgb);
    }
    for (size_t c = 0; c < 3; ++c) {
        GDALRasterBandH band = GDALGetRasterBand(dataset.get(), bands[c]);
        if (ranges[0]) {
            readStrips(band, window, budget, QStringLiteral("SAM3 raster read failed."), values,
                       [&](int row, int rows) {
                           const size_t first = static_cast<size_t>(row) * static_cast<size_t>(width);
                           const size_t count = static_cast<size_t>(rows) * static_cast<size_t>(width);
                           for (size_t i = 0; i < count; ++i) {
                               const double value = values[i];
                               if (!std::isfinite(value)) {
                                   valid[first + i] = 0;
                                   rgb[(first + i) * 3 + c] = 0;
                               } else {
                                   rgb[(first + i) * 3 + c] = toByte(value, ranges[c]);
                               }
                           }
                       });
        }
        if ((GDALGetMaskFlags(band) & (GMF_ALL_VALID | GMF_ALPHA)) != 0) {
            continue;
        }
        GDALRasterBandH mask = GDALGetMaskBand(band);
        if (!mask) {
            throwInvalidArgument(QStringLiteral("Missing SAM3 validity mask."));
        }
        readStrips(mask, window, budget, QStringLiteral("SAM3 validity read failed."), maskBytes,
                   [&](int row, int rows) {
                       const size_t first = static_cast<size_t>(row) * static_cast<size_t>(width);
                       const size_t count = static_cast<size_t>(rows) * static_cast<size_t>(width);
                       for (size_t i = 0; i < count; ++i) {
                           if (maskBytes[i] == 0) {
                               valid[first + i] = 0;
                           }
                       }
                   });
    }
    for (int b = 1; b <= GDALGetRasterCount(dataset.get()); ++b) {
        GDALRasterBandH band = GDALGetRasterBand(dataset.get(), b);
        if (GDALGetRasterColorInterpretation(band) != GCI_AlphaBand) {
            continue;
        }
        readStrips(band, window, budget, QStringLiteral("SAM3 alpha read failed."), values,
                   [&](int row, int rows) {
                       const size_t first = static_cast<size_t>(row) * static_cast<size_t>(width);
                       const size_t count = static_cast<size_t>(rows) * static_cast<size_t>(width);
                       for (size_t i = 0; i < count; ++i) {
                           if (!(values[i] > 0.0)) {  // also NaN
                               valid[first + i] = 0;
                           }
                       }
                   });
    }
    const auto fill = static_cast<std::uint8_t>(options.invalidPixelFill);
    for (std::int64_t row = 0; row < height; ++row) {
        if (budget && row % StripRows == 0) {
            budget->check();
        }
        const std::uint8_t* rowValidity = valid + row * width;
        const auto rowValid = static_cast<std::int64_t>(std::count(rowValidity, rowValidity + width, 1));
        prepared.validPixelCount += rowValid;
        if (rowValid == width) {
            continue;
        }
        for (std::int64_t i = row * width; i < (row + 1) * width; ++i) {
            if (!valid[i]) {
                rgb[i * 3] = rgb[i * 3 + 1] = rgb[i * 3 + 2] = fill;
            }
        }
    }
    std::array<double, 6> transform{};
    if (GDALGetGeoTransform(dataset.get(), transform.data()) == CE_None) {
        prepared.geoTransform.assign(transform.begin(), transform.end());
        prepared.geoTransform[0] = transform[0] + window.x * transform[1] + window.y * transform[2];
        prepared.geoTransform[3] = transform[3] + window.x * transform[4] + window.y * transform[5];
    }
    prepared.projectionWkt = QString::fromUtf8(GDALGetProjectionRef(dataset.get()));
    return prepared;
}

}  // namespace Tarnivale::AI::SamRaster
