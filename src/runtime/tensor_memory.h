#pragma once

// ONNX Runtime's CPU tensor memory for the library's sessions. Tensors of a tile (a few to a few hundred
// megabytes) are otherwise faulted in page by page on every run on a new thread, which costs a large share
// of a short run; here large blocks are mapped with transparent huge pages advised and reused from run to
// run while a session lives.

#include "runtime/ort_api.h"

namespace Tarnivale::AI::Ort {

/// A session's hold on the environment and on the tensor allocator, for the session's lifetime. The first
/// lease registers the allocator with the environment (sessions opt in with "session.use_env_allocators"),
/// the last one unregisters it and gives the kept blocks back to the system. Taking and dropping leases is
/// serialised, so a session never meets an environment without the allocator.
class TensorMemoryLease {
public:
    TensorMemoryLease() = default;
    /// Creates the environment handle (logging at warning severity under the given identifier).
    explicit TensorMemoryLease(const char* logIdentifier);
    ~TensorMemoryLease();
    TensorMemoryLease(TensorMemoryLease&& other) noexcept;
    TensorMemoryLease& operator=(TensorMemoryLease&& other) noexcept;
    TensorMemoryLease(const TensorMemoryLease&) = delete;
    TensorMemoryLease& operator=(const TensorMemoryLease&) = delete;

    OrtEnv* environment() const { return m_environment.get(); }
    /// Whether sessions may use the registered allocator (registration can fail on an unusual runtime).
    bool active() const { return m_active; }

private:
    void drop() noexcept;

    Owned<OrtEnv> m_environment;
    bool m_active = false;
};

/// Blocks kept for reuse and bytes mapped in total, for tests and diagnostics.
struct TensorMemoryStatistics {
    long long keptBlocks = 0;
    long long mappedBytes = 0;
    long long liveLeases = 0;
};
TensorMemoryStatistics tensorMemoryStatistics();

}  // namespace Tarnivale::AI::Ort
