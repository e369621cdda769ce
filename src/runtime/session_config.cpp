#include "runtime/session_config.h"

#include "runtime/ort_api.h"

namespace Tarnivale::AI {

void applyThreadPoolConfiguration(OrtSessionOptions* options) {
    const OrtApi& api = Ort::api();
    Ort::check(api.AddSessionConfigEntry(options, "session.intra_op.allow_spinning", "0"));
    Ort::check(api.AddSessionConfigEntry(options, "session.force_spinning_stop", "1"));
}

}  // namespace Tarnivale::AI
