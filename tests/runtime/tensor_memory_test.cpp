#include <tarnivale/ai/runtime.h>

#include "runtime/ort_api.h"
#include "runtime/tensor_memory.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace Tarnivale::AI;
using Tarnivale::AI::Ort::tensorMemoryStatistics;
using Tarnivale::AI::Testing::testModelPath;

namespace {

// A 512 x 512 three-band tile: the network's intermediate tensors are megabytes each.
AiTensor tile(float offset) {
    AiTensor tensor;
    tensor.name = QStringLiteral("input");
    tensor.dataType = AiTensorDataType::Float32;
    tensor.shape = {1, 3, 512, 512};
    std::vector<float> values(3 * 512 * 512);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(i % 977) * 0.01f + offset;
    }
    tensor.data = QByteArray(reinterpret_cast<const char*>(values.data()),
                             static_cast<qsizetype>(values.size() * sizeof(float)));
    return tensor;
}

}  // namespace

TEST(TensorMemory, LargeTensorsAreReusedWhileSessionsLiveAndReturnedAfterTheLast) {
    if (tensorMemoryStatistics().liveLeases != 0) {
        // ctest runs each test in a process of its own; a whole-binary run has other tests' cached sessions.
        GTEST_SKIP() << "sessions of other tests are alive in this process";
    }
    ASSERT_EQ(tensorMemoryStatistics().mappedBytes, 0);

    std::optional<AiSession> first(std::in_place, testModelPath(QStringLiteral("conv_stack.onnx")),
                                   AiSessionOptions{});
    const QByteArray once = first->run({tile(0)}).outputs.front().data;
    EXPECT_GT(tensorMemoryStatistics().mappedBytes, 1 << 20)
        << "large tensors come from the library's allocator";
    EXPECT_GT(tensorMemoryStatistics().keptBlocks, 0) << "and are kept for the next run";

    // The runtime plans its memory on the first run and allocates the plan from the second on; from then
    // runs reuse the kept blocks (no new mappings), and reused memory that is not zero any more does not
    // change a result.
    const QByteArray other = first->run({tile(1)}).outputs.front().data;
    const long long mapped = tensorMemoryStatistics().mappedBytes;
    const QByteArray again = first->run({tile(0)}).outputs.front().data;
    EXPECT_NE(other, once);
    EXPECT_EQ(again, once);
    EXPECT_EQ(first->run({tile(1)}).outputs.front().data, other);
    EXPECT_EQ(tensorMemoryStatistics().mappedBytes, mapped);

    // A second session shares the allocator; the kept blocks outlive the first session while it lives.
    std::optional<AiSession> second(std::in_place, testModelPath(QStringLiteral("conv_stack.onnx")),
                                    AiSessionOptions{});
    EXPECT_EQ(tensorMemoryStatistics().liveLeases, 2);
    first.reset();
    EXPECT_EQ(tensorMemoryStatistics().liveLeases, 1);
    EXPECT_GT(tensorMemoryStatistics().mappedBytes, 0);
    EXPECT_EQ(second->run({tile(0)}).outputs.front().data, once);

    // Nothing stays mapped once no session lives, and a new session (with a new environment) registers
    // the allocator again.
    second.reset();
    EXPECT_EQ(tensorMemoryStatistics().liveLeases, 0);
    EXPECT_EQ(tensorMemoryStatistics().keptBlocks, 0);
    EXPECT_EQ(tensorMemoryStatistics().mappedBytes, 0);
    std::optional<AiSession> third(std::in_place, testModelPath(QStringLiteral("conv_stack.onnx")),
                                   AiSessionOptions{});
    EXPECT_EQ(third->run({tile(0)}).outputs.front().data, once);
    EXPECT_GT(tensorMemoryStatistics().mappedBytes, 0);

    // The environment is one per process: a host that keeps it alive between our sessions must not stop
    // the next session from using the allocator.
    const Ort::Owned<OrtEnv> host = Ort::createEnvironment("host");
    third.reset();
    EXPECT_EQ(tensorMemoryStatistics().mappedBytes, 0);
    const AiSession fourth(testModelPath(QStringLiteral("conv_stack.onnx")), AiSessionOptions{});
    EXPECT_EQ(fourth.run({tile(0)}).outputs.front().data, once);
    EXPECT_GT(tensorMemoryStatistics().mappedBytes, 0);
}
