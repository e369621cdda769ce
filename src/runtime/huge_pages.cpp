#include "runtime/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>

namespace Tarnivale::AI {

namespace {
constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
}

void adviseHugePages(void* data, std::size_t bytes) noexcept {
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t alignedBegin = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t alignedEnd = (begin + bytes) & ~(kHugePage - 1);
    if (alignedEnd > alignedBegin) {
        madvise(reinterpret_cast<void*>(alignedBegin), alignedEnd - alignedBegin, MADV_HUGEPAGE);
    }
}

QByteArray zeroedPlaneBuffer(qsizetype bytes) {
    QByteArray buffer(bytes, Qt::Uninitialized);
    adviseHugePages(buffer.data(), static_cast<std::size_t>(bytes));
    std::memset(buffer.data(), 0, static_cast<std::size_t>(bytes));
    return buffer;
}

}  // namespace Tarnivale::AI
