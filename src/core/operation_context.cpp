#include <tarnivale/core/operations/operation_context.h>

#include <atomic>

namespace Tarnivale::Core::Operations {

struct OperationContext::State {
    std::atomic<bool> cancelled{false};
    std::atomic<std::int64_t> memoryBudgetBytes{0};
};

OperationContext::OperationContext() : m_state(std::make_shared<State>()) {}

void OperationContext::requestCancellation() {
    m_state->cancelled.store(true, std::memory_order_release);
}

bool OperationContext::isCancellationRequested() const {
    return m_state->cancelled.load(std::memory_order_acquire);
}

void OperationContext::setMemoryBudgetBytes(std::int64_t bytes) {
    m_state->memoryBudgetBytes.store(bytes, std::memory_order_relaxed);
}

std::int64_t OperationContext::memoryBudgetBytes() const {
    return m_state->memoryBudgetBytes.load(std::memory_order_relaxed);
}

OperationResourcePolicyDecision OperationContext::enforceResourceUsage(const OperationResourceUsage& usage,
                                                                       const QString& operationName,
                                                                       const QString& subject) const {
    const std::int64_t budget = memoryBudgetBytes();
    if (budget != 0 && usage.memoryBytes > budget) {
        throw OperationResourceRefused(
            QStringLiteral("%1 on %2 needs %3 bytes of memory, more than its budget of %4 bytes.")
                .arg(operationName, subject)
                .arg(usage.memoryBytes)
                .arg(budget)
                .toStdString());
    }
    return OperationResourcePolicyDecision{};
}

}  // namespace Tarnivale::Core::Operations
