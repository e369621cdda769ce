#include "runtime/session_config.h"

#include "runtime/ort_api.h"

#include <atomic>

namespace Tarnivale::AI {

namespace {

std::atomic<SpinningPolicy> g_policy{SpinningPolicy::NoSpinning};

}  // namespace

void applyThreadPoolConfiguration(OrtSessionOptions* options) {
    const OrtApi& api = Ort::api();
    switch (g_policy.load(std::memory_order_relaxed)) {
        case SpinningPolicy::NoSpinning:
            Ort::check(api.AddSessionConfigEntry(options, "session.intra_op.allow_spinning", "0"));
            Ort::check(api.AddSessionConfigEntry(options, "session.force_spinning_stop", "1"));
            break;
        case SpinningPolicy::SpinThenStop:
            Ort::check(api.AddSessionConfigEntry(options, "session.intra_op.allow_spinning", "1"));
            Ort::check(api.AddSessionConfigEntry(options, "session.force_spinning_stop", "1"));
            break;
        case SpinningPolicy::RuntimeDefault:
            break;
    }
}

SpinningPolicy spinningPolicy() {
    return g_policy.load(std::memory_order_relaxed);
}

void setSpinningPolicy(SpinningPolicy policy) {
    g_policy.store(policy, std::memory_order_relaxed);
}

const char* spinningPolicyName(SpinningPolicy policy) {
    switch (policy) {
        case SpinningPolicy::NoSpinning:
            return "allow_spinning=0, force_spinning_stop=1";
        case SpinningPolicy::SpinThenStop:
            return "allow_spinning=1, force_spinning_stop=1";
        case SpinningPolicy::RuntimeDefault:
            return "runtime default";
    }
    return "?";
}

}  // namespace Tarnivale::AI
