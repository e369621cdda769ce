/* A host in plain C: writes a small GeoTIFF with GDAL, runs a raster inference through the flat functions
 * with a progress callback, reads the JSON, checks the error channel and frees every string. */
#include <tarnivale/ai/interop.h>

#include <gdal.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

#define CHECK(condition)                                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                                   \
        }                                                                                 \
    } while (0)

/* UTF-16 to ASCII for checking (the documents here are ASCII). */
static char* narrow(const TarnivaleAI_Char* text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    char* result = malloc(length + 1);
    for (size_t i = 0; i < length; ++i) {
        result[i] = text[i] < 128 ? (char)text[i] : '?';
    }
    result[length] = '\0';
    return result;
}

static TarnivaleAI_Char* widen(const char* text) {
    size_t length = strlen(text);
    TarnivaleAI_Char* result = malloc((length + 1) * sizeof(TarnivaleAI_Char));
    for (size_t i = 0; i <= length; ++i) {
        result[i] = (TarnivaleAI_Char)(unsigned char)text[i];
    }
    return result;
}

struct Progress {
    int calls;
    int lastPercent;
    char lastMessage[128];
};

static void onProgress(int completed, int total, int percent, const TarnivaleAI_Char* message,
                       void* userData) {
    struct Progress* progress = userData;
    char* text = narrow(message);
    ++progress->calls;
    progress->lastPercent = percent;
    snprintf(progress->lastMessage, sizeof progress->lastMessage, "%s", text);
    free(text);
    (void)completed;
    (void)total;
}

static void writeRaster(const char* path) {
    GDALAllRegister();
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    GDALDatasetH dataset = GDALCreate(driver, path, 20, 12, 1, GDT_Float32, NULL);
    float values[20 * 12];
    for (int i = 0; i < 20 * 12; ++i) {
        values[i] = (float)(i % 7) - 3.0f;
    }
    CHECK(GDALRasterIO(GDALGetRasterBand(dataset, 1), GF_Write, 0, 0, 20, 12, values, 20, 12, GDT_Float32, 0,
                       0) == CE_None);
    GDALClose(dataset);
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: test_c_host MODEL.onnx WORKDIR\n");
        return 2;
    }
    char raster[1024];
    char output[1024];
    snprintf(raster, sizeof raster, "%s/c_host_input.tif", argv[2]);
    snprintf(output, sizeof output, "%s/c_host_output.tif", argv[2]);
    remove(output);
    writeRaster(raster);

    TarnivaleAI_Char* providers = TarnivaleAI_GetAvailableProvidersJson();
    CHECK(providers != NULL);
    if (providers != NULL) {
        char* text = narrow(providers);
        CHECK(strstr(text, "\"providers\":[\"CPU\"") != NULL);
        free(text);
    }
    TarnivaleAI_FreeString(providers);

    char request[4096];
    snprintf(request, sizeof request,
             "{\"modelPath\": \"%s\", \"rasterPath\": \"%s\", \"outputPath\": \"%s\", \"outputMode\": "
             "\"FLOATBANDS\","
             " \"tiling\": {\"width\": 8, \"height\": 8, \"overlapX\": 2, \"overlapY\": 2}}",
             argv[1], raster, output);
    TarnivaleAI_Char* wideRequest = widen(request);
    struct Progress progress = {0, -1, ""};
    TarnivaleAI_Char* result = TarnivaleAI_RunRasterInference(wideRequest, onProgress, &progress);
    CHECK(result != NULL);
    if (result != NULL) {
        char* text = narrow(result);
        CHECK(strstr(text, "\"cancelled\":false") != NULL);
        CHECK(strstr(text, "\"isolatedWorker\":true") != NULL);
        CHECK(strstr(text, "\"dataType\":\"Float32\"") != NULL);
        CHECK(strstr(text, "\"width\":20") != NULL);
        free(text);
    } else {
        TarnivaleAI_Char* error = TarnivaleAI_GetLastError();
        char* text = narrow(error);
        fprintf(stderr, "run failed: %s\n", text);
        free(text);
        TarnivaleAI_FreeString(error);
    }
    TarnivaleAI_FreeString(result);
    free(wideRequest);
    CHECK(progress.calls == 6);
    CHECK(progress.lastPercent == 100);
    CHECK(strcmp(progress.lastMessage, "Processed AI tile 6 of 6.") == 0);
    GDALDatasetH written = GDALOpen(output, GA_ReadOnly);
    CHECK(written != NULL);
    if (written != NULL) {
        CHECK(GDALGetMetadataItem(written, "TARNIVALE_PROVENANCE_SHA256", NULL) != NULL);
        GDALClose(written);
    }

    /* The error channel: a null request fails, then a success clears the message. */
    CHECK(TarnivaleAI_GetRuntimeDiagnosticsJson(NULL) == NULL);
    TarnivaleAI_Char* error = TarnivaleAI_GetLastError();
    char* errorText = narrow(error);
    CHECK(strcmp(errorText, "Required wide string is null.") == 0);
    free(errorText);
    TarnivaleAI_FreeString(error);
    providers = TarnivaleAI_GetAvailableProvidersJson();
    TarnivaleAI_FreeString(providers);
    error = TarnivaleAI_GetLastError();
    CHECK(error != NULL && error[0] == 0);
    TarnivaleAI_FreeString(error);
    TarnivaleAI_FreeString(NULL);

    printf("%d passed, %d failed\n", failures == 0 ? 1 : 0, failures == 0 ? 0 : 1);
    return failures == 0 ? 0 : 1;
}
