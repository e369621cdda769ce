// The task functions as a host uses them: start checks, identifiers and limits, states, cancellation,
// deadlines, release, and many threads at once.

#include <tarnivale/ai/interop.h>

#include "support/raster_fixture.h"
#include "tasks/task_fixture.h"
#include "tasks/task_table.h"
#include "tasks/task_worker.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonDocument>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

namespace {

QString startError(const QByteArray& json) {
    EXPECT_EQ(TarnivaleAI_StartTaskUtf8(json.constData()), 0u) << json.left(200).constData();
    return lastTaskError();
}

QString startError(const QJsonObject& request) {
    return startError(QJsonDocument(request).toJson(QJsonDocument::Compact));
}

// A task that fails quickly in its worker: a kind this build does not carry.
QJsonObject unavailableRequest() {
    return QJsonObject{{QStringLiteral("task"), QStringLiteral("prue-fields")},
                       {QStringLiteral("modelPackagePath"), QStringLiteral("package")},
                       {QStringLiteral("rasterPath"), QStringLiteral("raster.tif")}};
}

// Task worker threads still running (the workers' own count: GDAL keeps a worker pool of its own that grows
// with concurrent writes and lives as long as the process, so a count of all threads would not tell).
int taskThreadCount() {
    return Tasks::runningTaskWorkers();
}

class TaskApi : public TaskTest {
protected:
    // A nine-band raster whose run takes seconds with the slow model (one tile per 64 x 64 window).
    QJsonObject slowRequest() {
        const QString slowPackage = writeDynamicWorldPackage(path(QStringLiteral("slow-package")),
                                                             QStringLiteral("dynamic_world_slow.onnx"));
        const QString raster = path(QStringLiteral("slow.tif"));
        const QString mask = path(QStringLiteral("slow-mask.tif"));
        writeNineBandRaster(raster, 512, 512, [](int x, int) { return x % 9; });
        writeValidityMask(mask, 512, 512, [](int, int) { return true; });
        QJsonObject request = dynamicWorldRequest(raster, mask);
        request.insert(QStringLiteral("modelPackagePath"), slowPackage);
        return request;
    }
};

}  // namespace

TEST_F(TaskApi, StartChecksTheEnvelopeInOrder) {
    EXPECT_EQ(TarnivaleAI_StartTaskUtf8(nullptr), 0u);
    EXPECT_EQ(lastTaskError(), QStringLiteral("Task JSON is null."));
    EXPECT_EQ(startError(QByteArray("[1]")), QStringLiteral("Invalid task JSON object."));
    EXPECT_EQ(startError(QByteArray("{\"task\": ")), QStringLiteral("Invalid task JSON object."));
    // A lone continuation byte inside a string is refused even though the JSON parser would take it.
    EXPECT_EQ(startError(QByteArray("{\"task\": \"dynamic-world\x80\"}")),
              QStringLiteral("Task JSON must be valid UTF-8."));

    QJsonObject request = unavailableRequest();
    request.insert(QStringLiteral("task"), QStringLiteral("Dynamic-World"));
    EXPECT_EQ(startError(request), QStringLiteral("Unsupported AI task kind."));
    request = unavailableRequest();
    request.remove(QStringLiteral("modelPackagePath"));
    request.insert(QStringLiteral("maximumMilliseconds"), 0);  // later checks wait for the earlier ones
    EXPECT_EQ(startError(request), QStringLiteral("Required task path is missing or invalid."));
    request = unavailableRequest();
    request.insert(QStringLiteral("rasterPath"), QStringLiteral("a\u0000b"));
    EXPECT_EQ(startError(request), QStringLiteral("Required task path is missing or invalid."));
    request.insert(QStringLiteral("rasterPath"), 7);
    EXPECT_EQ(startError(request), QStringLiteral("Required task path is missing or invalid."));

    request = unavailableRequest();
    request.insert(QStringLiteral("task"), QStringLiteral("dynamic-world"));
    EXPECT_EQ(startError(request), QStringLiteral("Required task path is missing or invalid."));

    request = unavailableRequest();
    request.insert(QStringLiteral("task"), QStringLiteral("hotosm-buildings"));
    request.insert(QStringLiteral("threshold"), QStringLiteral("0.5"));
    EXPECT_EQ(startError(request), QStringLiteral("Building threshold must be a number."));
    for (const double threshold : {0.0, 1.0, -0.2}) {
        request.insert(QStringLiteral("threshold"), threshold);
        EXPECT_EQ(startError(request), QStringLiteral("Building threshold must be between zero and one."));
    }

    const QString deadline = QStringLiteral("Task deadline must be 1..3600000 milliseconds.");
    const QString threads = QStringLiteral("Invalid task thread count.");
    for (const QJsonValue& value : {QJsonValue(0), QJsonValue(3600001), QJsonValue(-5), QJsonValue(1.5),
                                    QJsonValue(QStringLiteral("100"))}) {
        request = unavailableRequest();
        request.insert(QStringLiteral("maximumMilliseconds"), value);
        request.insert(QStringLiteral("intraOpThreads"), 0);
        EXPECT_EQ(startError(request), deadline);
    }
    for (const int count : {0, 65, -1}) {
        request = unavailableRequest();
        request.insert(QStringLiteral("intraOpThreads"), count);
        EXPECT_EQ(startError(request), threads);
    }

    // Accepted edges; each start empties the error slot.
    for (const QJsonObject& accepted :
         {QJsonObject{{QStringLiteral("maximumMilliseconds"), 1}, {QStringLiteral("intraOpThreads"), 1}},
          QJsonObject{{QStringLiteral("maximumMilliseconds"), 3600000},
                      {QStringLiteral("intraOpThreads"), 64}}}) {
        request = unavailableRequest();
        for (auto it = accepted.begin(); it != accepted.end(); ++it) {
            request.insert(it.key(), it.value());
        }
        const std::uint64_t id = startTask(request);
        EXPECT_NE(id, 0u) << lastTaskError().toStdString();
        EXPECT_EQ(lastTaskError(), QString());
        EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    }
}

TEST_F(TaskApi, TaskJsonIsLimitedToOneMebibyteWithoutReadingPastIt) {
    // Exactly 1 MiB of text (padded with spaces inside the object) is accepted.
    QByteArray exact = QJsonDocument(unavailableRequest()).toJson(QJsonDocument::Compact);
    exact.insert(1, QByteArray(1048576 - exact.size(), ' '));
    ASSERT_EQ(exact.size(), 1048576);
    const std::uint64_t id = TarnivaleAI_StartTaskUtf8(exact.constData());
    EXPECT_NE(id, 0u) << lastTaskError().toStdString();
    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);

    exact.insert(1, ' ');
    EXPECT_EQ(startError(exact), QStringLiteral("Task JSON exceeds 1 MiB."));
    // A buffer of 1 MiB + 1 bytes with no terminator at all: the sanitizer builds catch any read beyond it.
    const std::vector<char> unterminated(1048577, ' ');
    EXPECT_EQ(TarnivaleAI_StartTaskUtf8(unterminated.data()), 0u);
    EXPECT_EQ(lastTaskError(), QStringLiteral("Task JSON exceeds 1 MiB."));
}

TEST_F(TaskApi, IdentifiersIncreaseAndLiveTasksAreLimited) {
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < 32; ++i) {
        ids.push_back(startTask(unavailableRequest()));
        ASSERT_NE(ids.back(), 0u) << lastTaskError().toStdString();
        if (i > 0) {
            EXPECT_EQ(ids[i], ids[i - 1] + 1);
        }
    }
    // Finished tasks count until released.
    for (const std::uint64_t id : ids) {
        EXPECT_EQ(waitForTask(id).value(QStringLiteral("state")).toString(), QStringLiteral("failed"));
    }
    EXPECT_EQ(startError(unavailableRequest()),
              QStringLiteral("Too many live AI tasks. Release unused task IDs."));
    EXPECT_EQ(TarnivaleAI_ReleaseTask(ids.front()), 1);
    const std::uint64_t next = startTask(unavailableRequest());
    EXPECT_EQ(next, ids.back() + 1);
    ids.front() = next;

    // The identifier ceiling: 2^53 - 1 is the last one issued.
    EXPECT_EQ(TarnivaleAI_ReleaseTask(ids.back()), 1);
    ids.pop_back();
    Tasks::TaskTable::instance().setNextIdentifierForTesting(9007199254740991ULL);
    const std::uint64_t last = startTask(unavailableRequest());
    EXPECT_EQ(last, 9007199254740991ULL);
    EXPECT_EQ(taskStatus(last).value(QStringLiteral("taskId")).toInteger(), 9007199254740991LL);
    EXPECT_EQ(TarnivaleAI_ReleaseTask(last), 1);
    EXPECT_EQ(startError(unavailableRequest()), QStringLiteral("AI task ID space exhausted."));
    // Back to unused identifiers, for the tests that follow in this process.
    Tasks::TaskTable::instance().setNextIdentifierForTesting(next + 1000);
    for (const std::uint64_t id : ids) {
        EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    }
    EXPECT_EQ(TarnivaleAI_ReleaseTask(0), 0);
    EXPECT_EQ(lastTaskError(), QStringLiteral("Unknown or released AI task ID."));
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u',').toStdString();
}

TEST_F(TaskApi, WorkerFailuresAreReportedThroughTheStatus) {
    const std::uint64_t id = startTask(unavailableRequest());
    ASSERT_NE(id, 0u);
    const QJsonObject status = waitForTask(id);
    EXPECT_EQ(status.value(QStringLiteral("state")).toString(), QStringLiteral("failed"));
    EXPECT_EQ(status.value(QStringLiteral("error")).toString(),
              QStringLiteral("AI task kind \"prue-fields\" is not available in this build."));
    EXPECT_EQ(status.value(QStringLiteral("message")), status.value(QStringLiteral("error")));
    EXPECT_EQ(status.value(QStringLiteral("schemaVersion")).toString(), QStringLiteral("1.0"));
    EXPECT_EQ(status.value(QStringLiteral("taskId")).toInteger(), static_cast<qint64>(id));
    EXPECT_LT(status.value(QStringLiteral("percent")).toInt(), 100);
    EXPECT_EQ(status.value(QStringLiteral("totalTiles")).toInt(), 0);
    // Keys come sorted and compact.
    const QByteArray text = TaskString(TarnivaleAI_GetTaskStatusUtf8(id)).bytes();
    EXPECT_TRUE(text.startsWith("{\"completedTiles\":0,\"error\":")) << text.constData();

    EXPECT_TRUE(TaskString(TarnivaleAI_GetTaskResultUtf8(id)).isNull());
    EXPECT_EQ(lastTaskError(), QStringLiteral("AI task has no completed result."));
    EXPECT_EQ(TarnivaleAI_CancelTask(id), 0);
    EXPECT_EQ(lastTaskError(), QStringLiteral("AI task is already terminal."));
    EXPECT_TRUE(leftovers().isEmpty());  // a failed task's workspace goes with its worker

    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    EXPECT_EQ(lastTaskError(), QString());
    for (const auto& call : std::vector<std::function<bool()>>{
             [&] { return TaskString(TarnivaleAI_GetTaskStatusUtf8(id)).isNull(); },
             [&] { return TaskString(TarnivaleAI_GetTaskResultUtf8(id)).isNull(); },
             [&] { return TarnivaleAI_CancelTask(id) == 0; },
             [&] { return TarnivaleAI_ReleaseTask(id) == 0; },
             [&] { return TaskString(TarnivaleAI_ExportTaskResultUtf8(id, "{}")).isNull(); }}) {
        EXPECT_TRUE(call());
        EXPECT_EQ(lastTaskError(), QStringLiteral("Unknown or released AI task ID."));
    }
}

TEST_F(TaskApi, CancellingARunningTaskEndsItCancelled) {
    const std::uint64_t id = startTask(slowRequest());
    ASSERT_NE(id, 0u) << lastTaskError().toStdString();
    const QJsonObject running = waitForStatus(id, [](const QJsonObject& status) {
        return status.value(QStringLiteral("completedTiles")).toInt() >= 1;
    });
    ASSERT_EQ(running.value(QStringLiteral("state")).toString(), QStringLiteral("running"));
    EXPECT_GT(running.value(QStringLiteral("totalTiles")).toInt(), 1);
    EXPECT_TRUE(TaskString(TarnivaleAI_GetTaskResultUtf8(id)).isNull());
    EXPECT_EQ(lastTaskError(), QStringLiteral("AI task has no completed result."));

    EXPECT_EQ(TarnivaleAI_CancelTask(id), 1);
    EXPECT_EQ(TarnivaleAI_CancelTask(id), 1) << lastTaskError().toStdString();
    int percent = running.value(QStringLiteral("percent")).toInt();
    const QJsonObject status = waitForTask(id, [&](const QJsonObject& seen) {
        EXPECT_GE(seen.value(QStringLiteral("percent")).toInt(), percent);
        percent = seen.value(QStringLiteral("percent")).toInt();
        const QString state = seen.value(QStringLiteral("state")).toString();
        EXPECT_TRUE(state == QLatin1String("cancelling") || state == QLatin1String("cancelled"))
            << state.toStdString();
    });
    EXPECT_EQ(status.value(QStringLiteral("state")).toString(), QStringLiteral("cancelled"));
    EXPECT_EQ(status.value(QStringLiteral("error")).toString(), QStringLiteral("AI task cancelled."));
    EXPECT_LT(status.value(QStringLiteral("percent")).toInt(), 100);
    EXPECT_EQ(TarnivaleAI_CancelTask(id), 0);
    EXPECT_EQ(lastTaskError(), QStringLiteral("AI task is already terminal."));
    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u',').toStdString();
}

TEST_F(TaskApi, ADeadlinePassingMidRunFailsTheTask) {
    QJsonObject request = slowRequest();
    request.insert(QStringLiteral("maximumMilliseconds"), 400);
    const std::uint64_t id = startTask(request);
    ASSERT_NE(id, 0u);
    const QJsonObject status = waitForTask(id);
    EXPECT_EQ(status.value(QStringLiteral("state")).toString(), QStringLiteral("failed"));
    EXPECT_EQ(status.value(QStringLiteral("error")).toString(), QStringLiteral("AI task deadline exceeded."));
    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
}

TEST_F(TaskApi, ReleasingARunningTaskStopsItAndRemovesItsWorkspace) {
    const std::uint64_t id = startTask(slowRequest());
    ASSERT_NE(id, 0u);
    waitForStatus(id, [](const QJsonObject& status) {
        return status.value(QStringLiteral("completedTiles")).toInt() >= 1;
    });
    EXPECT_EQ(taskThreadCount(), 1);
    ASSERT_EQ(leftovers().size(), 1);  // the running task's workspace
    EXPECT_EQ(TarnivaleAI_ReleaseTask(id), 1);
    EXPECT_TRUE(leftovers().isEmpty());
    EXPECT_TRUE(TaskString(TarnivaleAI_GetTaskStatusUtf8(id)).isNull());
    EXPECT_EQ(taskThreadCount(), 0);  // the worker has been joined
}

// Many host threads starting, polling, cancelling, exporting and releasing at once (run under
// ThreadSanitizer by `make test-tsan`): every call answers, and no thread or workspace is left behind.
TEST_F(TaskApi, ManyThreadsDriveTasksAtOnce) {
    const QString raster = path(QStringLiteral("small.tif"));
    const QString mask = path(QStringLiteral("small-mask.tif"));
    writeNineBandRaster(raster, 40, 30, [](int x, int y) { return (x / 10 + y / 10) % 9; });
    writeValidityMask(mask, 40, 30, [](int x, int) { return x > 3; });
    const QJsonObject real = dynamicWorldRequest(raster, mask);
    QJsonObject broken = real;
    broken.insert(QStringLiteral("rasterPath"), path(QStringLiteral("missing.tif")));
    const std::vector<QJsonObject> requests = {real, broken, unavailableRequest()};
    std::atomic<int> completed{0};
    std::atomic<int> unexpected{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 6; ++t) {
        hosts.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            for (int round = 0; round < 6; ++round) {
                const QJsonObject& request = requests[random() % requests.size()];
                const std::uint64_t id = startTask(request);
                if (id == 0) {
                    // The live limit may be reached by the other threads; anything else is a defect.
                    if (lastTaskError() !=
                        QLatin1String("Too many live AI tasks. Release unused task IDs.")) {
                        ++unexpected;
                    }
                    continue;
                }
                const int action = static_cast<int>(random() % 3);
                if (action == 0) {
                    TarnivaleAI_CancelTask(id);
                }
                if (action <= 1) {
                    const QJsonObject status = waitForTask(id);
                    if (status.value(QStringLiteral("state")).toString() == QLatin1String("completed")) {
                        ++completed;
                        if (TaskString(TarnivaleAI_GetTaskResultUtf8(id)).isNull()) {
                            ++unexpected;
                        }
                    }
                } else {
                    TaskString(TarnivaleAI_GetTaskStatusUtf8(id));
                }
                if (TarnivaleAI_ReleaseTask(id) != 1) {
                    ++unexpected;
                }
            }
        });
    }
    // A thread polling identifiers that may or may not exist.
    std::atomic<bool> done{false};
    std::thread poller([&] {
        while (!done) {
            for (std::uint64_t id = 1; id < 80; ++id) {
                TaskString(TarnivaleAI_GetTaskStatusUtf8(id));
            }
        }
    });
    for (std::thread& host : hosts) {
        host.join();
    }
    done = true;
    poller.join();
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u',').toStdString();
    EXPECT_EQ(taskThreadCount(), 0);
}
