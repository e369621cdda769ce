#include <tarnivale/core/operations/operation_context.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace Tarnivale::Core::Operations;

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

TEST(OperationContext, EnforcesTheMemoryBudget) {
    OperationContext context;
    const OperationResourceUsage huge{std::int64_t{1} << 50};
    const QString operation = QStringLiteral("Tarnivale.AI.RasterInference");

    // No budget: everything is allowed.
    EXPECT_TRUE(context.enforceResourceUsage(huge, operation, QStringLiteral("a.tif")).allowed);

    context.setMemoryBudgetBytes(1000);
    const OperationContext copy = context;
    EXPECT_EQ(copy.memoryBudgetBytes(), 1000);
    EXPECT_NO_THROW(
        copy.enforceResourceUsage(OperationResourceUsage{1000}, operation, QStringLiteral("a.tif")));
    try {
        copy.enforceResourceUsage(OperationResourceUsage{1001}, operation, QStringLiteral("a.tif"));
        FAIL() << "a usage over the budget must be refused";
    } catch (const OperationResourceRefused& refused) {
        const QString message = QString::fromUtf8(refused.what());
        EXPECT_TRUE(message.contains(QStringLiteral("1001"))) << refused.what();
        EXPECT_TRUE(message.contains(QStringLiteral("a.tif"))) << refused.what();
    }

    context.setMemoryBudgetBytes(-1);
    EXPECT_THROW(context.enforceResourceUsage(OperationResourceUsage{0}, operation, QString()),
                 OperationResourceRefused);
}
