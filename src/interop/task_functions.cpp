// The task functions: thin frames over the task layer that keep every failure in the task error slot.

#include <tarnivale/ai/interop.h>

#include "interop/returned_strings.h"
#include "interop/task_frame.h"
#include "tasks/task_api.h"

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Interop;

extern "C" std::uint64_t TarnivaleAI_StartTaskUtf8(const char* taskJson) {
    return runTaskFunction("Cannot start AI task.", std::uint64_t{0},
                           [&] { return Tasks::startTask(taskJson); });
}

extern "C" char* TarnivaleAI_EstimateTaskUtf8(const char* taskJson) {
    return runTaskFunction("Cannot estimate AI task.", static_cast<char*>(nullptr),
                           [&] { return newJsonString(Tasks::estimateTask(taskJson)); });
}

extern "C" char* TarnivaleAI_GetTaskStatusUtf8(std::uint64_t taskId) {
    return runTaskFunction("Unknown AI task API failure.", static_cast<char*>(nullptr),
                           [&] { return newJsonString(Tasks::taskStatus(taskId)); });
}

extern "C" char* TarnivaleAI_GetTaskResultUtf8(std::uint64_t taskId) {
    return runTaskFunction("Unknown AI task API failure.", static_cast<char*>(nullptr),
                           [&] { return newUtf8String(Tasks::taskResultJson(taskId)); });
}

extern "C" int TarnivaleAI_CancelTask(std::uint64_t taskId) {
    return runTaskFunction("Cannot cancel AI task.", 0, [&] {
        Tasks::cancelTask(taskId);
        return 1;
    });
}

extern "C" int TarnivaleAI_ReleaseTask(std::uint64_t taskId) {
    return runTaskFunction("Cannot release AI task.", 0, [&] {
        Tasks::releaseTask(taskId);
        return 1;
    });
}

extern "C" char* TarnivaleAI_ExportTaskResultUtf8(std::uint64_t taskId, const char* exportJson) {
    return runTaskFunction("Unknown AI task API failure.", static_cast<char*>(nullptr),
                           [&] { return newJsonString(Tasks::exportTaskResult(taskId, exportJson)); });
}

extern "C" char* TarnivaleAI_GetLastTaskErrorUtf8(void) {
    return lastTaskErrorCopy();
}

extern "C" void TarnivaleAI_FreeTaskString(void* text) {
    freeLibraryString(text);
}
