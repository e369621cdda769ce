#pragma once

// The ONNX Runtime C function table and move-only owners for its handles. Only the session and the
// diagnostics include this header; everything else in the library sees AiTensor.

#include <onnxruntime_c_api.h>

#include <QString>

#include <memory>

namespace Tarnivale::AI::Ort {

/// The version-pinned function table; throws "ONNX Runtime error: ..." if the runtime cannot provide it.
const OrtApi& api();

/// Throws std::runtime_error("ONNX Runtime error: <message>") for a failure status, releasing it.
void check(OrtStatus* status);

/// The message of a failure status as UTF-8 text.
QString statusMessage(const OrtStatus* status);

template <typename T>
struct Releaser;

#define TARNIVALE_ORT_RELEASER(Type)                                                       \
    template <>                                                                            \
    struct Releaser<Ort##Type> {                                                           \
        void operator()(Ort##Type* handle) const noexcept { api().Release##Type(handle); } \
    }

TARNIVALE_ORT_RELEASER(Env);
TARNIVALE_ORT_RELEASER(Status);
TARNIVALE_ORT_RELEASER(SessionOptions);
TARNIVALE_ORT_RELEASER(Session);
TARNIVALE_ORT_RELEASER(MemoryInfo);
TARNIVALE_ORT_RELEASER(Value);
TARNIVALE_ORT_RELEASER(RunOptions);
TARNIVALE_ORT_RELEASER(TypeInfo);
TARNIVALE_ORT_RELEASER(TensorTypeAndShapeInfo);

#undef TARNIVALE_ORT_RELEASER

template <>
struct Releaser<OrtCUDAProviderOptionsV2> {
    void operator()(OrtCUDAProviderOptionsV2* handle) const noexcept {
        api().ReleaseCUDAProviderOptions(handle);
    }
};

/// unique_ptr with the matching Release function of the table.
template <typename T>
using Owned = std::unique_ptr<T, Releaser<T>>;

/// A string allocated by an ONNX Runtime allocator, freed by the same allocator.
struct AllocatedStringFree {
    OrtAllocator* allocator = nullptr;
    void operator()(char* text) const noexcept;
};
using AllocatedString = std::unique_ptr<char, AllocatedStringFree>;

/// A new environment handle (logging at warning severity under the given identifier).
Owned<OrtEnv> createEnvironment(const char* logIdentifier);

/// The default CPU allocator (owned by ONNX Runtime, never released).
OrtAllocator* defaultAllocator();

}  // namespace Tarnivale::AI::Ort
