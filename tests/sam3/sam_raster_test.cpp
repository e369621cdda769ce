// Raster preparation for SAM3: the run budget, every refusal in its order, pixel conversion and validity on
// real GeoTIFFs, the 288 x 288 validity grid, and the fixed-point resize against golden bytes computed by an
// independent implementation of the same formula (tests/fixtures/make_models.py).

#include "sam3/sam_raster.h"

#include "support/expectations.h"
#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <cmath>
#include <limits>
#include <thread>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::SamRaster;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

TestRasterSpec rgb(int width = 16, int height = 16, GDALDataType type = GDT_Byte) {
    TestRasterSpec spec;
    spec.width = width;
    spec.height = height;
    spec.bands = 3;
    spec.dataType = type;
    spec.colorInterpretations = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand};
    spec.value = [](int band, int x, int y) { return band * 50 + (x + y) % 7; };
    return spec;
}

AiSamRasterOptions window(int x, int y, int width, int height) {
    AiSamRasterOptions options;
    options.hasWindow = true;
    options.window = {0, 0, x, y, width, height};
    return options;
}

AiSamRasterOptions ranges(double minimum, double maximum) {
    AiSamRasterOptions options;
    options.minimums = {minimum, minimum, minimum};
    options.maximums = {maximum, maximum, maximum};
    return options;
}

std::vector<std::uint8_t> bytes(const QByteArray& data) {
    return {data.begin(), data.end()};
}

}  // namespace

TEST(SamRaster, BudgetChecksCancellationThenDeadline) {
    for (const AiSamExecutionOptions& bad : {AiSamExecutionOptions{-1, 1}, AiSamExecutionOptions{0, 0}}) {
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { Budget budget(bad); }),
                  "Invalid SAM3 execution budget.");
    }
    EXPECT_FALSE(Budget(AiSamExecutionOptions{}).runControl().cancellationRequested);
    const auto reason = [](const Budget& budget) {
        try {
            budget.check();
        } catch (const AiInferenceInterrupted& stop) {
            return static_cast<int>(stop.reason());
        }
        return -1;
    };
    bool cancel = false;
    const Budget budget(AiSamExecutionOptions{1, 1}, [&] { return cancel; });
    const Budget unbounded(AiSamExecutionOptions{}, [&] { return cancel; });
    const AiRunControl control = unbounded.runControl();
    ASSERT_TRUE(control.cancellationRequested);
    EXPECT_FALSE(control.cancellationRequested());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the deadline has passed, whatever the load
    EXPECT_EQ(reason(budget), static_cast<int>(AiInferenceStopReason::DeadlineExceeded));
    EXPECT_EQ(reason(unbounded), -1);
    cancel = true;  // both have happened: cancellation is reported first
    EXPECT_EQ(reason(budget), static_cast<int>(AiInferenceStopReason::Cancelled));
    EXPECT_THROW(control.cancellationRequested(), AiInferenceInterrupted);
}

TEST(SamRaster, WindowRefusalsInTheirOrder) {
    QTemporaryDir dir;
    const QString tagged = dir.filePath(u"rgb.tif"_s);
    writeTestRaster(tagged, rgb());
    TestRasterSpec untaggedSpec =
        rgb(16, 16, GDT_Float32);  // three Byte bands would be tagged RGB by GeoTIFF
    untaggedSpec.colorInterpretations.clear();
    const QString untagged = dir.filePath(u"untagged.tif"_s);
    writeTestRaster(untagged, untaggedSpec);
    const QString wide = dir.filePath(u"wide.tif"_s);
    writeTestRaster(wide, rgb(32769, 1));
    const QString sixteen = dir.filePath(u"uint16.tif"_s);
    writeTestRaster(sixteen, rgb(16, 16, GDT_UInt16));
    const QString complex = dir.filePath(u"complex.tif"_s);
    writeTestRaster(complex, rgb(16, 16, GDT_CFloat32));

    AiSamRasterOptions fill;
    fill.invalidPixelFill = -1;
    AiSamRasterOptions fillHigh;
    fillHigh.invalidPixelFill = 256;
    AiSamRasterOptions fraction;
    fraction.minimumValidFraction = NaN;
    AiSamRasterOptions fractionHigh;
    fractionHigh.minimumValidFraction = 1.5;
    AiSamRasterOptions halfRanges;
    halfRanges.minimums = {0, 0, 0};
    AiSamRasterOptions twoBands;
    twoBands.bands = {1, 2};
    AiSamRasterOptions bandFour;
    bandFour.bands = {1, 2, 4};
    AiSamRasterOptions bandZero;
    bandZero.bands = {0, 1, 2};

    struct Row {
        QString path;
        AiSamRasterOptions options;
        std::int64_t pixelLimit;
        std::int64_t hostBytes;
        const char* message;
    };
    const std::int64_t big = std::int64_t{1} << 40;
    const std::vector<Row> rows{
        {u"missing.tif"_s, fill, big, big, "SAM3 invalid pixel fill must be 0..255."},
        {tagged, fillHigh, big, big, "SAM3 invalid pixel fill must be 0..255."},
        {tagged, fraction, big, big, "Invalid SAM3 valid-pixel fraction."},
        {tagged, fractionHigh, big, big, "Invalid SAM3 valid-pixel fraction."},
        {tagged, halfRanges, big, big, "SAM3 display ranges require three minimums and maximums."},
        {tagged, ranges(5, 5), big, big, "Invalid SAM3 display range."},
        {tagged, ranges(-std::numeric_limits<double>::infinity(), 5), big, big,
         "Invalid SAM3 display range."},
        {tagged, ranges(-1.7e308, 1.7e308), big, big, "Invalid SAM3 display range."},
        {dir.filePath(u"missing.tif"_s), {}, big, big, "Cannot open SAM3 raster."},
        {tagged, window(-1, 0, 4, 4), big, big, "SAM3 window is outside the raster."},
        {tagged, window(0, 0, 0, 4), big, big, "SAM3 window is outside the raster."},
        {tagged, window(13, 0, 4, 4), big, big, "SAM3 window is outside the raster."},
        {tagged, window(0, 13, 4, 4), big, big, "SAM3 window is outside the raster."},
        {tagged, {}, 255, big, "Raster exceeds the SAM3 interactive pixel limit; use a smaller window."},
        {wide, {}, big, big, "Raster exceeds the SAM3 interactive pixel limit; use a smaller window."},
        {tagged,
         {},
         big,
         12192768 + 17 * 256 + 3024 * 16 + 1,
         "SAM3 window exceeds the host working-buffer budget."},
        {untagged, {}, big, big, "SAM3 requires RGB color tags or an explicit three-band mapping."},
        {untagged, twoBands, big, big, "SAM3 requires exactly three RGB band indices."},
        {tagged, bandFour, big, big, "SAM3 band index is outside the dataset."},
        {tagged, bandZero, big, big, "SAM3 band index is outside the dataset."},
        {sixteen,
         {},
         big,
         big,
         "Non-uint8 SAM3 input requires explicit display ranges; complex bands are unsupported."},
        {complex, ranges(0, 1), big, big,
         "Non-uint8 SAM3 input requires explicit display ranges; complex bands are unsupported."},
    };
    for (const Row& row : rows) {
        const Budget budget(AiSamExecutionOptions{0, row.hostBytes});
        EXPECT_EQ(errorOf<std::invalid_argument>(
                      [&] { prepareWindow(row.path, row.pixelLimit, row.options, &budget, 1, 1); }),
                  row.message)
            << row.path.toStdString();
    }
    // One byte more of budget is enough; width 32 768 is within the side limit.
    const Budget exact(AiSamExecutionOptions{0, 12192768 + 17 * 256 + 3024 * 16 + 3});
    EXPECT_EQ(prepareWindow(tagged, 256, {}, &exact, 1, 2).workingBytes, 12192768 + 17 * 256 + 3024 * 16 + 3);
    EXPECT_EQ(prepareWindow(wide, big, window(1, 0, 32768, 1), nullptr, 0, 0).width, 32768);

    // The budget is consulted while strips are read: a cancellation on the third check stops the read.
    int checks = 0;
    const Budget cancelled(AiSamExecutionOptions{}, [&] { return ++checks == 3; });
    EXPECT_THROW(prepareWindow(tagged, big, {}, &cancelled, 0, 0), AiInferenceInterrupted);
    EXPECT_EQ(checks, 3);
}

TEST(SamRaster, PixelsBecomeBytesWithValidity) {
    QTemporaryDir dir;
    // Colour tags on bands 3, 2, 1 map red to band 3 without a band list.
    TestRasterSpec reversed = rgb(8, 4);
    reversed.colorInterpretations = {GCI_BlueBand, GCI_GreenBand, GCI_RedBand};
    reversed.value = [](int band, int, int) { return band * 10.0; };
    writeTestRaster(dir.filePath(u"reversed.tif"_s), reversed);
    Prepared prepared = prepareWindow(dir.filePath(u"reversed.tif"_s), 1000, {}, nullptr, 0, 0);
    EXPECT_EQ(bytes(prepared.rgb.left(3)), (std::vector<std::uint8_t>{30, 20, 10}));
    EXPECT_EQ(prepared.validPixelCount, 32);

    // Display ranges 0..10 000: 5 000 rounds up to 128, values outside clamp; NaN, alpha 0, a mask 0 and the
    // nodata value make a pixel invalid and filled.
    TestRasterSpec floats = rgb(6, 1, GDT_Float32);
    floats.bands = 4;
    floats.colorInterpretations = {GCI_RedBand, GCI_GreenBand, GCI_BlueBand};
    floats.lastBandIsAlpha = true;
    floats.noData = -9999.0;
    floats.value = [](int band, int x, int) {
        if (band == 4) {
            return x == 2 ? 0.0 : 255.0;
        }
        const double values[3] = {5000.0, -3.0, 20000.0};
        return x == 1 && band == 2 ? NaN : x == 3 && band == 1 ? -9999.0 : values[band - 1];
    };
    writeTestRaster(dir.filePath(u"floats.tif"_s), floats);
    AiSamRasterOptions options = ranges(0, 10000);
    options.invalidPixelFill = 7;
    prepared = prepareWindow(dir.filePath(u"floats.tif"_s), 1000, options, nullptr, 0, 0);
    EXPECT_EQ(bytes(prepared.validity), (std::vector<std::uint8_t>{1, 0, 0, 0, 1, 1}));
    EXPECT_EQ(bytes(prepared.rgb),
              (std::vector<std::uint8_t>{128, 0, 255, 7, 7, 7, 7, 7, 7, 7, 7, 7, 128, 0, 255, 128, 0, 255}));
    EXPECT_EQ(prepared.validPixelCount, 3);

    TestRasterSpec masked = rgb(4, 1);
    masked.maskValid = [](int x, int) { return x != 1; };
    writeTestRaster(dir.filePath(u"masked.tif"_s), masked);
    prepared = prepareWindow(dir.filePath(u"masked.tif"_s), 1000, {}, nullptr, 0, 0);
    EXPECT_EQ(bytes(prepared.validity), (std::vector<std::uint8_t>{1, 0, 1, 1}));
    EXPECT_EQ(bytes(prepared.rgb.mid(3, 3)), (std::vector<std::uint8_t>{127, 127, 127}));

    // The geotransform moves to the window's origin; a raster without one gives none.
    writeTestRaster(dir.filePath(u"rgb.tif"_s), rgb());
    prepared = prepareWindow(dir.filePath(u"rgb.tif"_s), 1000, window(4, 2, 3, 5), nullptr, 0, 0);
    EXPECT_EQ(prepared.geoTransform, (std::vector<double>{500040.0, 10.0, 0.0, 4099980.0, 0.0, -10.0}));
    EXPECT_TRUE(prepared.projectionWkt.contains(u"32633"_s));
    EXPECT_EQ(prepared.window.x, 4);
    EXPECT_EQ(prepared.height, 5);
    EXPECT_EQ(prepared.rgb.at(0), char(50 + 6 % 7));  // band 1 at (4, 2)
    TestRasterSpec plain = rgb();
    plain.geoTransform.reset();
    plain.epsg = 0;
    writeTestRaster(dir.filePath(u"plain.tif"_s), plain);
    prepared = prepareWindow(dir.filePath(u"plain.tif"_s), 1000, {}, nullptr, 0, 0);
    EXPECT_TRUE(prepared.geoTransform.empty());
    EXPECT_TRUE(prepared.projectionWkt.isEmpty());
}

TEST(SamRaster, OnePixelFillsTheTensorAndTheGridMarksInvalidCells) {
    Prepared pixel;
    pixel.width = pixel.height = 1;
    pixel.rgb = QByteArray("\x00\xff\x33", 3);
    pixel.validity = QByteArray(1, 1);
    pixel.validPixelCount = 1;
    const std::vector<float> values = valuesOf<float>(pixelValues(pixel, nullptr));
    ASSERT_EQ(values.size(), 3U * 1008 * 1008);
    const float expected[3] = {-1.0F, 1.0F, (51.0F / 255.0F - 0.5F) * 2.0F};
    for (size_t i = 0; i < values.size(); i += 4099) {
        ASSERT_EQ(values[i], expected[i / (1008 * 1008)]) << i;
    }
    EXPECT_EQ(validityGrid(pixel, nullptr), QByteArray(288 * 288, 1));

    // Two source columns per cell: one invalid pixel at (3, 5) blanks cell (5, 1) only.
    Prepared wide;
    wide.width = 576;
    wide.height = 288;
    wide.validity = QByteArray(576 * 288, 1);
    wide.validity[5 * 576 + 3] = 0;
    wide.validPixelCount = 576 * 288 - 1;
    QByteArray grid(288 * 288, 1);
    grid[5 * 288 + 1] = 0;
    EXPECT_EQ(validityGrid(wide, nullptr), grid);
    // Seven rows over 288 cells: a row's cells reach into the next row (ceil), so row 3 blanks cells of two
    // rows.
    Prepared tall;
    tall.width = 1;
    tall.height = 7;
    tall.validity = QByteArray("\1\1\1\0\1\1\1", 7);
    tall.validPixelCount = 6;
    const QByteArray tallGrid = validityGrid(tall, nullptr);
    QList<int> blanked;  // grid rows 123..164 reach source row 3 (worked out by hand from the cell bounds)
    for (int r = 0; r < 288; ++r) {
        if (tallGrid[r * 288 + 100] == 0) {
            blanked.append(r);
        }
    }
    EXPECT_EQ(blanked.size(), 42);
    EXPECT_EQ(blanked.value(0), 123);

    Prepared empty;
    empty.width = 0;
    empty.height = 1;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { pixelValues(empty, nullptr); }),
              "Invalid SAM3 resize filter.");
}

TEST(SamRaster, ResizeMatchesTheIndependentReferenceByteForByte) {
    for (const auto& [width, height] :
         std::vector<std::pair<int, int>>{{1, 1}, {1008, 1008}, {1009, 517}, {4000, 3}}) {
        const QString stem = testModelPath(u"resize-golden/%1x%2"_s.arg(width).arg(height));
        QFile input(stem + u".rgb"_s);
        QFile golden(stem + u".expected"_s);
        ASSERT_TRUE(input.open(QIODevice::ReadOnly) && golden.open(QIODevice::ReadOnly))
            << stem.toStdString();
        Prepared prepared;
        prepared.width = width;
        prepared.height = height;
        prepared.rgb = input.readAll();
        const QByteArray expected = golden.readAll();
        if (width == 1008 && height == 1008) {
            ASSERT_EQ(expected, prepared.rgb);  // one weight of 1 per output reproduces the bytes
        }
        const std::vector<float> values = valuesOf<float>(pixelValues(prepared, nullptr));
        int mismatches = 0;
        for (size_t c = 0; c < 3; ++c) {
            for (size_t i = 0; i < 1008U * 1008U; ++i) {
                const auto byte = static_cast<std::uint8_t>(expected[static_cast<qsizetype>(i * 3 + c)]);
                mismatches +=
                    values[c * 1008 * 1008 + i] != (static_cast<float>(byte) / 255.0F - 0.5F) * 2.0F;
            }
        }
        EXPECT_EQ(mismatches, 0) << width << " x " << height;
    }
}

TEST(SamRaster, ReadFailuresAreReportedByTheirStep) {
    QTemporaryDir dir;
    const QString source = dir.filePath(u"rgb.tif"_s);
    writeTestRaster(source, rgb(4, 4));
    const auto band = [&](int number, const char* colour, const QString& file) {
        return u"<VRTRasterBand dataType=\"Byte\" band=\"%1\"><ColorInterp>%2</ColorInterp><SimpleSource>"
               "<SourceFilename relativeToVRT=\"0\">%3</SourceFilename><SourceBand>1</SourceBand>"
               "<SourceProperties RasterXSize=\"4\" RasterYSize=\"4\" DataType=\"Byte\" BlockXSize=\"4\" "
               "BlockYSize=\"4\"/></SimpleSource></VRTRasterBand>"_s.arg(number)
                   .arg(QString::fromUtf8(colour), file);
    };
    const QString missing = dir.filePath(u"missing.tif"_s);
    const QString colours = band(2, "Green", source) + band(3, "Blue", source);
    const std::pair<QString, const char*> rows[] = {
        {band(1, "Red", missing) + colours, "SAM3 raster read failed."},
        {band(1, "Red", source) + colours + u"<MaskBand>"_s + band(0, "Undefined", missing) +
             u"</MaskBand>"_s,
         "SAM3 validity read failed."},
        {band(1, "Red", source) + colours + band(4, "Alpha", missing), "SAM3 alpha read failed."},
    };
    for (const auto& [bands, message] : rows) {
        const QString vrt = dir.filePath(u"window.vrt"_s);
        writeBytes(
            vrt,
            (u"<VRTDataset rasterXSize=\"4\" rasterYSize=\"4\">"_s + bands + u"</VRTDataset>"_s).toUtf8());
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { prepareWindow(vrt, 100, {}, nullptr, 0, 0); }),
                  message);
    }
}
