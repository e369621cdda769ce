#pragma once

#include <QByteArray>

#include <cstddef>
#include <memory>

namespace Tarnivale::AI {

/// The transparent huge page size the advice below aims at.
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

/// A zero-filled float buffer for full-raster planes. Large allocations come straight from the kernel as
/// zero pages, so nothing is written until the planes are used; the pages are offered as transparent huge
/// pages, so faulting in hundreds of megabytes costs hundreds of faults rather than hundreds of thousands.
class PlaneBuffer {
public:
    /// Huge pages suit planes filled front to back. A buffer filled piecemeal all over (tiles landing across
    /// every row) is better off with base pages: each huge page is zeroed, and often compacted for, whole at
    /// its first touch, which measured 15-20 % of a super-resolution loop's CPU time here.
    enum class Pages { Huge, Base };

    PlaneBuffer() = default;
    explicit PlaneBuffer(std::size_t floats, Pages pages = Pages::Huge);

    float* data() { return m_data.get(); }
    const float* data() const { return m_data.get(); }
    std::size_t size() const { return m_size; }
    void reset() {
        m_data.reset();
        m_size = 0;
    }

private:
    struct Free {
        void operator()(float* data) const noexcept;
    };
    std::unique_ptr<float[], Free> m_data;
    std::size_t m_size = 0;
};

/// An uninitialised byte array of the given size with the same huge-page advice, for results that are
/// written in full.
QByteArray hugePageByteArray(qsizetype bytes);

/// Asks for transparent huge pages over the 2 MiB-aligned part of [data, data + bytes); a hint only.
void adviseHugePages(void* data, std::size_t bytes) noexcept;

}  // namespace Tarnivale::AI
