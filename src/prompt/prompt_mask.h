#pragma once

// The Int32 mask prompts paint (1 selected, 0 not). Every operation keeps the count of selected pixels up
// to date as it writes, so the confidence needs no pass of its own.

#include <tarnivale/ai/prompt.h>

#include <QByteArray>

#include <cstdint>

namespace Tarnivale::AI {

class PromptMask {
public:
    PromptMask(std::int32_t width, std::int32_t height);

    /// Selects the inclusive pixel rectangle spanned by the box's corners (floored low, ceiled high),
    /// each bound clamped to the raster. A box with a NaN corner selects nothing.
    void fillBox(const AiPromptBox& box);
    /// Selects every pixel i for which selected(i) is true; no pixel is cleared.
    template <typename Predicate>
    void selectWhere(Predicate selected);
    /// Sets (positive) or clears the pixels within `radius` of the click's rounded position.
    void paintDisc(const AiPromptPoint& click, std::int32_t radius);

    std::int64_t selectedPixels() const { return m_selected; }
    std::int64_t pixelCount() const { return static_cast<std::int64_t>(m_width) * m_height; }
    /// The W x H Int32 values, row-major; the mask is empty afterwards.
    QByteArray takeBytes();

private:
    std::int32_t* pixels() { return reinterpret_cast<std::int32_t*>(m_bytes.data()); }
    void ensureWritten();

    std::int32_t m_width;
    std::int32_t m_height;
    QByteArray m_bytes;
    std::int64_t m_selected = 0;
    // The buffer starts unwritten: a whole-raster selection as the first operation writes every pixel
    // anyway, and zeroing hundreds of megabytes first would double its cost.
    bool m_written = false;
};

template <typename Predicate>
void PromptMask::selectWhere(Predicate selected) {
    std::int32_t* values = pixels();
    const std::int64_t count = pixelCount();
    std::int64_t total = 0;
    if (m_written) {
        for (std::int64_t i = 0; i < count; ++i) {
            const std::int32_t value = values[i] | static_cast<std::int32_t>(selected(i));
            values[i] = value;
            total += value;
        }
    } else {
        for (std::int64_t i = 0; i < count; ++i) {
            const auto value = static_cast<std::int32_t>(selected(i));
            values[i] = value;
            total += value;
        }
        m_written = true;
    }
    m_selected = total;
}

}  // namespace Tarnivale::AI
