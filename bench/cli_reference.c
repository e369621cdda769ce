/* The reference for the command line's overhead: the same raster run through TarnivaleAI_RunRasterInference
 * in a process that has already loaded the library. Prints the median time of the calls in milliseconds.
 *   bench_cli_reference PACKAGE_DIR RASTER OUTPUT_DIR RUNS */
#include <tarnivale/ai/interop.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1000.0 + (double)t.tv_nsec / 1e6;
}

/* ASCII paths only: enough for a benchmark's scratch directory. */
static TarnivaleAI_Char* widen(const char* text) {
    size_t length = strlen(text);
    TarnivaleAI_Char* wide = malloc((length + 1) * sizeof(TarnivaleAI_Char));
    for (size_t i = 0; i <= length; ++i) {
        wide[i] = (TarnivaleAI_Char)(unsigned char)text[i];
    }
    return wide;
}

static int compare(const void* a, const void* b) {
    double x = *(const double*)a;
    double y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: bench_cli_reference PACKAGE_DIR RASTER OUTPUT_DIR RUNS\n");
        return 2;
    }
    int runs = atoi(argv[4]);
    if (runs < 1 || runs > 100) {
        return 2;
    }
    double times[100];
    for (int i = 0; i < runs; ++i) {
        char request[4096];
        snprintf(
            request, sizeof request,
            "{\"modelPackagePath\": \"%s\", \"rasterPath\": \"%s\", \"outputPath\": \"%s/reference-%d.tif\", "
            "\"outputMode\": \"classMask\", \"applyManifestClassCodes\": false}",
            argv[1], argv[2], argv[3], i);
        TarnivaleAI_Char* wide = widen(request);
        double start = now_ms();
        TarnivaleAI_Char* result = TarnivaleAI_RunRasterInference(wide, NULL, NULL);
        times[i] = now_ms() - start;
        free(wide);
        if (result == NULL) {
            fprintf(stderr, "run failed\n");
            return 1;
        }
        TarnivaleAI_FreeString(result);
    }
    qsort(times, (size_t)runs, sizeof times[0], compare);
    printf("%.1f\n", times[runs / 2]);
    return 0;
}
