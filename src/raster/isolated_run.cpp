#include <tarnivale/ai/raster.h>

#include <future>
#include <thread>

namespace Tarnivale::AI {

AiRasterInferenceResult AiRasterInferenceExecutor::runIsolated(const AiRasterInferenceRequest& request,
                                                               const AiRasterProgressCallback& progress) {
    // The task owns copies: the worker never reads the caller's objects.
    std::packaged_task<AiRasterInferenceResult()> task([request, progress] {
        AiRasterInferenceResult result = run(request, progress);
        result.isolatedWorker = true;
        return result;
    });
    std::future<AiRasterInferenceResult> outcome = task.get_future();
    std::thread worker(std::move(task));
    worker.join();
    return outcome.get();  // rethrows the run's exception unchanged on this thread
}

}  // namespace Tarnivale::AI
