/* A host in plain C: writes a small GeoTIFF with GDAL, runs a raster inference through the flat functions
 * with a progress callback, reads the JSON, checks the error channels and frees every string; signs and
 * resolves a registry index into buffers of the host's own. */
#include <tarnivale/ai/interop.h>

#include <gdal.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

/* A UTF-16 text (ASCII here) as a C string in the buffer, "(null)" for null; a returned string is freed. */
static const char* ascii(TarnivaleAI_Char* text, int returned, char* buffer, size_t size) {
    size_t i = 0;
    for (; text != NULL && text[i] != 0 && i + 1 < size; ++i) {
        buffer[i] = text[i] < 128 ? (char)text[i] : '?';
    }
    buffer[i] = '\0';
    const char* result = text != NULL ? buffer : "(null)";
    if (returned) {
        TarnivaleAI_FreeString(text);
    }
    return result;
}

static char text[4096];
#define TEXT(returned) ascii(returned, 1, text, sizeof text)

/* The task error slot's text, "(null)" for null, freed. */
static int lastTaskErrorIs(const char* expected) {
    char* error = TarnivaleAI_GetLastTaskErrorUtf8();
    const int same = strcmp(error != NULL ? error : "(null)", expected) == 0;
    TarnivaleAI_FreeTaskString(error);
    return same;
}

static int calls = 0;
static int lastPercent = -1;
static char lastMessage[64];

static void onProgress(int completed, int total, int percent, const TarnivaleAI_Char* message, void* data) {
    CHECK(completed == ++calls && total == 6 && data == &calls);
    lastPercent = percent;
    ascii((TarnivaleAI_Char*)message, 0, lastMessage, sizeof lastMessage);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: test_c_host MODEL.onnx WORKDIR\n");
        return 2;
    }
    /* Both error slots of a thread that has called nothing yet: empty strings, never null. */
    CHECK(strcmp(TEXT(TarnivaleAI_GetLastError()), "") == 0);
    CHECK(lastTaskErrorIs(""));
    CHECK(strncmp(TEXT(TarnivaleAI_GetAvailableProvidersJson()), "{\"providers\":[\"CPU\"", 19) == 0);

    char raster[1024];
    snprintf(raster, sizeof raster, "%s/c_host_input.tif", argv[2]);
    GDALAllRegister();
    GDALDatasetH dataset = GDALCreate(GDALGetDriverByName("GTiff"), raster, 20, 12, 1, GDT_Float32, NULL);
    float values[20 * 12];
    for (int i = 0; i < 20 * 12; ++i) {
        values[i] = (float)(i % 7) - 3.0f;
    }
    CHECK(GDALRasterIO(GDALGetRasterBand(dataset, 1), GF_Write, 0, 0, 20, 12, values, 20, 12, GDT_Float32, 0,
                       0) == CE_None);
    GDALClose(dataset);

    const int length = snprintf(
        text, sizeof text,
        "{\"modelPath\": \"%s\", \"rasterPath\": \"%s\", \"outputMode\":"
        " \"FLOATBANDS\", \"tiling\": {\"width\": 8, \"height\": 8, \"overlapX\": 2, \"overlapY\": 2}}",
        argv[1], raster);
    TarnivaleAI_Char request[sizeof text];
    for (int i = 0; i <= length; ++i) {
        request[i] = (TarnivaleAI_Char)(unsigned char)text[i];
    }
    const char* result = TEXT(TarnivaleAI_RunRasterInference(request, onProgress, &calls));
    CHECK(strstr(result, "\"isolatedWorker\":true") != NULL &&
          strstr(result, "\"dataType\":\"Float32\"") != NULL);
    CHECK(calls == 6 && lastPercent == 100 && strcmp(lastMessage, "Processed AI tile 6 of 6.") == 0);

    /* The error channels: a failure leaves its message, a success an empty string; each copy is freed. */
    CHECK(TarnivaleAI_GetRuntimeDiagnosticsJson(NULL) == NULL);
    CHECK(strcmp(TEXT(TarnivaleAI_GetLastError()), "Required wide string is null.") == 0);
    TarnivaleAI_FreeString(TarnivaleAI_GetAvailableProvidersJson());
    CHECK(strcmp(TEXT(TarnivaleAI_GetLastError()), "") == 0);
    CHECK(TarnivaleAI_RunObjectDetection(u"{\"mode\": \"sliced\"}", onProgress, &calls) == NULL);
    CHECK(strcmp(TEXT(TarnivaleAI_GetLastError()), "AI model package path is required.") == 0);
    CHECK(TarnivaleAI_StartTaskUtf8(NULL) == 0);
    CHECK(lastTaskErrorIs("Task JSON is null."));
    const uint64_t task = TarnivaleAI_StartTaskUtf8(
        "{\"task\": \"sam3-text\", \"text\": \"building\", \"modelPackagePath\": \"p\", \"rasterPath\": "
        "\"r\"}");
    CHECK(task != 0 && TarnivaleAI_ReleaseTask(task) == 1);
    CHECK(lastTaskErrorIs(""));
    TarnivaleAI_FreeString(NULL);
    TarnivaleAI_FreeTaskString(NULL);

    /* The registry: sign an index, resolve through it with buffers of every size around the answer's length,
     * and read a failure from the registry's own slot the same way. */
    static const char entries[] =
        "{\"signingKeyBase64\": \"a2V5\", \"entries\": [{\"id\": \"seg\", \"version\": \"1.2\","
        " \"artifactUrl\": \"https://models.example/seg\", \"artifactSha256\":"
        " \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\", \"license\": \"MIT\","
        " \"licenseUrl\": \"https://opensource.org/license/mit\", \"minimumSdkVersion\": \"2.0\"}]}";
    TarnivaleAI_Char wide[2048];
    for (size_t i = 0; i < sizeof entries; ++i) {
        wide[i] = (TarnivaleAI_Char)(unsigned char)entries[i];
    }
    TarnivaleAI_Char index[1024];
    const int32_t indexLength = TarnivaleAiModelRegistry_SignJson(wide, index, 1024);
    CHECK(indexLength > 0 && indexLength < 1024 && index[indexLength] == 0);
    const char prefix[] =
        "{\"trustedKeyBase64\": \"a2V5\", \"id\": \"seg\", \"sdkVersion\": \"2\", \"signedIndex\": \"";
    int32_t at = 0;
    for (const char* c = prefix; *c != '\0'; ++c) {
        wide[at++] = (TarnivaleAI_Char)*c;
    }
    for (int32_t i = 0; i < indexLength; ++i) {
        if (index[i] == '"') {
            wide[at++] = '\\';
        }
        wide[at++] = index[i];
    }
    wide[at++] = '"';
    wide[at++] = '}';
    wide[at] = 0;
    static const char answer[] =
        "{\"artifactFileName\":\"seg-1.2.tvmodel\",\"artifactSha256\":"
        "\"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\",\"artifactUrl\":"
        "\"https://models.example/seg\",\"id\":\"seg\",\"license\":\"MIT\",\"version\":\"1.2\"}";
    const int32_t answerLength = (int32_t)strlen(answer);
    CHECK(TarnivaleAiModelRegistry_ResolveJson(wide, NULL, 0) == answerLength);
    const int32_t capacities[] = {0, 1, answerLength, answerLength + 1};
    for (int c = 0; c < 4; ++c) {
        TarnivaleAI_Char out[512];
        out[0] = '#';
        CHECK(TarnivaleAiModelRegistry_ResolveJson(wide, out, capacities[c]) == answerLength);
        const int32_t copied = capacities[c] == 0 ? 0 : capacities[c] - 1;
        /* Capacity 0 writes nothing, not even the terminating 0. */
        CHECK(capacities[c] == 0
                  ? out[0] == '#'
                  : out[copied] == 0 &&
                        strncmp(ascii(out, 0, text, sizeof text), answer, (size_t)copied) == 0 &&
                        strlen(text) == (size_t)copied);
    }
    CHECK(TarnivaleAiModelRegistry_LastError(NULL, 0) == 0);
    CHECK(TarnivaleAiModelRegistry_ResolveJson(NULL, NULL, 0) == -1);
    static const char refusal[] = "Registry resolve request must be JSON";
    const int32_t errorLength = (int32_t)strlen(refusal);
    CHECK(TarnivaleAiModelRegistry_LastError(NULL, 5) == errorLength);
    const int32_t errorCapacities[] = {0, 1, errorLength, errorLength + 1};
    for (int c = 0; c < 4; ++c) {
        TarnivaleAI_Char out[64];
        out[0] = '#';
        CHECK(TarnivaleAiModelRegistry_LastError(out, errorCapacities[c]) == errorLength);
        const int32_t copied = errorCapacities[c] == 0 ? 0 : errorCapacities[c] - 1;
        /* Capacity 0 writes nothing, not even the terminating 0. */
        CHECK(errorCapacities[c] == 0
                  ? out[0] == '#'
                  : out[copied] == 0 &&
                        strncmp(ascii(out, 0, text, sizeof text), refusal, (size_t)copied) == 0 &&
                        strlen(text) == (size_t)copied);
    }
    /* A slot of its own: the synchronous functions' slot still holds its last failure. */
    CHECK(strcmp(TEXT(TarnivaleAI_GetLastError()), "AI model package path is required.") == 0);

    printf("%d passed, %d failed\n", failures == 0 ? 1 : 0, failures == 0 ? 0 : 1);
    return failures == 0 ? 0 : 1;
}
