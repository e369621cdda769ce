#include "sam3/sam_raster.h"

#include "runtime/errors.h"

namespace Tarnivale::AI::SamRaster {

Budget::Budget(const AiSamExecutionOptions& options, std::function<bool()> cancellationRequested)
    : m_options(options),
      m_start(std::chrono::steady_clock::now()),
      m_cancellationRequested(std::move(cancellationRequested)) {
    if (options.maximumMilliseconds < 0 || options.maximumHostBytes < 1) {
        throwInvalidArgument(QStringLiteral("Invalid SAM3 execution budget."));
    }
}

void Budget::check() const {
    if (m_cancellationRequested && m_cancellationRequested()) {
        throw AiInferenceInterrupted(AiInferenceStopReason::Cancelled);
    }
    if (m_options.maximumMilliseconds != 0 && std::chrono::steady_clock::now() - m_start >=
                                                  std::chrono::milliseconds(m_options.maximumMilliseconds)) {
        throw AiInferenceInterrupted(AiInferenceStopReason::DeadlineExceeded);
    }
}

AiRunControl Budget::runControl() const {
    check();
    AiRunControl control;
    if (m_options.maximumMilliseconds != 0 || m_cancellationRequested) {
        control.cancellationRequested = [this] {
            check();
            return false;
        };
    }
    return control;
}

}  // namespace Tarnivale::AI::SamRaster
