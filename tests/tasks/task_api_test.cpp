// The task functions as a host uses them: start checks, identifiers and limits, the kinds, a deadline and a
// release on a running task, and many threads at once.

#include "../../tools/task_kinds.h"
#include "tasks/task_fixture.h"
#include "tasks/task_kinds.h"
#include "tasks/task_table.h"
#include "tasks/task_worker.h"

#include <QFileInfo>

#include <atomic>
#include <thread>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

std::string startError(const QByteArray& json) {
    EXPECT_EQ(TarnivaleAI_StartTaskUtf8(json.constData()), 0u) << json.left(200).constData();
    return lastTaskError();
}

// A request that starts and fails at once in its worker (its raster does not exist), the given keys replaced.
QByteArray unavailable(const QJsonObject& changes = {}) {
    QJsonObject request{{"task", "prue-fields"}, {"modelPackagePath", "package"}, {"rasterPath", "r.tif"}};
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        request.insert(it.key(), it.value());
    }
    return QJsonDocument(request).toJson(QJsonDocument::Compact);
}

using TaskApi = TaskTest;

}  // namespace

TEST_F(TaskApi, StartRefusesWithTheFirstFailedCheckAndAcceptsTheEdges) {
    const std::string path = "Required task path is missing or invalid.";
    std::vector<std::pair<QByteArray, std::string>> refused = {
        {"[1]", "Invalid task JSON object."},
        {"{\"task\": ", "Invalid task JSON object."},
        // A lone continuation byte inside a string, which the JSON parser alone would take.
        {"{\"task\": \"dynamic-world\x80\"}", "Task JSON must be valid UTF-8."},
        {unavailable({{"task", "Dynamic-World"}}), "Unsupported AI task kind."},
        // Later checks wait for the earlier ones.
        {unavailable({{"modelPackagePath", ""}, {"maximumMilliseconds", 0}}), path},
        {unavailable({{"rasterPath", QStringLiteral("a\u0000b")}}), path},
        {unavailable({{"rasterPath", 7}}), path},
        {unavailable({{"task", "dynamic-world"}}), path},  // no validity mask
    };
    for (const char* kind : {"hotosm-buildings", "geoai-usa-buildings"}) {
        refused.emplace_back(unavailable({{"task", kind}, {"threshold", "0.5"}}),
                             "Building threshold must be a number.");
        for (const double threshold : {0.0, 1.0, -0.2}) {
            refused.emplace_back(unavailable({{"task", kind}, {"threshold", threshold}}),
                                 "Building threshold must be between zero and one.");
        }
    }
    for (const QJsonValue& deadline :
         {QJsonValue(0), QJsonValue(3600001), QJsonValue(-5), QJsonValue(1.5), QJsonValue("9")}) {
        refused.emplace_back(unavailable({{"maximumMilliseconds", deadline}, {"intraOpThreads", 0}}),
                             "Task deadline must be 1..3600000 milliseconds.");
    }
    for (const int threads : {0, 65, -1}) {
        refused.emplace_back(unavailable({{"intraOpThreads", threads}}), "Invalid task thread count.");
    }
    EXPECT_EQ(TarnivaleAI_StartTaskUtf8(nullptr), 0u);
    EXPECT_EQ(lastTaskError(), "Task JSON is null.");
    for (const auto& [json, error] : refused) {
        EXPECT_EQ(startError(json), error) << json.constData();
    }
    // Each accepted start empties the error slot the refusal before it filled.
    for (const QByteArray& accepted :
         {unavailable({{"maximumMilliseconds", 1}, {"intraOpThreads", 1}}),
          unavailable({{"maximumMilliseconds", 3600000}, {"intraOpThreads", 64}}),
          unavailable({{"task", "hotosm-buildings"}, {"threshold", 0.5}})}) {
        EXPECT_EQ(startError("[]"), "Invalid task JSON object.");
        const std::uint64_t id = TarnivaleAI_StartTaskUtf8(accepted.constData());
        EXPECT_EQ(lastTaskError(), "");
        EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    }
    // Exactly 1 MiB of text (spaces inside the object) is accepted, one byte more is not, and 1 MiB + 1 bytes
    // without a terminator are not read beyond (the sanitizer builds would see it).
    QByteArray exact = unavailable();
    exact.insert(1, QByteArray(1048576 - exact.size(), ' '));
    EXPECT_EQ(TarnivaleAI_ReleaseTask(TarnivaleAI_StartTaskUtf8(exact.constData())), 1) << lastTaskError();
    EXPECT_EQ(startError(exact.insert(1, ' ')), "Task JSON exceeds 1 MiB.");
    const std::vector<char> unterminated(1048577, ' ');
    EXPECT_EQ(TarnivaleAI_StartTaskUtf8(unterminated.data()), 0u);
    EXPECT_EQ(lastTaskError(), "Task JSON exceeds 1 MiB.");
}

TEST_F(TaskApi, IdentifiersIncreaseAndLiveTasksAreLimited) {
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < 32; ++i) {
        ids.push_back(TarnivaleAI_StartTaskUtf8(unavailable()));
        ASSERT_NE(ids.back(), 0u) << lastTaskError();
        EXPECT_TRUE(i == 0 || ids[i] == ids[i - 1] + 1);
    }
    for (const std::uint64_t id : ids) {  // finished tasks count until released
        EXPECT_EQ(text(waitForTask(id), "state"), "failed");
    }
    EXPECT_EQ(startError(unavailable()), "Too many live AI tasks. Release unused task IDs.");
    EXPECT_EQ(TarnivaleAI_ReleaseTask(ids.front()), 1);
    ids.front() = TarnivaleAI_StartTaskUtf8(unavailable());
    EXPECT_EQ(ids.front(), ids.back() + 1);
    // 2^53 - 1 is the last identifier issued.
    Tasks::TaskTable::instance().setNextIdentifierForTesting(9007199254740991ULL);
    EXPECT_EQ(TarnivaleAI_ReleaseTask(ids.back()), 1);
    ids.back() = TarnivaleAI_StartTaskUtf8(unavailable());
    EXPECT_EQ(field(taskStatus(ids.back()), "taskId").toInteger(), 9007199254740991LL);
    EXPECT_EQ(startError(unavailable()), "Too many live AI tasks. Release unused task IDs.");
    EXPECT_EQ(TarnivaleAI_ReleaseTask(ids.back()), 1);
    EXPECT_EQ(startError(unavailable()), "AI task ID space exhausted.");
    Tasks::TaskTable::instance().setNextIdentifierForTesting(ids.front() + 1000);  // for the tests after
    ids.pop_back();
    for (const std::uint64_t id : ids) {
        EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    }
    EXPECT_EQ(TarnivaleAI_ReleaseTask(0), 0);
    EXPECT_EQ(lastTaskError(), "Unknown or released AI task ID.");
    EXPECT_TRUE(leftovers().isEmpty());
}

TEST_F(TaskApi, KindsAreTheCommandLinesAndAFailedTaskEndsItsLifecycle) {
    QStringList kinds;
    for (const Tarnivale::Cli::TaskKindEntry& kind : Tarnivale::Cli::TaskKinds) {
        kinds.append(kind.name);
    }
    EXPECT_EQ(kinds.join(u' ').toStdString(), Tasks::taskKindNames().join(u' ').toStdString());
    const auto expectError = [](bool failed, const std::string& error) {
        EXPECT_TRUE(failed);
        EXPECT_EQ(lastTaskError(), error);
    };
    {
        const std::uint64_t id = TarnivaleAI_StartTaskUtf8(unavailable());
        const QJsonObject status = waitForTask(id);
        EXPECT_EQ(text(status, "state"), "failed");
        EXPECT_EQ(text(status, "error"), "PRUE requires eight aligned bi-temporal RGBN bands.");
        EXPECT_TRUE(leftovers().isEmpty());  // a failed task's workspace goes with its worker
        expectError(TarnivaleAI_GetTaskResultUtf8(id) == nullptr, "AI task has no completed result.");
        expectError(TarnivaleAI_CancelTask(id) == 0, "AI task is already terminal.");
        expectError(
            TarnivaleAI_ExportTaskResultUtf8(id, R"({"format": "geotiff", "path": "x.tif"})") == nullptr,
            "Only completed AI tasks can be exported.");
        EXPECT_FALSE(QFileInfo::exists("x.tif"));
        expectError(TarnivaleAI_ReleaseTask(id) == 1, "");
        const std::string unknown = "Unknown or released AI task ID.";
        expectError(TarnivaleAI_GetTaskStatusUtf8(id) == nullptr, unknown);
        expectError(TarnivaleAI_GetTaskResultUtf8(id) == nullptr, unknown);
        expectError(TarnivaleAI_CancelTask(id) == 0, unknown);
        expectError(TarnivaleAI_ReleaseTask(id) == 0, unknown);
        expectError(TarnivaleAI_ExportTaskResultUtf8(id, "{}") == nullptr, unknown);
    }
    // An estimate checks as start does, then fails as the run would; kinds off the executor have none.
    expectError(TarnivaleAI_EstimateTaskUtf8("[1]") == nullptr, "Invalid task JSON object.");
    expectError(TarnivaleAI_EstimateTaskUtf8(unavailable()) == nullptr,
                "PRUE requires eight aligned bi-temporal RGBN bands.");
    expectError(TarnivaleAI_EstimateTaskUtf8(unavailable({{"task", "prithvi-flood"}})) == nullptr,
                "AI task kind has no estimate: prithvi-flood");
    EXPECT_TRUE(leftovers().isEmpty());
}

// Held in polygonisation until interrupted, a task meets its deadline, or its release, there whatever the
// machine's speed (a deadline passing sooner gives the same outcome).
TEST_F(TaskApi, ADeadlinePassingMidRunFailsTheTask) {
    holdPolygonisation(Hold::UntilInterrupted);
    QJsonObject request = scene("scene", 16, 16, [](int x, int) { return x % 9; });
    request.insert("maximumMilliseconds", 300);
    const QJsonObject status = finish(request);
    EXPECT_EQ(text(status, "state"), "failed");
    EXPECT_EQ(text(status, "error"), "AI task deadline exceeded.");
}

TEST_F(TaskApi, ReleasingARunningTaskStopsItAndRemovesItsWorkspace) {
    holdPolygonisation(Hold::UntilInterrupted);
    const std::uint64_t id = startTask(scene("scene", 16, 16, [](int x, int) { return x % 9; }));
    ASSERT_TRUE(waitUntilHeld(id)) << text(taskStatus(id), "error");
    EXPECT_EQ(Tasks::runningTaskWorkers(), 1);
    EXPECT_EQ(leftovers().size(), 1);  // the running task's workspace
    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    EXPECT_TRUE(leftovers().isEmpty());
    EXPECT_EQ(TarnivaleAI_GetTaskStatusUtf8(id), nullptr);
    EXPECT_EQ(Tasks::runningTaskWorkers(), 0);  // the worker has been joined
}

// Many host threads starting, polling, cancelling and releasing at once, one more polling identifiers that
// may or may not exist (run under ThreadSanitizer by `make test-tsan`): every call answers, and no thread or
// workspace is left behind.
TEST_F(TaskApi, ManyThreadsDriveTasksAtOnce) {
    const QJsonObject real = scene(
        "small", 40, 30, [](int x, int y) { return (x / 10 + y / 10) % 9; },
        [](int x, int) { return x > 3; });
    QJsonObject broken = real;
    broken.insert("rasterPath", path("missing.tif"));
    const QByteArray requests[] = {QJsonDocument(real).toJson(), QJsonDocument(broken).toJson(),
                                   unavailable()};
    std::atomic<int> unexpected{0};
    {
        const std::jthread poller([](std::stop_token stop) {
            for (std::uint64_t id = 1; !stop.stop_requested(); id = id % 80 + 1) {
                taskStatus(id);
            }
        });
        std::vector<std::jthread>
            hosts;  // joined, then the poller stopped and joined, at the end of the block
        for (int t = 1; t <= 6; ++t) {
            hosts.emplace_back([&, t] {
                for (int round = 0; round < 6; ++round) {
                    const std::uint64_t id = TarnivaleAI_StartTaskUtf8(requests[(t + round) % 3].constData());
                    if (id == 0) {  // the other threads may reach the live limit; anything else is a defect
                        unexpected += lastTaskError() != "Too many live AI tasks. Release unused task IDs.";
                        continue;
                    }
                    const int action = (t * round) % 3;
                    if (action == 0) {
                        TarnivaleAI_CancelTask(id);
                    }
                    if (action < 2 && text(waitForTask(id), "state") == "completed") {
                        unexpected += taken(TarnivaleAI_GetTaskResultUtf8(id)).isEmpty();
                    }
                    unexpected += taskStatus(id).isEmpty() + (TarnivaleAI_ReleaseTask(id) != 1);
                }
            });
        }
    }
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u',').toStdString();
    EXPECT_EQ(Tasks::runningTaskWorkers(), 0);
}
