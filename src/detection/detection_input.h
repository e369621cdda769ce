#pragma once

// The model input of a detection package (its raster adapter, tensor, layout and size) and the reader that
// fills that tensor from a window of a GDAL raster: shared by the one-shot run and sliced detection.

#include <tarnivale/ai/detection.h>

#include <gdal.h>

#include <array>
#include <cstdint>
#include <vector>

namespace Tarnivale::AI {

struct DetectionModelInput {
    AiInputAdapterSpec adapter;  ///< the first adapter whose source is "raster"
    AiTensorSpec tensor;         ///< the declared input it feeds
    bool nhwc = false;
    std::int32_t channels = 0;
    std::int32_t height = 0;
    std::int32_t width = 0;
    QString resizeMode;  ///< trimmed, lower-cased: "" / "none", "stretch" or "bilinear"
    bool resamples() const {
        return resizeMode == QLatin1String("stretch") || resizeMode == QLatin1String("bilinear");
    }
};

/// Finds the raster adapter and its input and checks layout, sizes, band count and resize mode, each with
/// its own message, in that order.
DetectionModelInput detectionModelInput(const AiModelManifest& manifest);

/// Reads raster windows into the model's input tensor, reused from window to window.
class DetectionTensorReader {
public:
    DetectionTensorReader(GDALDatasetH dataset, const DetectionModelInput& input,
                          const AiNormalization& normalization);

    /// Reads the raster window (x, y, width × height) of every adapter band at bufferWidth × bufferHeight
    /// (bilinear when the sizes differ, else plain reads) into the top-left of the tensor, normalised; the
    /// rest of the tensor is zero.
    const QList<AiTensor>& read(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                                std::int32_t bufferWidth, std::int32_t bufferHeight);

private:
    bool readBytes(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height);

    GDALDatasetH m_dataset;
    const DetectionModelInput& m_input;
    AiNormalization m_normalization;
    QList<AiTensor> m_inputs;
    /// For 8-bit bands with valid bands and deviations: each channel's 256 normalised values and the window's
    /// bytes, so that a plain read is one dataset read and a table look-up per sample.
    std::vector<std::array<float, 256>> m_byteValues;
    std::vector<std::uint8_t> m_bytes;
};

}  // namespace Tarnivale::AI
