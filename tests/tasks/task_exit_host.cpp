// A host that ends the process with exit(0) while its tasks run, to show that an exit at any moment ends
// cleanly. It uses only the flat C functions of the shared library, like a host written in C.
//
//   task_exit_host REQUEST.json TASKS after MICROSECONDS   exit on the main thread that long after the starts
//   task_exit_host REQUEST.json TASKS percent N            exit once a task's status shows N percent or more
//   task_exit_host REQUEST.json TASKS worker               exit on a task's own thread, inside polygonisation
//
// Prints nothing and exits with status 0, unless a task cannot be started (status 2) or the moment never
// comes (status 3).

#include <tarnivale/ai/interop.h>

#include <gdal_alg.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::atomic<bool> g_exitInWorker{false};

std::string readFile(const char* path) {
    std::string text;
    if (std::FILE* file = std::fopen(path, "rb")) {
        char buffer[4096];
        for (std::size_t read = 0; (read = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
            text.append(buffer, read);
        }
        std::fclose(file);
    }
    return text;
}

// The value of "key": in a status document (numbers and simple strings only).
std::string statusValue(const std::string& status, const char* key) {
    const std::string quoted = std::string("\"") + key + "\":";
    const std::size_t at = status.find(quoted);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t begin = at + quoted.size();
    return status.substr(begin, status.find_first_of(",}", begin) - begin);
}

bool terminal(const std::string& state) {
    return state == "\"completed\"" || state == "\"failed\"" || state == "\"cancelled\"";
}

}  // namespace

// Linked into the executable, so the library's polygon writer calls this on the task's thread: in "worker"
// mode the first task there ends the process, inside the task, after the writer's progress function has
// been called once; other tasks go on (two threads must not call exit).
extern "C" CPLErr CPL_STDCALL GDALPolygonize(GDALRasterBandH source, GDALRasterBandH mask, OGRLayerH layer,
                                             int field, char** options, GDALProgressFunc progress,
                                             void* data) {
    if (g_exitInWorker.exchange(false)) {
        progress(0.0, "", data);
        std::exit(0);
    }
    static const auto gdal = reinterpret_cast<decltype(&GDALPolygonize)>(dlsym(RTLD_NEXT, "GDALPolygonize"));
    return gdal(source, mask, layer, field, options, progress, data);
}

int main(int argc, char** argv) {
    const std::string mode = argc >= 4 ? argv[3] : "";
    if (((mode != "after" && mode != "percent") || argc != 5) && (mode != "worker" || argc != 4)) {
        std::fprintf(stderr,
                     "usage: task_exit_host REQUEST.json TASKS (after MICROSECONDS|percent N|worker)\n");
        return 2;
    }
    const std::string request = readFile(argv[1]);
    const int taskCount = std::atoi(argv[2]);
    g_exitInWorker = mode == "worker";

    std::vector<std::uint64_t> tasks;
    for (int i = 0; i < taskCount; ++i) {
        const std::uint64_t task = TarnivaleAI_StartTaskUtf8(request.c_str());
        if (task == 0) {
            char* error = TarnivaleAI_GetLastTaskErrorUtf8();
            std::fprintf(stderr, "start failed: %s\n", error);
            TarnivaleAI_FreeTaskString(error);
            return 2;
        }
        tasks.push_back(task);
    }
    if (mode == "after") {
        if (const long microseconds = std::atol(argv[4]); microseconds > 0) {
            usleep(static_cast<useconds_t>(microseconds));
        }
        std::exit(0);
    }
    if (mode == "worker") {
        // Calls nothing of the library meanwhile: this thread goes on while the task's thread runs exit.
        for (int waited = 0; waited < 100; ++waited) {
            usleep(100000);
        }
        std::fprintf(stderr, "no task reached polygonisation\n");
        return 3;
    }
    // Polls until a task's percent reaches the given one.
    const int percent = std::atoi(argv[4]);
    for (;;) {
        int ended = 0;
        for (const std::uint64_t task : tasks) {
            char* status = TarnivaleAI_GetTaskStatusUtf8(task);
            const std::string text = status != nullptr ? status : "";
            TarnivaleAI_FreeTaskString(status);
            if (std::atoi(statusValue(text, "percent").c_str()) >= percent) {
                std::exit(0);
            }
            ended += terminal(statusValue(text, "state")) ? 1 : 0;
        }
        if (ended == taskCount) {
            std::fprintf(stderr, "every task ended before that percent\n");
            return 3;
        }
        usleep(200);
    }
}
