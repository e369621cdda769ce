// The smallest host: one call through the class interface, one through the flat C functions.
#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/runtime.h>

#include <cstdio>

int main() {
    const auto providers = Tarnivale::AI::AiSession::availableProviders();
    TarnivaleAI_Char* json = TarnivaleAI_GetAvailableProvidersJson();
    const bool ok = !providers.isEmpty() && json != nullptr;
    TarnivaleAI_FreeString(json);
    std::printf("%s: %lld providers, runtime %s\n", ok ? "ok" : "FAILED",
                static_cast<long long>(providers.size()),
                qPrintable(Tarnivale::AI::AiSession::runtimeVersion()));
    return ok ? 0 : 1;
}
