/* The C side of bench/python_bench.py: TarnivaleAI_RunRasterInference on the request in a file, made RUNS
 * times after one untimed call (the first call in a process carries the libraries' set-up, which a host pays
 * once). Prints each call's seconds, wall-clock and CPU (all of the process's threads: the figure a busy shared
 * machine disturbs least), then the median and mean wall-clock seconds. With --paced, each timed call waits for a
 * line on stdin first, so that another host can interleave its own calls run by run (bench/python_bench.py).
 *   flat_raster_run [--paced] REQUEST_JSON_FILE RUNS */
#define _POSIX_C_SOURCE 200809L /* clock_gettime */

#include <tarnivale/ai/interop.h>

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <uchar.h>

enum { MAX_RUNS = 1000 };

static double seconds(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* The file's UTF-8 text as NUL-terminated UTF-16, or NULL. */
static TarnivaleAI_Char* read_utf16(const char* path) {
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        return NULL;
    }
    char* text = NULL;
    size_t size = 0;
    if (fseek(file, 0, SEEK_END) == 0 && ftell(file) >= 0) {
        size = (size_t)ftell(file);
        rewind(file);
        text = malloc(size + 1);
    }
    if (text == NULL || fread(text, 1, size, file) != size) {
        fclose(file);
        free(text);
        return NULL;
    }
    fclose(file);
    text[size] = '\0';
    /* At most one code unit per byte, plus the terminator. */
    TarnivaleAI_Char* wide = malloc((size + 1) * sizeof(TarnivaleAI_Char));
    mbstate_t state;
    memset(&state, 0, sizeof state);
    size_t units = 0;
    const char* next = text;
    const char* end = text + size;
    while (wide != NULL && next < end) {
        size_t taken = mbrtoc16(&wide[units], next, (size_t)(end - next), &state);
        if (taken == (size_t)-1 || taken == (size_t)-2 || taken == 0) {
            free(wide);
            wide = NULL;
            break;
        }
        ++units;
        if (taken != (size_t)-3) { /* -3: the second half of a surrogate pair, no input consumed */
            next += taken;
        }
    }
    free(text);
    if (wide != NULL) {
        wide[units] = 0;
    }
    return wide;
}

static int run_once(const TarnivaleAI_Char* request) {
    TarnivaleAI_Char* result = TarnivaleAI_RunRasterInference(request, NULL, NULL);
    if (result == NULL) {
        fprintf(stderr, "flat_raster_run: the call failed (see TarnivaleAI_GetLastError)\n");
        return 0;
    }
    TarnivaleAI_FreeString(result);
    return 1;
}

static int compare(const void* a, const void* b) {
    double x = *(const double*)a;
    double y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv) {
    int paced = argc == 4 && strcmp(argv[1], "--paced") == 0;
    int runs = argc == 3 + paced ? atoi(argv[2 + paced]) : 0;
    if (runs < 1 || runs > MAX_RUNS) {
        fprintf(stderr, "usage: flat_raster_run [--paced] REQUEST_JSON_FILE RUNS (1..%d)\n", MAX_RUNS);
        return 2;
    }
    if (setlocale(LC_CTYPE, "C.UTF-8") == NULL) {
        fprintf(stderr, "flat_raster_run: no C.UTF-8 locale\n");
        return 1;
    }
    TarnivaleAI_Char* request = read_utf16(argv[1 + paced]);
    if (request == NULL) {
        fprintf(stderr, "flat_raster_run: cannot read %s as UTF-8\n", argv[1 + paced]);
        return 1;
    }
    static double times[MAX_RUNS];
    int ok = run_once(request);
    double sum = 0.0;
    char line[64];
    for (int i = 0; ok && i < runs; ++i) {
        if (paced && fgets(line, sizeof line, stdin) == NULL) {
            fprintf(stderr, "flat_raster_run: stdin closed before run %d\n", i + 1);
            free(request);
            return 1;
        }
        double start = seconds(CLOCK_MONOTONIC);
        double cpu_start = seconds(CLOCK_PROCESS_CPUTIME_ID);
        ok = run_once(request);
        times[i] = seconds(CLOCK_MONOTONIC) - start;
        double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
        if (ok) {
            sum += times[i];
            printf("run %.4f %.4f\n", times[i], cpu);
            fflush(stdout);
        }
    }
    free(request);
    if (!ok) {
        return 1;
    }
    qsort(times, (size_t)runs, sizeof times[0], compare);
    double median = runs % 2 ? times[runs / 2] : (times[runs / 2 - 1] + times[runs / 2]) / 2.0;
    printf("median %.4f s, mean %.4f s over %d runs\n", median, sum / runs, runs);
    return 0;
}
