#include "runtime/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace Tarnivale::AI {

namespace {
constexpr std::uintptr_t kHugePage = kHugePageBytes;
}

void adviseHugePages(void* data, std::size_t bytes) noexcept {
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t alignedBegin = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t alignedEnd = (begin + bytes) & ~(kHugePage - 1);
    if (alignedEnd > alignedBegin) {
        madvise(reinterpret_cast<void*>(alignedBegin), alignedEnd - alignedBegin, MADV_HUGEPAGE);
    }
}

PlaneBuffer::PlaneBuffer(std::size_t floats, Pages pages) : m_size(floats) {
    if (floats == 0) {
        return;
    }
    // calloc hands out fresh kernel pages for large blocks without writing them; the advice comes before
    // the first touch, which is what decides the page size.
    m_data.reset(static_cast<float*>(std::calloc(floats, sizeof(float))));
    if (!m_data) {
        throw std::bad_alloc();
    }
    if (pages == Pages::Huge) {
        adviseHugePages(m_data.get(), floats * sizeof(float));
    }
}

void PlaneBuffer::Free::operator()(float* data) const noexcept {
    std::free(data);
}

QByteArray hugePageByteArray(qsizetype bytes) {
    QByteArray buffer(bytes, Qt::Uninitialized);
    adviseHugePages(buffer.data(), static_cast<std::size_t>(bytes));
    return buffer;
}

}  // namespace Tarnivale::AI
