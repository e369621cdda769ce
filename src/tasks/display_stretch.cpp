#include "tasks/display_stretch.h"

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace Tarnivale::AI::Tasks {

namespace {

// Below this many samples both order statistics are taken over the whole band.
constexpr std::size_t BandedFrom = 65536;
constexpr std::size_t SampleCount = 8192;

// The sample of the given rank, if it lies among those in [lower, upper]: one pass counts the samples below
// the interval and gathers those inside, and std::nth_element runs on that small part only.
struct Bracket {
    float lower = 0.0f;
    float upper = 0.0f;
    std::size_t below = 0;
    std::vector<float> inside;

    bool holds(std::size_t rank) const { return rank >= below && rank - below < inside.size(); }
    double at(std::size_t rank) {
        std::nth_element(inside.begin(), inside.begin() + static_cast<std::ptrdiff_t>(rank - below),
                         inside.end());
        return inside[rank - below];
    }
};

// Of the samples in ascending order, those at the two ranks, over the whole band.
std::pair<double, double> wholeBand(const float* samples, std::size_t count, std::size_t low,
                                    std::size_t high) {
    std::vector<float> order(samples, samples + count);
    std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(high), order.end());
    const double atHigh = order[high];
    if (low < high) {
        // Everything before the high sample is at most it, so the low one is among them.
        std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(low),
                         order.begin() + static_cast<std::ptrdiff_t>(high));
    }
    return {order[low], atHigh};
}

}  // namespace

DisplayStretch percentileStretch(const float* samples, std::size_t count) {
    const std::size_t lowRank = count * 2 / 100;
    const std::size_t highRank = count * 98 / 100;
    if (count < BandedFrom) {
        const auto [low, high] = wholeBand(samples, count, lowRank, highRank);
        return {low, std::max(high, low + 1.0)};
    }
    // Both ranks lie near the ends: an even sample brackets each (1-3 % and 97-99 %), so that the exact
    // selection only sorts out the few samples between the brackets' bounds.
    std::vector<float> sample(SampleCount);
    for (std::size_t i = 0; i < SampleCount; ++i) {
        sample[i] = samples[i * count / SampleCount];
    }
    const auto quantile = [&sample](std::size_t percent) {
        const auto at = sample.begin() + static_cast<std::ptrdiff_t>(SampleCount * percent / 100);
        std::nth_element(sample.begin(), at, sample.end());
        return *at;
    };
    Bracket low{quantile(1), quantile(3), 0, {}};
    Bracket high{quantile(97), quantile(99), 0, {}};
    low.inside.reserve(count / 25);
    high.inside.reserve(count / 25);
    for (std::size_t i = 0; i < count; ++i) {
        const float v = samples[i];
        low.below += v < low.lower ? 1 : 0;
        high.below += v < high.lower ? 1 : 0;
        if (v >= low.lower && v <= low.upper) {
            low.inside.push_back(v);
        }
        if (v >= high.lower && v <= high.upper) {
            high.inside.push_back(v);
        }
    }
    if (!low.holds(lowRank) || !high.holds(highRank)) {
        const auto [l, h] = wholeBand(samples, count, lowRank, highRank);
        return {l, std::max(h, l + 1.0)};
    }
    const double lowValue = low.at(lowRank);
    return {lowValue, std::max(high.at(highRank), lowValue + 1.0)};
}

std::uint8_t stretchedByte(double value, const DisplayStretch& stretch) {
    const double t = (value - stretch.low) / (stretch.high - stretch.low);
    // Written so that NaN shows black.
    const double clamped = t > 0.0 ? (t < 1.0 ? t : 1.0) : 0.0;
    return static_cast<std::uint8_t>(std::round(clamped * 255.0));
}

void writeStretchedPreview(const QString& path, const PreviewPlanes& planes,
                           const std::array<DisplayStretch, 3>& stretches, const PreviewMessages& messages,
                           const Checkpoint& checkpoint) {
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    // Band-sequential strips: each row goes straight to its bands' strips, which leave the cache as soon
    // as they are complete.
    const char* const options[] = {"INTERLEAVE=BAND", "BLOCKYSIZE=256", "COMPRESS=DEFLATE",
                                   "NUM_THREADS=ALL_CPUS", nullptr};
    Gdal::Dataset preview(driver == nullptr
                              ? nullptr
                              : GDALCreate(driver, path.toUtf8().constData(), planes.width, planes.height, 4,
                                           GDT_Byte, const_cast<char**>(options)));
    if (!preview || planes.geoTransform.size() != 6) {
        throwRuntimeError(messages.create);
    }
    double transform[6];
    std::copy(planes.geoTransform.begin(), planes.geoTransform.end(), transform);
    if (GDALSetGeoTransform(preview.get(), transform) != CE_None ||
        GDALSetProjection(preview.get(), planes.projectionWkt.toUtf8().constData()) != CE_None) {
        throwRuntimeError(messages.create);
    }
    const GDALColorInterp interpretations[4] = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand, GCI_AlphaBand};
    for (int b = 0; b < 4; ++b) {
        if (GDALSetRasterColorInterpretation(GDALGetRasterBand(preview.get(), b + 1), interpretations[b]) !=
            CE_None) {
            throwRuntimeError(messages.interpretation);
        }
    }

    const std::size_t width = static_cast<std::size_t>(planes.width);
    std::vector<std::uint8_t> row(width * 4);
    std::fill(row.begin() + static_cast<std::ptrdiff_t>(width * 3), row.end(), std::uint8_t{255});
    std::vector<int> released;
    for (std::int32_t y = 0; y < planes.height; ++y) {
        checkpoint();
        for (std::size_t b = 0; b < 3; ++b) {
            const float* line = planes.bands[b] + static_cast<std::size_t>(y) * width;
            std::uint8_t* to = row.data() + b * width;
            for (std::size_t x = 0; x < width; ++x) {
                to[x] = stretchedByte(static_cast<double>(line[x]) * planes.scale, stretches[b]);
            }
        }
        if (GDALDatasetRasterIO(preview.get(), GF_Write, 0, y, planes.width, 1, row.data(), planes.width, 1,
                                GDT_Byte, 4, nullptr, 1, planes.width, planes.width) != CE_None) {
            throwRuntimeError(messages.row);
        }
        Gdal::releaseBlockRowsAbove(preview.get(), y + 1, released, true);
    }
    // GDALFlushCache reports failures only through the error state in this GDAL version.
    CPLErrorReset();
    GDALFlushCache(preview.get());
    if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal) {
        throwRuntimeError(messages.row);
    }
}

}  // namespace Tarnivale::AI::Tasks
