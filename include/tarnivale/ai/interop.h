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
 * "memoryBudgetBytes") and "modelPath". Thread counts above 1024 are refused, here and in raster requests. */
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_GetRuntimeDiagnosticsJson(
    const TarnivaleAI_Char* requestJson);
/* The argument is a package directory path, not JSON. */
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_InspectModelPackageJson(
    const TarnivaleAI_Char* packageDirectory);
/* Copies a raster file (a task's "rasterPath", say) into a Cloud-Optimised GeoTIFF at outputPath (both are
 * paths, not JSON): DEFLATE, overviews (nearest neighbour for integer bands, average otherwise), metadata and
 * provenance kept. Never replaces anything ("Export destination exists.") and publishes the file whole or not
 * at all. {"sourcePath", "outputPath"} with the absolute output path. */
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_CopyAsCloudOptimizedGeoTiff(
    const TarnivaleAI_Char* sourcePath, const TarnivaleAI_Char* outputPath);
/* Runs a raster inference on a worker thread; the callback (may be null) is called from that thread.
 * Keys beyond the package's model, identity, tiling and normalisation (each changes nothing when absent;
 * a value of the wrong type is refused by name):
 *   "useInputAdapter": true   bands of the package's first raster input adapter, unless "bands" is given
 *   "outputDecoderId": "ID"   that output decoder of the package applied to every tile (activation, channel;
 *                             a one-channel class mask becomes 1 where the decoder's threshold is reached)
 *   "outputFormat": "COG"     Cloud-Optimised GeoTIFFs (DEFLATE, overviews) for the output and the preview;
 *                             "GTiff", the default, writes tiled GeoTIFFs
 *   "estimateOnly": true      runs and writes nothing: {"estimateOnly": true, "width", "height",
 *                             "totalTiles", "bandCount", "dataType", "peakMemoryBytes" (the run's own
 *                             figure to come), "outputBytes"} */
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_RunRasterInference(const TarnivaleAI_Char* requestJson,
                                                                       TarnivaleAI_ProgressCallback progress,
                                                                       void* userData);
/* Detects objects in a raster with an object-detection package, on the calling thread. Request keys:
 * "packagePath", "rasterPath" (required); "mode" "oneShot" (default: the whole raster at the model's input
 * size) or "sliced" (overlapping windows of "tileWidth" x "tileHeight" raster pixels, default the model's
 * input size, sharing "overlapX"/"overlapY" pixels, default 20 % of the tile; "classAgnosticMerge" merges
 * windows across classes); "scoreThreshold", "nmsThreshold" (replace the manifest's); "outputPath" (a new
 * GeoPackage of box polygons in the raster's CRS with "score", "class_id", "label"; never replaces a file)
 * and "layerName" (default "detections"); the session keys of the diagnostics request. A key of the wrong
 * type is refused by name. Result: "detections" (each "xMin", "yMin", "xMax", "yMax" in raster pixels,
 * "score", "classId", "label", "footprint" as four [x, y] corners, empty without a geotransform),
 * "rasterWidth", "rasterHeight", "geoTransform", "projectionWkt", "provider", "elapsedMilliseconds",
 * "cancelled", "outputPath", "featureCount". The callback receives windows done and windows in all (0 and 0
 * for one-shot runs), the percent and the stage message. */
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_RunObjectDetection(const TarnivaleAI_Char* requestJson,
                                                                       TarnivaleAI_ProgressCallback progress,
                                                                       void* userData);
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_RunVlmCatalogQuery(const TarnivaleAI_Char* catalogJson,
                                                                       const TarnivaleAI_Char* queryJson);
/* The calling thread's last error (empty when the last call succeeded); never null. */
TARNIVALE_AI_C_EXPORT TarnivaleAI_Char* TarnivaleAI_GetLastError(void);
/* Releases any string returned by the library; null is ignored. */
TARNIVALE_AI_C_EXPORT void TarnivaleAI_FreeString(void* text);

/* Tasks: built-in model pipelines that run on a thread of their own and write into a private workspace
 * until released. Text is UTF-8 JSON; returned strings are released with TarnivaleAI_FreeTaskString. On
 * failure the functions return 0 or null and TarnivaleAI_GetLastTaskErrorUtf8 gives the calling thread's
 * message (a slot separate from TarnivaleAI_GetLastError). Identifiers start at 1 and are never reused. */

/* Starts a task ("task", "modelPackagePath", "rasterPath", ...); 0 on failure. */
TARNIVALE_AI_C_EXPORT uint64_t TarnivaleAI_StartTaskUtf8(const char* taskJson);
/* What the task will cost, without starting it: the request is checked as by start, then the kind's estimate
 * {"task", "estimateOnly": true, "width", "height", "totalTiles", "bandCount", "dataType",
 * "peakMemoryBytes", "outputBytes"} is returned (dynamic-world, prue-fields, sen2sr-super-resolution;
 * other kinds fail with "AI task kind has no estimate: <kind>"). Null on failure. */
TARNIVALE_AI_C_EXPORT char* TarnivaleAI_EstimateTaskUtf8(const char* taskJson);
/* {"schemaVersion", "taskId", "state", "percent", "message", "error", "completedTiles", "totalTiles"} */
TARNIVALE_AI_C_EXPORT char* TarnivaleAI_GetTaskStatusUtf8(uint64_t taskId);
/* The completed task's result document. */
TARNIVALE_AI_C_EXPORT char* TarnivaleAI_GetTaskResultUtf8(uint64_t taskId);
/* Asks a queued or running task to stop; does not wait. 1 on success. */
TARNIVALE_AI_C_EXPORT int TarnivaleAI_CancelTask(uint64_t taskId);
/* Forgets the identifier, stops the task, waits for its thread and deletes its workspace. 1 on success. */
TARNIVALE_AI_C_EXPORT int TarnivaleAI_ReleaseTask(uint64_t taskId);
/* Copies a completed task's output out of its workspace: {"format": "geotiff"|"shapefile", "path": ...}.
 * Never overwrites; the destination appears complete or not at all. */
TARNIVALE_AI_C_EXPORT char* TarnivaleAI_ExportTaskResultUtf8(uint64_t taskId, const char* exportJson);
/* The calling thread's last task error (empty when the last task call succeeded). */
TARNIVALE_AI_C_EXPORT char* TarnivaleAI_GetLastTaskErrorUtf8(void);
/* Releases any string returned by the task functions; null is ignored. */
TARNIVALE_AI_C_EXPORT void TarnivaleAI_FreeTaskString(void* text);

/* Model registry: a signed registry index (JSON with an HMAC-SHA-256 "signature" under a key the host
 * supplies, Base64 in requests) resolved, installed from an offline mirror, or signed. Requests are UTF-16
 * JSON (null reads as empty text); the answer is copied into the caller's buffer: at most capacity - 1 code
 * units and a terminating 0 when buffer is not null and capacity >= 1. Each returns the answer's full length
 * in code units (call again with a larger buffer when it is >= capacity; a null buffer only asks the
 * length), or -1 on failure, with the message kept for TarnivaleAiModelRegistry_LastError in a per-thread
 * slot of its own (not TarnivaleAI_GetLastError's). */

/* Request: "trustedKeyBase64", "signedIndex" (the index document as text), "id", "version" (empty: the
 * highest compatible), "sdkVersion". Answer: {"artifactFileName", "artifactSha256", "artifactUrl", "id",
 * "license", "version"} of the resolved entry. */
TARNIVALE_AI_C_EXPORT int32_t TarnivaleAiModelRegistry_ResolveJson(const TarnivaleAI_Char* requestJson,
                                                                   TarnivaleAI_Char* buffer,
                                                                   int32_t capacity);
/* Resolves as above, then installs the entry's artifact from "offlineMirrorDirectory" (the file named
 * "<id>-<version>.tvmodel"; nothing is downloaded) into "destinationDirectory", within "maximumBytes" (0 or
 * absent: no budget), checking its SHA-256 and replacing an installed file only when all is well. Answer:
 * {"artifactFileName", "byteCount", "id", "installedPath", "sha256", "source", "version"}. */
TARNIVALE_AI_C_EXPORT int32_t TarnivaleAiModelRegistry_InstallJson(const TarnivaleAI_Char* requestJson,
                                                                   TarnivaleAI_Char* buffer,
                                                                   int32_t capacity);
/* For publishers. Request: "signingKeyBase64" and "entries" (objects with "id", "version", "artifactUrl",
 * "artifactSha256", "license", "licenseUrl", "minimumSdkVersion", "maximumSdkVersion"). Answer: the signed
 * index document. */
TARNIVALE_AI_C_EXPORT int32_t TarnivaleAiModelRegistry_SignJson(const TarnivaleAI_Char* requestJson,
                                                                TarnivaleAI_Char* buffer, int32_t capacity);
/* Copies the calling thread's last registry error like the answers above; returns its full length (0 when
 * the last registry call succeeded or none was made). */
TARNIVALE_AI_C_EXPORT int32_t TarnivaleAiModelRegistry_LastError(TarnivaleAI_Char* buffer, int32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* TARNIVALE_AI_INTEROP_H */
