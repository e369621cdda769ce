/* Tarnivale.AI flat C interface: JSON in, JSON out, for hosts that cannot link the C++ class interface.
 *
 * Text is UTF-16 in 16-bit code units (TarnivaleAI_Char: char16_t from <uchar.h> in C, char16_t in C++;
 * wchar_t is 32-bit on this platform and is therefore not used). Every returned string is a new
 * NUL-terminated buffer owned by the caller and released with TarnivaleAI_FreeString. A null result means
 * failure; TarnivaleAI_GetLastError then returns the calling thread's message. No function lets an
 * exception escape. */
#ifndef TARNIVALE_AI_INTEROP_H
#define TARNIVALE_AI_INTEROP_H

#ifdef __cplusplus
#include <cstdint>
typedef char16_t TarnivaleAI_Char;
extern "C" {
#else
#include <stdint.h>
#include <uchar.h>
typedef char16_t TarnivaleAI_Char;
#endif

#if defined(_WIN32)
#define TARNIVALE_AI_C_EXPORT __declspec(dllexport)
#else
#define TARNIVALE_AI_C_EXPORT __attribute__((visibility("default")))
#endif

/* Progress of a raster run: completed tiles, total tiles, percent, a message valid during the call only. */
typedef void (*TarnivaleAI_ProgressCallback)(int completedTiles, int totalTiles, int percent,
                                             const TarnivaleAI_Char* message, void* userData);

/* {"providers": [names]} */
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_GetAvailableProvidersJson(void);
/* Request: session options ("provider", "intraOpThreads", "interOpThreads", "enableMemoryPattern",
 * "memoryBudgetBytes") and "modelPath". */
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_GetRuntimeDiagnosticsJson(
    const TarnivaleAI_Char* requestJson);
/* The argument is a package directory path, not JSON. */
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_InspectModelPackageJson(
    const TarnivaleAI_Char* packageDirectory);
/* Runs a raster inference on a worker thread; the callback (may be null) is called from that thread. */
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_RunRasterInference(const TarnivaleAI_Char* requestJson,
                                                                       TarnivaleAI_ProgressCallback progress,
                                                                       void* userData);
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_RunVlmCatalogQuery(const TarnivaleAI_Char* catalogJson,
                                                                       const TarnivaleAI_Char* queryJson);
/* The calling thread's last error (empty when the last call succeeded); never null. */
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_GetLastError(void);
/* Releases any string returned by the library; null is ignored. */
TARNIVALE_AI_C_EXPORT void TarnivaleAI_FreeString(void* text);

#ifdef __cplusplus
}
#endif

#endif /* TARNIVALE_AI_INTEROP_H */
