// TarnivaleAI_GetRuntimeDiagnosticsJson: the input is the request ("@MODEL@" is add_one.onnx, "@MODELS@" the
// directory of generated models).

#include "fuzz/fuzz_support.h"

#include <QJsonArray>

using namespace Tarnivale::AI::Fuzzing;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    initialise("runtime-diagnostics", argc, argv);
    runText(R"({"provider": "cpu", "modelPath": "@MODEL@"})");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string request = wideText(substituted(data, size));
    if (!safeWideDocument(request)) {
        return Refused;
    }
    const std::optional<QJsonObject> result =
        checkedWideResult(TarnivaleAI_GetRuntimeDiagnosticsJson(request.c_str()));
    if (result && result->value(QStringLiteral("ready")).toBool() !=
                      result->value(QStringLiteral("errors")).toArray().isEmpty()) {
        fail("\"ready\" disagrees with \"errors\"");
    }
    return Ran;
}
