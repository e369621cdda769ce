#include "runtime/ort_api.h"

#include "runtime/errors.h"

#include <cstdlib>

namespace Tarnivale::AI::Ort {

const OrtApi& api() {
    // Headers of an older release work with a newer runtime: the table is versioned.
    static const OrtApi* const table = OrtGetApiBase()->GetApi(ORT_API_VERSION);
    if (table == nullptr) {
        throwRuntimeError(QStringLiteral("ONNX Runtime error: %1")
                              .arg(QStringLiteral("the loaded runtime does not provide API version %1.")
                                       .arg(ORT_API_VERSION)));
    }
    return *table;
}

QString statusMessage(const OrtStatus* status) {
    return QString::fromUtf8(api().GetErrorMessage(status));
}

void check(OrtStatus* status) {
    if (status == nullptr) {
        return;
    }
    const Owned<OrtStatus> owned(status);
    throwRuntimeError(QStringLiteral("ONNX Runtime error: %1").arg(statusMessage(owned.get())));
}

void AllocatedStringFree::operator()(char* text) const noexcept {
    if (allocator != nullptr && text != nullptr) {
        // Freeing through the allocator cannot report a failure we could act on.
        allocator->Free(allocator, text);
    }
}

namespace {
// The official runtime build carries a telemetry client that starts with the first environment, writes
// session files into the temporary directory and tries to upload events. Turned off when the library is
// loaded, before any thread of ours reads the environment; a host's own setting is kept.
[[maybe_unused]] const bool g_telemetryOff = [] { return setenv("ORT_DISABLE_TELEMETRY", "1", 0) == 0; }();
}  // namespace

Owned<OrtEnv> createEnvironment(const char* logIdentifier) {
    OrtEnv* environment = nullptr;
    check(api().CreateEnv(ORT_LOGGING_LEVEL_WARNING, logIdentifier, &environment));
    Owned<OrtEnv> owned(environment);
    // Events of sessions are not sent either.
    check(api().DisableTelemetryEvents(owned.get()));
    return owned;
}

OrtAllocator* defaultAllocator() {
    OrtAllocator* allocator = nullptr;
    check(api().GetAllocatorWithDefaultOptions(&allocator));
    return allocator;
}

}  // namespace Tarnivale::AI::Ort
