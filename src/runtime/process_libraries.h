#pragma once

// The process-wide state of the libraries the library's own threads use. Clean-up at exit (atexit handlers
// and static destructors alike) runs in the reverse order of its registration, and each library registers
// its own when it first starts: starting them all here lets code that must stop our threads at exit register
// after them, and so run before them.

namespace Tarnivale::AI {

/// Starts, once per process, what the libraries keep for the whole process: libcrypto and its digests,
/// GDAL's drivers and PROJ's database, and the inference engine (startInferenceEngine). What fails to start
/// is left to fail where it is used.
void startProcessLibraries() noexcept;

/// Creates and runs a one-operator CPU session: the engine's environment, operator schemas and kernel
/// registries, the provider list and the tensor allocator start, and stay after the session is gone.
/// Throws the engine's errors. Defined beside the session, the one place that uses the engine.
void startInferenceEngine();

}  // namespace Tarnivale::AI
