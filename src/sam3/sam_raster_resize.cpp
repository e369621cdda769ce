#include "sam3/sam_raster.h"

#include "runtime/errors.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Tarnivale::AI::SamRaster {

namespace {

constexpr int CheckRows = 32;

/// One axis of the antialiased triangle resample in fixed point: for every output index its first input
/// index and its integer weights (each below 2^15, so two of them fit one 32-bit multiply-add).
struct Filter {
    std::vector<int> first;
    std::vector<int> count;
    int taps = 0;  // the widest output's number of weights; rows of `weights` are this long
    std::vector<std::int16_t> weights;
    int precision = 0;
};

Filter buildFilter(int inputLength) {
    const double scale = static_cast<double>(inputLength) / EncoderSide;
    const double support = std::max(1.0, scale);
    Filter filter;
    filter.taps = static_cast<int>(std::ceil(support)) * 2 + 1;
    filter.first.resize(EncoderSide);
    filter.count.resize(EncoderSide);
    std::vector<double> normalised(static_cast<size_t>(EncoderSide) * static_cast<size_t>(filter.taps), 0.0);
    double largest = 0.0;
    for (int i = 0; i < EncoderSide; ++i) {
        const double centre = (i + 0.5) * scale;
        const int first = std::max(0, static_cast<int>(centre - support + 0.5));
        const int last = std::min(inputLength, static_cast<int>(centre + support + 0.5));
        double* weights = normalised.data() + static_cast<size_t>(i) * static_cast<size_t>(filter.taps);
        double sum = 0.0;
        const int count = std::min(std::max(0, last - first), filter.taps);
        for (int k = 0; k < count; ++k) {
            weights[k] = std::max(0.0, 1.0 - std::fabs((first + k - centre + 0.5) / support));
            sum += weights[k];
        }
        if (!(sum > 0.0)) {
            throwInvalidArgument(QStringLiteral("Invalid SAM3 resize filter."));
        }
        for (int k = 0; k < count; ++k) {
            weights[k] /= sum;
            largest = std::max(largest, weights[k]);
        }
        filter.first[static_cast<size_t>(i)] = first;
        filter.count[static_cast<size_t>(i)] = count;
    }
    for (int p = 22; p >= 1; --p) {
        if (static_cast<std::int64_t>(std::ldexp(largest, p) + 0.5) < 32768) {
            filter.precision = p;
            break;
        }
    }
    if (filter.precision == 0) {
        throwInvalidArgument(QStringLiteral("Invalid resize precision."));
    }
    filter.weights.resize(normalised.size());
    for (size_t k = 0; k < normalised.size(); ++k) {
        filter.weights[k] = static_cast<std::int16_t>(std::ldexp(normalised[k], filter.precision) + 0.5);
    }
    return filter;
}

/// One source row, RGBX (four bytes per pixel), to 1008 RGBX pixels.
void horizontalRow(const std::uint8_t* source, std::uint8_t* target, const Filter& filter) {
    const int rounding = 1 << (filter.precision - 1);
    for (int i = 0; i < EncoderSide; ++i) {
        const std::uint8_t* pixels = source + static_cast<size_t>(filter.first[static_cast<size_t>(i)]) * 4;
        const std::int16_t* weights =
            filter.weights.data() + static_cast<size_t>(i) * static_cast<size_t>(filter.taps);
        const int count = filter.count[static_cast<size_t>(i)];
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128();
        __m128i sum = _mm_set1_epi32(rounding);
        int k = 0;
        for (; k + 1 < count; k += 2) {
            // Two pixels R0 G0 B0 X0 R1 G1 B1 X1 widened and paired per channel: R0 R1 G0 G1 B0 B1 X0 X1.
            std::int64_t two = 0;
            std::memcpy(&two, pixels + k * 4, 8);
            const __m128i wide = _mm_unpacklo_epi8(_mm_cvtsi64_si128(two), zero);
            const __m128i paired = _mm_unpacklo_epi16(wide, _mm_srli_si128(wide, 8));
            const int pair =
                static_cast<std::uint16_t>(weights[k]) | (static_cast<int>(weights[k + 1]) << 16);
            sum = _mm_add_epi32(sum, _mm_madd_epi16(paired, _mm_set1_epi32(pair)));
        }
        if (k < count) {
            std::int32_t one = 0;
            std::memcpy(&one, pixels + k * 4, 4);
            const __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(one), zero), zero);
            sum = _mm_add_epi32(sum,
                                _mm_madd_epi16(wide, _mm_set1_epi32(static_cast<std::uint16_t>(weights[k]))));
        }
        const __m128i shifted = _mm_srai_epi32(sum, filter.precision);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(shifted, shifted), zero);
        const std::int32_t packed = _mm_cvtsi128_si32(bytes);
        std::memcpy(target + static_cast<size_t>(i) * 4, &packed, 4);
#else
        for (int c = 0; c < 4; ++c) {
            int sum = rounding;
            for (int k = 0; k < count; ++k) {
                sum += pixels[k * 4 + c] * weights[k];
            }
            target[static_cast<size_t>(i) * 4 + static_cast<size_t>(c)] =
                static_cast<std::uint8_t>(std::clamp(sum >> filter.precision, 0, 255));
        }
#endif
    }
}

/// One output row from the weighted intermediate rows (RGBX, 1008 pixels each).
void verticalRow(const std::uint8_t* intermediate, std::uint8_t* target, const Filter& filter, int i) {
    constexpr int RowBytes = EncoderSide * 4;
    const int rounding = 1 << (filter.precision - 1);
    const std::uint8_t* rows =
        intermediate + static_cast<size_t>(filter.first[static_cast<size_t>(i)]) * RowBytes;
    const std::int16_t* weights =
        filter.weights.data() + static_cast<size_t>(i) * static_cast<size_t>(filter.taps);
    const int count = filter.count[static_cast<size_t>(i)];
    int column = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; column + 8 <= RowBytes; column += 8) {
        __m128i low = _mm_set1_epi32(rounding);
        __m128i high = low;
        int k = 0;
        for (; k + 1 < count; k += 2) {
            const __m128i a = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(
                                                    rows + static_cast<size_t>(k) * RowBytes + column)),
                                                zero);
            const __m128i b = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(
                                                    rows + static_cast<size_t>(k + 1) * RowBytes + column)),
                                                zero);
            const __m128i pair = _mm_set1_epi32(static_cast<std::uint16_t>(weights[k]) |
                                                (static_cast<int>(weights[k + 1]) << 16));
            low = _mm_add_epi32(low, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), pair));
            high = _mm_add_epi32(high, _mm_madd_epi16(_mm_unpackhi_epi16(a, b), pair));
        }
        if (k < count) {
            const __m128i a = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(
                                                    rows + static_cast<size_t>(k) * RowBytes + column)),
                                                zero);
            const __m128i single = _mm_set1_epi32(static_cast<std::uint16_t>(weights[k]));
            low = _mm_add_epi32(low, _mm_madd_epi16(_mm_unpacklo_epi16(a, zero), single));
            high = _mm_add_epi32(high, _mm_madd_epi16(_mm_unpackhi_epi16(a, zero), single));
        }
        const __m128i words =
            _mm_packs_epi32(_mm_srai_epi32(low, filter.precision), _mm_srai_epi32(high, filter.precision));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(target + column), _mm_packus_epi16(words, zero));
    }
#endif
    for (; column < RowBytes; ++column) {
        int sum = rounding;
        for (int k = 0; k < count; ++k) {
            sum += rows[static_cast<size_t>(k) * RowBytes + static_cast<size_t>(column)] * weights[k];
        }
        target[column] = static_cast<std::uint8_t>(std::clamp(sum >> filter.precision, 0, 255));
    }
}

}  // namespace

QByteArray pixelValues(const Prepared& prepared, const Budget* budget) {
    const Filter horizontal = buildFilter(prepared.width);
    const Filter vertical = buildFilter(prepared.height);
    constexpr size_t RowBytes = static_cast<size_t>(EncoderSide) * 4;
    const auto* rgb = reinterpret_cast<const std::uint8_t*>(prepared.rgb.constData());

    std::vector<std::uint8_t> intermediate(static_cast<size_t>(prepared.height) * RowBytes);
    std::vector<std::uint8_t> sourceRow(static_cast<size_t>(prepared.width) * 4, 0);
    for (int row = 0; row < prepared.height; ++row) {
        if (budget && row % CheckRows == 0) {
            budget->check();
        }
        const std::uint8_t* in = rgb + static_cast<size_t>(row) * static_cast<size_t>(prepared.width) * 3;
        for (int x = 0; x < prepared.width; ++x) {
            std::memcpy(sourceRow.data() + static_cast<size_t>(x) * 4, in + static_cast<size_t>(x) * 3, 3);
        }
        horizontalRow(sourceRow.data(), intermediate.data() + static_cast<size_t>(row) * RowBytes,
                      horizontal);
    }

    QByteArray values(PixelValueBytes, Qt::Uninitialized);
    auto* planes = reinterpret_cast<float*>(values.data());
    constexpr size_t Plane = static_cast<size_t>(EncoderSide) * EncoderSide;
    std::vector<std::uint8_t> outputRow(RowBytes);
    for (int row = 0; row < EncoderSide; ++row) {
        if (budget && row % CheckRows == 0) {
            budget->check();
        }
        verticalRow(intermediate.data(), outputRow.data(), vertical, row);
        for (size_t x = 0; x < static_cast<size_t>(EncoderSide); ++x) {
            for (size_t c = 0; c < 3; ++c) {
                planes[c * Plane + static_cast<size_t>(row) * EncoderSide + x] =
                    (static_cast<float>(outputRow[x * 4 + c]) / 255.0F - 0.5F) * 2.0F;
            }
        }
    }
    return values;
}

QByteArray validityGrid(const Prepared& prepared, const Budget* budget) {
    QByteArray grid(GridSide * GridSide, 1);
    if (prepared.validPixelCount == static_cast<std::int64_t>(prepared.width) * prepared.height) {
        return grid;
    }
    const auto* valid = reinterpret_cast<const std::uint8_t*>(prepared.validity.constData());
    const std::int64_t width = prepared.width;
    const std::int64_t height = prepared.height;
    for (std::int64_t r = 0; r < GridSide; ++r) {
        if (budget && r % CheckRows == 0) {
            budget->check();
        }
        const std::int64_t rowFirst = r * height / GridSide;
        const std::int64_t rowLast = ((r + 1) * height + GridSide - 1) / GridSide;  // exclusive
        for (std::int64_t c = 0; c < GridSide; ++c) {
            const std::int64_t columnFirst = c * width / GridSide;
            const std::int64_t columnLast = ((c + 1) * width + GridSide - 1) / GridSide;
            bool allValid = true;
            for (std::int64_t y = rowFirst; y < rowLast && allValid; ++y) {
                for (std::int64_t x = columnFirst; x < columnLast; ++x) {
                    if (valid[y * width + x] == 0) {
                        allValid = false;
                        break;
                    }
                }
            }
            grid[static_cast<qsizetype>(r * GridSide + c)] = allValid ? 1 : 0;
        }
    }
    return grid;
}

}  // namespace Tarnivale::AI::SamRaster
