#include "runtime/process_libraries.h"

#include "runtime/gdal_handles.h"
#include "runtime/sha256.h"

#include <openssl/crypto.h>

#include <functional>
#include <mutex>

namespace Tarnivale::AI {

namespace {
// A library that cannot start here fails later where it is used, with its own message.
void attempt(const std::function<void()>& start) noexcept {
    try {
        start();
    } catch (...) {
    }
}
}  // namespace

void startProcessLibraries() noexcept {
    static std::once_flag once;
    std::call_once(once, [] {
        attempt([] {
            OPENSSL_init_crypto(0, nullptr);
            // The first digest loads the provider and its tables.
            static_cast<void>(Sha256::hex(QByteArray()));
        });
        attempt([] {
            Gdal::registerDrivers();
            // PROJ opens its database (and its cache of connections) with the first spatial reference.
            const Gdal::SpatialReference reference(OSRNewSpatialReference(nullptr));
            if (reference) {
                OSRImportFromEPSG(reference.get(), 4326);
            }
        });
        attempt(&startInferenceEngine);
    });
}

}  // namespace Tarnivale::AI
