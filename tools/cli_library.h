#pragma once

// The library as the command line sees it: the flat C functions only, with their strings converted and
// released here and a failed call turned into a Failure carrying the library's message.

#include <QJsonObject>
#include <QString>

#include <cstdint>

namespace Tarnivale::Cli {

/// The intra-operator thread count `run` and `task` request when --threads is not given; 0 sends none, so
/// ONNX Runtime picks its own (one thread per physical core, pinned). On the 2-vCPU machines measured
/// (bench/README.md, bench_raster spinning) that choice and an explicit 2 ran the executor equally fast.
inline constexpr int DefaultIntraOpThreads = 0;

/// UTF-16 text for the synchronous functions.
std::u16string wide(const QString& text);
std::u16string wide(const QJsonObject& object);

/// A returned UTF-16 JSON string parsed and released; null throws Failure with TarnivaleAI_GetLastError().
QJsonObject takeJson(char16_t* returned);
/// The same for the UTF-8 task strings (TarnivaleAI_GetLastTaskErrorUtf8 on null).
QJsonObject takeTaskJson(char* returned);
/// Throws Failure with the task error slot's message when the task call failed.
void checkTaskCall(bool succeeded);

/// A model registry function's answer to the request, fetched with a buffer of the length it asks for; a
/// failure throws Failure with TarnivaleAiModelRegistry_LastError().
using RegistryFunction = std::int32_t (*)(const char16_t* requestJson, char16_t* buffer,
                                          std::int32_t capacity);
QString callRegistry(RegistryFunction function, const QJsonObject& request);

/// The text of a JSON object as the library printed it (compact).
QByteArray compact(const QJsonObject& object);

}  // namespace Tarnivale::Cli
