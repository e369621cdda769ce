// A host may end its process with exit() at any moment while tasks run: the task threads are stopped before
// the libraries they use go away, so the process ends with the host's status, at once and without errors.
// Each moment is a child process (task_exit_host) running two tasks of a slow Dynamic World model.

#include "tasks/task_fixture.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace Tarnivale::AI::Testing;

namespace {

using TaskExit = TaskTest;

struct Ending {
    std::string how;  // "exit N", "signal N" or "hang"
    QByteArray errors;
};

// The host's environment: ours, except that under AddressSanitizer the host unwinds allocations with the fast
// unwinder. The slow one (which the suite's leak suppressions need deep inside ONNX Runtime) makes each host
// run take some ten seconds, so that a loaded machine took sound exits for hangs; a host that exits with its
// tasks running leaks nothing those suppressions cover.
std::vector<std::string> hostEnvironment() {
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        variables.emplace_back(*variable);
        if (variables.back().starts_with("ASAN_OPTIONS=")) {
            variables.back() += ":fast_unwind_on_malloc=1";
        }
    }
    return variables;
}

// Runs the host with the arguments, its standard error into `errorsPath`. A child that has not ended after
// 20 s is taken as hung and killed: a bound that only a deadlock reaches.
Ending runHost(const std::vector<std::string>& arguments, const QString& errorsPath) {
    std::vector<std::string> all{TARNIVALE_TASK_EXIT_HOST};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> variables = hostEnvironment();
    std::vector<char*> envp;
    for (std::string& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    const QByteArray errorsFile = QFile::encodeName(errorsPath);
    posix_spawn_file_actions_addopen(&files, 2, errorsFile.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &files, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    if (spawned != 0) {
        return {"not started", {}};
    }
    Ending ending;
    int status = 0;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > limit) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ending.how = "hang";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (ending.how.empty()) {
        ending.how = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                       : "signal " + std::to_string(WTERMSIG(status));
    }
    QFile errors(errorsPath);
    errors.open(QIODevice::ReadOnly);
    ending.errors = errors.readAll();
    return ending;
}

}  // namespace

TEST_F(TaskExit, AnExitAtAnyMomentOfRunningTasksEndsTheProcessCleanly) {
    // Two tiles of a model slow enough that the early moments fall into the task's set-up, session and run.
    QJsonObject request = scene("scene", 120, 64, [](int x, int y) { return (x / 8 + y / 8) % 9; });
    request["modelPackagePath"] = writePackage("slow", "google-dynamicworld", "dynamic_world_slow.onnx");
    const QString requestPath = path("request.json");
    QFile file(requestPath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(request).toJson(QJsonDocument::Compact));
    file.close();

    std::vector<std::vector<std::string>> moments;
    for (const char* microseconds :
         {"0", "100", "500", "1000", "2000", "3000", "4000", "6000", "10000", "20000", "30000", "40000",
          "50000", "60000", "80000", "100000", "150000", "200000"}) {
        moments.push_back({"after", microseconds});
    }
    // Moments of the task itself, whatever the machine's speed: the package check and the session's
    // creation (1 %), the second tile (the first one done), polygonisation on the task's own thread.
    moments.push_back({"percent", "1"});
    moments.push_back({"percent", "2"});
    moments.push_back({"worker"});
    for (const std::vector<std::string>& moment : moments) {
        std::vector<std::string> arguments{requestPath.toStdString(), "2"};
        arguments.insert(arguments.end(), moment.begin(), moment.end());
        const Ending ending = runHost(arguments, path("errors.txt"));
        const std::string name = moment.front() + (moment.size() > 1 ? " " + moment.back() : "");
        EXPECT_EQ(ending.how, "exit 0") << name << "\n" << ending.errors.constData();
        // Sanitizer builds: no report of any kind (the ONNX Runtime's own log lines are allowed).
        for (const char* report : {"Sanitizer", "runtime error:"}) {
            EXPECT_FALSE(ending.errors.contains(report)) << name << "\n" << ending.errors.constData();
        }
        // Every workspace went with its task; whatever stayed is cleared, so that each moment answers for its
        // own.
        const QStringList left = leftovers();
        EXPECT_TRUE(left.isEmpty()) << name << " left " << left.join(QLatin1Char(' ')).toStdString();
        QDir(temporary).removeRecursively();
        QDir().mkpath(temporary);
    }
}
