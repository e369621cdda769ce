#include "prompt/prompt_mask.h"

#include "runtime/huge_pages.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

namespace Tarnivale::AI {

namespace {

/// floor(min) .. ceil(max) of two box coordinates, each clamped to 0 .. size - 1; none for NaN.
std::optional<std::pair<int, int>> boxSpan(double a, double b, std::int32_t size) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::nullopt;
    }
    const double last = size - 1.0;
    const double low = std::clamp(std::floor(std::min(a, b)), 0.0, last);
    const double high = std::clamp(std::ceil(std::max(a, b)), 0.0, last);
    return std::pair{static_cast<int>(low), static_cast<int>(high)};
}

/// centre - radius .. centre + radius clipped to 0 .. size - 1; none when nothing is left or the centre is
/// NaN. Kept in double, so a click far outside cannot overflow.
std::optional<std::pair<int, int>> discSpan(double centre, std::int32_t radius, std::int32_t size) {
    const double low = std::max(centre - radius, 0.0);
    const double high = std::min(centre + radius, size - 1.0);
    if (!(low <= high)) {
        return std::nullopt;
    }
    return std::pair{static_cast<int>(low), static_cast<int>(high)};
}

}  // namespace

PromptMask::PromptMask(std::int32_t width, std::int32_t height)
    : m_width(width),
      m_height(height),
      m_bytes(hugePageByteArray(static_cast<qsizetype>(width) * height * qsizetype{sizeof(std::int32_t)})) {}

void PromptMask::ensureWritten() {
    if (!m_written) {
        std::memset(m_bytes.data(), 0, static_cast<std::size_t>(m_bytes.size()));
        m_selected = 0;
        m_written = true;
    }
}

void PromptMask::fillBox(const AiPromptBox& box) {
    ensureWritten();
    const auto columns = boxSpan(box.x0, box.x1, m_width);
    const auto rows = boxSpan(box.y0, box.y1, m_height);
    if (!columns || !rows) {
        return;
    }
    for (int row = rows->first; row <= rows->second; ++row) {
        std::int32_t* line = pixels() + static_cast<std::int64_t>(row) * m_width;
        for (int column = columns->first; column <= columns->second; ++column) {
            m_selected += 1 - line[column];
            line[column] = 1;
        }
    }
}

void PromptMask::paintDisc(const AiPromptPoint& click, std::int32_t radius) {
    ensureWritten();
    // std::round takes halves away from zero.
    const double cx = std::round(click.x);
    const double cy = std::round(click.y);
    const auto columns = discSpan(cx, radius, m_width);
    const auto rows = discSpan(cy, radius, m_height);
    if (!columns || !rows) {
        return;
    }
    // Both spans are non-empty, so the centre lies within a radius of the raster: it fits in 64 bits, and
    // so do the squared distances (at most 2 * (2^31 - 1)^2).
    const auto centreX = static_cast<std::int64_t>(cx);
    const auto centreY = static_cast<std::int64_t>(cy);
    const std::int64_t radiusSquared = static_cast<std::int64_t>(radius) * radius;
    const std::int32_t paint = click.positive != 0 ? 1 : 0;
    for (int row = rows->first; row <= rows->second; ++row) {
        const std::int64_t dy = row - centreY;
        const std::int64_t reach = radiusSquared - dy * dy;
        std::int32_t* line = pixels() + static_cast<std::int64_t>(row) * m_width;
        for (int column = columns->first; column <= columns->second; ++column) {
            const std::int64_t dx = column - centreX;
            const std::int32_t before = line[column];
            const std::int32_t after = dx * dx <= reach ? paint : before;
            m_selected += after - before;
            line[column] = after;
        }
    }
}

QByteArray PromptMask::takeBytes() {
    ensureWritten();
    return std::exchange(m_bytes, QByteArray());
}

}  // namespace Tarnivale::AI
