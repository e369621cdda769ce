#include "runtime/tensor_memory.h"

#include "runtime/huge_pages.h"
#include "runtime/ort_api.h"

#include <sys/mman.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <type_traits>

namespace Tarnivale::AI::Ort {

namespace {

constexpr std::size_t kHeader = 64;  // keeps the alignment ONNX Runtime expects of tensor data
constexpr std::size_t kHugePage = kHugePageBytes;
constexpr std::size_t kLargeBlock = std::size_t{1} << 20;
constexpr std::size_t kKeptBlocks = 64;
constexpr std::size_t kLargestBlock = std::size_t{1} << 46;  // far beyond memory, far below overflow
constexpr std::uint32_t kMapped = 0x4d415050;                // marks a mapped block in its header
constexpr std::uint32_t kHeap = 0x48454150;

struct BlockHeader {
    std::size_t capacity;  // bytes of the whole mapping or heap block, header included
    std::uint32_t kind;
};
static_assert(sizeof(BlockHeader) <= kHeader);

struct KeptBlock {
    void* base = nullptr;
    std::size_t capacity = 0;
};

// Trivially destructible on purpose: a host that leaks a session may have the runtime free tensors during
// static destruction, after any destructor of ours would have run. The memory description lives as long.
struct TensorMemory {
    OrtAllocator allocator{};
    OrtMemoryInfo* info = nullptr;
    std::mutex lock;
    std::array<KeptBlock, kKeptBlocks> kept{};
    long long liveLeases = 0;
    long long mappedBytes = 0;
    bool registered = false;
};

static_assert(std::is_trivially_destructible_v<TensorMemory>);

TensorMemory& memory();

void* toData(void* base) {
    return static_cast<char*>(base) + kHeader;
}

BlockHeader* headerOf(void* data) {
    return reinterpret_cast<BlockHeader*>(static_cast<char*>(data) - kHeader);
}

void unmap(TensorMemory& m, void* base, std::size_t capacity) {
    munmap(base, capacity);
    m.mappedBytes -= static_cast<long long>(capacity);
}

// A fresh mapping of a multiple of 2 MiB, starting on a 2 MiB boundary so that all of it can be huge pages.
void* mapBlock(TensorMemory& m, std::size_t capacity) {
    const std::size_t span = capacity + kHugePage;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    const auto begin = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (begin + kHugePage - 1) & ~(std::uintptr_t{kHugePage} - 1);
    if (aligned > begin) {
        munmap(raw, aligned - begin);
    }
    const std::uintptr_t end = begin + span;
    if (end > aligned + capacity) {
        munmap(reinterpret_cast<void*>(aligned + capacity), end - (aligned + capacity));
    }
    void* base = reinterpret_cast<void*>(aligned);
    adviseHugePages(base, capacity);
    m.mappedBytes += static_cast<long long>(capacity);
    return base;
}

void* allocate(OrtAllocator*, std::size_t size) {
    if (size > kLargestBlock) {
        return nullptr;  // the runtime reports the failed allocation
    }
    if (size + kHeader < kLargeBlock) {
        void* base = std::aligned_alloc(kHeader, (size + 2 * kHeader - 1) / kHeader * kHeader);
        if (base == nullptr) {
            return nullptr;
        }
        *static_cast<BlockHeader*>(base) = BlockHeader{0, kHeap};
        return toData(base);
    }
    const std::size_t capacity = (size + kHeader + kHugePage - 1) / kHugePage * kHugePage;
    TensorMemory& m = memory();
    void* base = nullptr;
    {
        const std::lock_guard guard(m.lock);
        // The smallest kept block that fits without wasting more than its request.
        KeptBlock* best = nullptr;
        for (KeptBlock& block : m.kept) {
            if (block.base != nullptr && block.capacity >= capacity && block.capacity <= 2 * capacity &&
                (best == nullptr || block.capacity < best->capacity)) {
                best = &block;
            }
        }
        if (best != nullptr) {
            base = best->base;
            *best = KeptBlock{};
        } else {
            // Tensors are growing (a larger shape than before): smaller kept blocks would fit none of them.
            for (KeptBlock& block : m.kept) {
                if (block.base != nullptr && block.capacity < capacity) {
                    unmap(m, block.base, block.capacity);
                    block = KeptBlock{};
                }
            }
            base = mapBlock(m, capacity);
        }
    }
    if (base == nullptr) {
        return nullptr;
    }
    auto* header = static_cast<BlockHeader*>(base);
    if (header->kind != kMapped) {
        *header = BlockHeader{capacity, kMapped};
    }
    return toData(base);
}

void release(OrtAllocator*, void* data) {
    if (data == nullptr) {
        return;
    }
    BlockHeader* header = headerOf(data);
    if (header->kind == kHeap) {
        std::free(header);
        return;
    }
    TensorMemory& m = memory();
    const std::lock_guard guard(m.lock);
    if (m.liveLeases > 0) {
        for (KeptBlock& block : m.kept) {
            if (block.base == nullptr) {
                block = KeptBlock{header, header->capacity};
                return;
            }
        }
    }
    unmap(m, header, header->capacity);
}

const OrtMemoryInfo* describe(const OrtAllocator*) {
    return memory().info;
}

TensorMemory& memory() {
    static TensorMemory instance;
    static const bool ready = [] {
        instance.allocator.version = ORT_API_VERSION;
        instance.allocator.Alloc = allocate;
        instance.allocator.Free = release;
        instance.allocator.Info = describe;
        instance.allocator.Reserve = allocate;
        check(api().CreateCpuMemoryInfo(OrtDeviceAllocator, OrtMemTypeDefault, &instance.info));
        return true;
    }();
    static_cast<void>(ready);
    return instance;
}

}  // namespace

TensorMemoryLease::TensorMemoryLease(const char* logIdentifier) {
    TensorMemory& m = memory();
    const std::lock_guard guard(m.lock);
    m_environment = createEnvironment(logIdentifier);
    if (m.liveLeases == 0) {
        OrtStatus* status = api().RegisterAllocator(m_environment.get(), &m.allocator);
        m.registered = status == nullptr;
        if (status != nullptr) {
            api().ReleaseStatus(status);
        }
    }
    m_active = m.registered;
    ++m.liveLeases;
}

TensorMemoryLease::~TensorMemoryLease() {
    drop();
}

void TensorMemoryLease::drop() noexcept {
    if (!m_environment) {
        return;
    }
    TensorMemory& m = memory();
    const std::lock_guard guard(m.lock);
    // The last lease takes the registration back, so that an environment a host keeps alive (it is one per
    // process) is met in the same state by the next first lease.
    if (m.liveLeases == 1 && m.registered) {
        OrtStatus* status = api().UnregisterAllocator(m_environment.get(), m.info);
        if (status != nullptr) {
            api().ReleaseStatus(status);
        }
        m.registered = false;
    }
    m_environment.reset();
    m_active = false;
    if (--m.liveLeases == 0) {
        for (KeptBlock& block : m.kept) {
            if (block.base != nullptr) {
                unmap(m, block.base, block.capacity);
                block = KeptBlock{};
            }
        }
    }
}

TensorMemoryLease::TensorMemoryLease(TensorMemoryLease&& other) noexcept
    : m_environment(std::move(other.m_environment)), m_active(other.m_active) {
    other.m_active = false;
}

TensorMemoryLease& TensorMemoryLease::operator=(TensorMemoryLease&& other) noexcept {
    if (this != &other) {
        drop();
        m_environment = std::move(other.m_environment);
        m_active = other.m_active;
        other.m_active = false;
    }
    return *this;
}

TensorMemoryStatistics tensorMemoryStatistics() {
    TensorMemory& m = memory();
    const std::lock_guard guard(m.lock);
    TensorMemoryStatistics statistics;
    for (const KeptBlock& block : m.kept) {
        statistics.keptBlocks += block.base != nullptr ? 1 : 0;
    }
    statistics.mappedBytes = m.mappedBytes;
    statistics.liveLeases = m.liveLeases;
    return statistics;
}

}  // namespace Tarnivale::AI::Ort
