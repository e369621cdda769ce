// The smallest host: calls through the class interface and the flat C functions, and an exception of the
// library caught by its type (which needs the library's exported typeinfo).
#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/runtime.h>

#include <cstdio>
#include <exception>

using namespace Tarnivale::AI;

namespace {

// A run the library refuses at once because its cancellation is already requested.
bool interruptionCaughtByType(const char* modelPath) {
    const AiSession session(QString::fromUtf8(modelPath));
    AiRunControl control;
    control.cancellationRequested = [] { return true; };
    const QList<AiTensor> inputs{AiTensor::fromFloat32(QStringLiteral("x"), {1, 1, 1, 1}, {1.0f})};
    bool byType = false;
    try {
        session.run(inputs, control);
    } catch (const AiInferenceInterrupted& interrupted) {
        byType = interrupted.reason() == AiInferenceStopReason::Cancelled;
    }
    bool byCast = false;
    try {
        session.run(inputs, control);
    } catch (const std::exception& error) {
        byCast = dynamic_cast<const AiInferenceInterrupted*>(&error) != nullptr;
    }
    return byType && byCast;
}

}  // namespace

int main(int argc, char** argv) {
    const auto providers = AiSession::availableProviders();
    TarnivaleAI_Char* json = TarnivaleAI_GetAvailableProvidersJson();
    const bool called = !providers.isEmpty() && json != nullptr;
    TarnivaleAI_FreeString(json);
    const bool caught = argc > 1 && interruptionCaughtByType(argv[1]);
    std::printf("%s: %lld providers, runtime %s, interruption caught by type: %s\n",
                called && caught ? "ok" : "FAILED", static_cast<long long>(providers.size()),
                qPrintable(AiSession::runtimeVersion()), caught ? "yes" : "no");
    return called && caught ? 0 : 1;
}
