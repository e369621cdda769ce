#pragma once

// What every SAM3 run does to a raster window: the run budget (cancellation, deadline, host memory), the
// 8-bit RGB image with its validity mask, the encoder's 1008 x 1008 "pixel_values" and the 288 x 288 grid
// that blanks mask cells over invalid pixels.

#include <tarnivale/ai/sam3.h>

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace Tarnivale::AI::SamRaster {

inline constexpr int EncoderSide = 1008;
inline constexpr int GridSide = 288;
inline constexpr std::int64_t PixelValueBytes = 3LL * EncoderSide * EncoderSide * 4;  // 12 192 768

/// One run's limits. The cancellation callable (may be empty) returns true when the run must stop.
class Budget {
public:
    /// Starts the clock; "Invalid SAM3 execution budget." for a negative deadline or a host budget below 1.
    explicit Budget(const AiSamExecutionOptions& options, std::function<bool()> cancellationRequested = {});

    /// Throws AiInferenceInterrupted: Cancelled when the callable says so, else DeadlineExceeded once the
    /// deadline has passed.
    void check() const;
    /// Checks, then a run control whose callable runs the same check (it lives as long as this budget).
    AiRunControl runControl() const;
    std::int64_t maximumHostBytes() const { return m_options.maximumHostBytes; }

private:
    AiSamExecutionOptions m_options;
    std::chrono::steady_clock::time_point m_start;
    std::function<bool()> m_cancellationRequested;
};

/// A prepared window: interleaved RGB bytes and one validity byte per pixel.
struct Prepared {
    int width = 0;
    int height = 0;
    QByteArray rgb;
    QByteArray validity;
    std::vector<double> geoTransform;  ///< empty when the dataset has none
    QString projectionWkt;
    AiSamPixelWindow window;
    std::int64_t validPixelCount = 0;
    std::int64_t workingBytes = 0;
};

/// The options' window, or the whole raster; "SAM3 window is outside the raster." when it does not fit.
AiSamPixelWindow resolveWindow(const AiSamRasterOptions& options, int rasterWidth, int rasterHeight);

/// Reads the window as RGB bytes with validity; `budget` may be null. The two extra byte counts are added to
/// the window's working-memory estimate (the caller's cache and its own buffers).
Prepared prepareWindow(const QString& rasterPath, std::int64_t pixelLimit, const AiSamRasterOptions& options,
                       const Budget* budget, std::int64_t extraBytesA, std::int64_t extraBytesB);

/// The Float32 [1, 3, 1008, 1008] "pixel_values" data: the fixed-point antialiased resize of the window.
QByteArray pixelValues(const Prepared& prepared, const Budget* budget);

/// 288 x 288 bytes, 1 where every pixel a cell covers is valid.
QByteArray validityGrid(const Prepared& prepared, const Budget* budget);

}  // namespace Tarnivale::AI::SamRaster
