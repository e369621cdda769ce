#pragma once

// A small stand-in for the host's Tarnivale.Core operation context: cancellation and a memory policy.

#include <tarnivale/ai/export.h>

#include <QString>

#include <cstdint>
#include <memory>
#include <stdexcept>

namespace Tarnivale::Core::Operations {

/// One report of resource usage; only the byte count is filled by the library.
struct TARNIVALE_AI_EXPORT OperationResourceUsage {
    std::int64_t memoryBytes = 0;  ///< current working-memory estimate
};

/// The policy's answer to a report. A refusal is raised as OperationResourceRefused instead.
struct TARNIVALE_AI_EXPORT OperationResourcePolicyDecision {
    bool allowed = true;
};

/// Raised by enforceResourceUsage when a report exceeds the memory budget.
class TARNIVALE_AI_EXPORT OperationResourceRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Copies share one state: a host keeps a copy, hands another to the library inside a request, and
/// cancels or changes the budget through its own copy from any thread.
class TARNIVALE_AI_EXPORT OperationContext {
public:
    OperationContext();

    /// Thread-safe; once set the flag stays set.
    void requestCancellation();
    bool isCancellationRequested() const;

    /// Bytes of working memory the operation may use; 0 means no limit, a negative value refuses everything.
    void setMemoryBudgetBytes(std::int64_t bytes);
    std::int64_t memoryBudgetBytes() const;

    /// Allows the usage or throws OperationResourceRefused when it exceeds the budget.
    OperationResourcePolicyDecision enforceResourceUsage(const OperationResourceUsage& usage,
                                                         const QString& operationName,
                                                         const QString& subject) const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

}  // namespace Tarnivale::Core::Operations
