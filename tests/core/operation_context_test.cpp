#include <tarnivale/core/operations/operation_context.h>

#include "support/expectations.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace Tarnivale::Core::Operations;
using Tarnivale::AI::Testing::errorOf;

TEST(OperationContext, CopiesShareCancellationAcrossThreads) {
    OperationContext host;
    const OperationContext carried = host;  // the library keeps its own copy inside a request
    EXPECT_FALSE(carried.isCancellationRequested());
    std::atomic<bool> seen{false};
    std::thread worker([&] {
        while (!carried.isCancellationRequested()) {
            std::this_thread::yield();
        }
        seen = true;
    });
    host.requestCancellation();
    worker.join();
    EXPECT_TRUE(seen);
    EXPECT_TRUE(OperationContext(carried).isCancellationRequested());
    EXPECT_FALSE(OperationContext().isCancellationRequested());
}

TEST(OperationContext, EnforcesTheMemoryBudgetSharedByCopiesUpToItsLimit) {
    OperationContext context;
    const OperationContext copy = context;
    const QString operation = QStringLiteral("Tarnivale.AI.RasterInference");
    const auto refusal = [&](std::int64_t bytes) {
        return errorOf<OperationResourceRefused>([&] {
            EXPECT_TRUE(copy.enforceResourceUsage({bytes}, operation, QStringLiteral("a.tif")).allowed);
        });
    };
    EXPECT_EQ(refusal(std::int64_t{1} << 50), "no error");  // no budget: everything is allowed
    context.setMemoryBudgetBytes(1000);
    EXPECT_EQ(copy.memoryBudgetBytes(), 1000);
    EXPECT_EQ(refusal(1000), "no error");
    EXPECT_EQ(refusal(1001),
              "Tarnivale.AI.RasterInference on a.tif needs 1001 bytes of memory, more than its budget of "
              "1000 bytes.");
    context.setMemoryBudgetBytes(-1);  // a negative budget refuses everything
    EXPECT_EQ(
        refusal(0),
        "Tarnivale.AI.RasterInference on a.tif needs 0 bytes of memory, more than its budget of -1 bytes.");
}
