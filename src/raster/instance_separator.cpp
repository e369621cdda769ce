#include <tarnivale/ai/raster.h>

#include "runtime/errors.h"
#include "runtime/huge_pages.h"

#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <queue>
#include <vector>

namespace Tarnivale::AI {

namespace {

constexpr int Offsets[8][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}, {-1, -1}, {1, -1}, {-1, 1}, {1, 1}};

/// A checked band: its values and the raster size its last two dimensions give.
struct Band {
    const float* values = nullptr;
    std::int64_t width = 0;
    std::int64_t height = 0;
};

Band checkedBand(const AiTensor& tensor, const char* name) {
    if (tensor.dataType != AiTensorDataType::Float32) {
        throwInvalidArgument(QStringLiteral("%1 tensor must use Float32 data.").arg(QLatin1String(name)));
    }
    if (tensor.shape.size() < 2) {
        throwInvalidArgument(
            QStringLiteral("%1 tensor must have at least two dimensions.").arg(QLatin1String(name)));
    }
    Band band{reinterpret_cast<const float*>(tensor.data.constData()), tensor.shape.last(),
              tensor.shape.at(tensor.shape.size() - 2)};
    const std::int64_t count = tensor.elementCount();
    // The labels are indexed in 32 bits (the queue entries carry a 32-bit pixel index).
    if (band.width <= 0 || band.height <= 0 ||
        band.width > std::numeric_limits<std::int32_t>::max() / band.height ||
        count != band.width * band.height || tensor.data.size() != count * 4) {
        throwInvalidArgument(QStringLiteral("%1 tensor must contain one two-dimensional raster band.")
                                 .arg(QLatin1String(name)));
    }
    return band;
}

struct GrowthEntry {
    float priority;
    std::int32_t label;
    std::int32_t pixel;
};
static_assert(sizeof(GrowthEntry) == 12);

// std::priority_queue puts the "largest" first: higher priority, then smaller label, then smaller pixel.
struct GrowthOrder {
    bool operator()(const GrowthEntry& a, const GrowthEntry& b) const {
        if (a.priority != b.priority) {
            return a.priority < b.priority;
        }
        if (a.label != b.label) {
            return a.label > b.label;
        }
        return a.pixel > b.pixel;
    }
};

// Full-raster buffers are faulted in as huge pages: at 16 M pixels, small pages cost more than the growth.
template <typename T>
std::unique_ptr<T[]> hugeBuffer(std::size_t count) {
    auto buffer = std::make_unique_for_overwrite<T[]>(count);
    adviseHugePages(buffer.get(), count * sizeof(T));
    return buffer;
}

class Labeller {
public:
    Labeller(std::int32_t width, std::int32_t height, int neighbours)
        : m_width(width), m_height(height), m_neighbours(neighbours) {}

    /// Breadth-first components of `mask` over unlabelled pixels, numbered on from `next`; returns the next
    /// free label.
    std::int32_t label(const std::uint8_t* flags, std::uint8_t bit, std::int32_t* labels,
                       std::int32_t next) const {
        std::deque<std::int32_t> queue;
        const std::int32_t size = m_width * m_height;
        for (std::int32_t start = 0; start < size; ++start) {
            if (!(flags[start] & bit) || labels[start] != 0) {
                continue;
            }
            labels[start] = next;
            queue.push_back(start);
            while (!queue.empty()) {
                const std::int32_t pixel = queue.front();
                queue.pop_front();
                forEachNeighbour(pixel, [&](std::int32_t q) {
                    if ((flags[q] & bit) && labels[q] == 0) {
                        labels[q] = next;
                        queue.push_back(q);
                    }
                });
            }
            ++next;
        }
        return next;
    }

    template <typename Visit>
    void forEachNeighbour(std::int32_t pixel, Visit&& visit) const {
        const std::int32_t x = pixel % m_width;
        const std::int32_t y = pixel / m_width;
        for (int k = 0; k < m_neighbours; ++k) {
            const std::int32_t nx = x + Offsets[k][0];
            const std::int32_t ny = y + Offsets[k][1];
            if (nx >= 0 && nx < m_width && ny >= 0 && ny < m_height) {
                visit(ny * m_width + nx);
            }
        }
    }

private:
    std::int32_t m_width;
    std::int32_t m_height;
    int m_neighbours;
};

}  // namespace

AiInstanceSeparationResult AiInstanceSeparator::separate(const AiTensor& foreground, const AiTensor* boundary,
                                                         const AiTensor* signedDistance,
                                                         const AiInstanceSeparationOptions& options) {
    if (!std::isfinite(options.foregroundThreshold) || !std::isfinite(options.boundaryThreshold) ||
        !std::isfinite(options.seedThreshold)) {
        throwInvalidArgument(QStringLiteral("Instance separation thresholds must be finite."));
    }
    if (options.minimumRegionPixels < 1) {
        throwInvalidArgument(QStringLiteral("minimumRegionPixels must be at least one."));
    }
    if (options.connectivity != 4 && options.connectivity != 8) {
        throwInvalidArgument(QStringLiteral("connectivity must be either 4 or 8."));
    }
    const Band f = checkedBand(foreground, "Foreground");
    const Band b = boundary ? checkedBand(*boundary, "Boundary") : Band{};
    const Band d = signedDistance ? checkedBand(*signedDistance, "Signed-distance") : Band{};
    for (const Band* other : {&b, &d}) {
        if (other->values != nullptr && (other->width != f.width || other->height != f.height)) {
            throwInvalidArgument(
                QStringLiteral("Instance separation tensors must have identical raster dimensions."));
        }
    }
    const auto width = static_cast<std::int32_t>(f.width);
    const auto height = static_cast<std::int32_t>(f.height);
    const std::int32_t size = width * height;

    const auto flags = hugeBuffer<std::uint8_t>(static_cast<std::size_t>(size));
    const auto labels = hugeBuffer<std::int32_t>(static_cast<std::size_t>(size));
    constexpr std::uint8_t Foreground = 1;
    constexpr std::uint8_t Seed = 2;
    std::int64_t foregroundPixels = 0;
    for (std::int32_t i = 0; i < size; ++i) {
        const bool fg = static_cast<double>(f.values[i]) >= options.foregroundThreshold;
        const bool edge =
            b.values != nullptr && static_cast<double>(b.values[i]) >= options.boundaryThreshold;
        const bool seed =
            fg && !edge && (d.values == nullptr || static_cast<double>(d.values[i]) >= options.seedThreshold);
        flags[i] = static_cast<std::uint8_t>((fg ? Foreground : 0) | (seed ? Seed : 0));
        labels[i] = 0;
        foregroundPixels += fg ? 1 : 0;
    }
    const Labeller labeller(width, height, options.connectivity);
    std::int32_t next = labeller.label(flags.get(), Seed, labels.get(), 1);
    if (next == 1) {
        next = labeller.label(flags.get(), Foreground, labels.get(), 1);
    }

    // Every foreground pixel enters the queue once at most (it is labelled as it enters), so the heap never
    // outgrows the foreground and is allocated once.
    const auto priority = [&](std::int32_t i) { return d.values != nullptr ? d.values[i] : f.values[i]; };
    std::vector<GrowthEntry> heap;
    heap.reserve(static_cast<std::size_t>(foregroundPixels));
    adviseHugePages(heap.data(), heap.capacity() * sizeof(GrowthEntry));
    for (std::int32_t i = 0; i < size; ++i) {
        if (labels[i] != 0) {
            heap.push_back({priority(i), labels[i], i});
        }
    }
    std::priority_queue<GrowthEntry, std::vector<GrowthEntry>, GrowthOrder> queue(GrowthOrder{},
                                                                                  std::move(heap));
    while (!queue.empty()) {
        const GrowthEntry entry = queue.top();
        queue.pop();
        labeller.forEachNeighbour(entry.pixel, [&](std::int32_t q) {
            if ((flags[q] & Foreground) && labels[q] == 0) {
                labels[q] = entry.label;
                queue.push({priority(q) - (b.values != nullptr ? b.values[q] : 0.0f), entry.label, q});
            }
        });
    }
    next = labeller.label(flags.get(), Foreground, labels.get(), next);

    std::vector<std::int64_t> pixels(static_cast<size_t>(next), 0);
    for (std::int32_t i = 0; i < size; ++i) {
        ++pixels[static_cast<size_t>(labels[i])];
    }
    std::vector<std::int32_t> renumbered(static_cast<size_t>(next), 0);
    AiInstanceSeparationResult result;
    for (std::int32_t label = 1; label < next; ++label) {
        if (pixels[static_cast<size_t>(label)] >= options.minimumRegionPixels) {
            renumbered[static_cast<size_t>(label)] = ++result.instanceCount;
        }
    }
    result.instances.name = QStringLiteral("instances");
    result.instances.dataType = AiTensorDataType::Int32;
    result.instances.shape = {1, 1, height, width};
    result.instances.data = hugePageByteArray(qsizetype{size} * 4);
    auto* out = reinterpret_cast<std::int32_t*>(result.instances.data.data());
    for (std::int32_t i = 0; i < size; ++i) {
        out[i] = renumbered[static_cast<size_t>(labels[i])];
    }
    return result;
}

}  // namespace Tarnivale::AI
