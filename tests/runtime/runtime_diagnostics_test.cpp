#include <tarnivale/ai/runtime.h>

#include "support/expectations.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace Tarnivale::AI;
using Tarnivale::AI::Testing::testModelPath;

namespace {

// Sets or clears an environment variable for one test and restores it afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const QByteArray& value)
        : m_name(name), m_old(qgetenv(name)), m_had(qEnvironmentVariableIsSet(name)) {
        if (value.isNull()) {
            qunsetenv(name);
        } else {
            qputenv(name, value);
        }
    }
    ~ScopedEnvironment() {
        if (m_had) {
            qputenv(m_name, m_old);
        } else {
            qunsetenv(m_name);
        }
    }

private:
    const char* m_name;
    QByteArray m_old;
    bool m_had;
};

AiSessionOptions withProvider(AiExecutionProvider provider) {
    AiSessionOptions options;
    options.provider = provider;
    return options;
}

}  // namespace

TEST(RuntimeDiagnostics, ProvidersLibrariesBudgetAndEnvironment) {
    const ScopedEnvironment proj("PROJ_DATA", QByteArray());
    const ScopedEnvironment gdal("GDAL_DATA", QByteArray());

    const AiRuntimeDiagnostics automatic = AiSession::diagnostics(QString(), AiSessionOptions{}, 0);
    EXPECT_EQ(automatic.requestedProvider, AiExecutionProvider::Auto);
    EXPECT_EQ(automatic.selectedProvider, AiExecutionProvider::Cpu);
    EXPECT_EQ(automatic.requiredLibraries, QList<QString>{QStringLiteral("libonnxruntime.so.1")});
    EXPECT_TRUE(automatic.missingLibraries.isEmpty());
    EXPECT_TRUE(automatic.runtimeLibraryPath.endsWith(QStringLiteral("libonnxruntime.so.1")))
        << automatic.runtimeLibraryPath.toStdString();
    EXPECT_TRUE(QFileInfo(automatic.runtimeLibraryPath).isFile());
    EXPECT_EQ(automatic.runtimeVersion, AiSession::runtimeVersion());
    EXPECT_EQ(automatic.availableProviders, AiSession::availableProviders());
    EXPECT_TRUE(automatic.ready());
    EXPECT_TRUE(automatic.isolatedWorker);
    EXPECT_EQ(automatic.warnings,
              (QList<QString>{
                  QStringLiteral("Inference memory budget is unlimited."),
                  QStringLiteral("PROJ_DATA is not explicitly configured; runtime defaults will be used."),
                  QStringLiteral("GDAL_DATA is not explicitly configured; runtime defaults will be used."),
                  QStringLiteral("No model was supplied for compatibility inspection.")}));

    const AiRuntimeDiagnostics negative = AiSession::diagnostics(QStringLiteral(" "), AiSessionOptions{}, -1);
    EXPECT_EQ(negative.errors, QList<QString>{QStringLiteral("Memory budget must not be negative.")});
    EXPECT_FALSE(negative.ready());

    const ScopedEnvironment projSet("PROJ_DATA", "/usr/share/proj");
    const ScopedEnvironment gdalSet("GDAL_DATA", "/usr/share/gdal");
    const AiRuntimeDiagnostics configured = AiSession::diagnostics(QString(), AiSessionOptions{}, 1);
    EXPECT_EQ(configured.projDataPath, QStringLiteral("/usr/share/proj"));
    EXPECT_EQ(configured.gdalDataPath, QStringLiteral("/usr/share/gdal"));
    EXPECT_EQ(configured.memoryBudgetBytes, 1);
    EXPECT_EQ(configured.warnings,
              QList<QString>{QStringLiteral("No model was supplied for compatibility inspection.")});

    // CUDA: whether or not this runtime lists it, its provider libraries are not installed beside it here.
    const AiRuntimeDiagnostics cuda =
        AiSession::diagnostics(QString(), withProvider(AiExecutionProvider::Cuda), 1);
    EXPECT_EQ(cuda.selectedProvider, AiExecutionProvider::Cuda);
    EXPECT_EQ(cuda.requiredLibraries.size(), 3);
    const QString missing = QStringLiteral(
        "Required runtime libraries are missing: libonnxruntime_providers_shared.so, "
        "libonnxruntime_providers_cuda.so");
    EXPECT_EQ(cuda.errors.last(), missing);
    EXPECT_EQ(cuda.errors.size(), AiSession::isProviderAvailable(AiExecutionProvider::Cuda) ? 1 : 2);
    EXPECT_FALSE(cuda.ready());

    const AiRuntimeDiagnostics directMl =
        AiSession::diagnostics(QString(), withProvider(AiExecutionProvider::DirectML), 1);
    EXPECT_EQ(directMl.errors.first(), QStringLiteral("Requested provider is unavailable: DirectML"));
}

TEST(RuntimeDiagnostics, ModelChecks) {
    const AiRuntimeDiagnostics good =
        AiSession::diagnostics(testModelPath(QStringLiteral("add_one.onnx")), {}, 1);
    EXPECT_TRUE(good.modelCompatible);
    EXPECT_EQ(good.modelSha256.size(), 64);
    EXPECT_EQ(good.modelPath, testModelPath(QStringLiteral("add_one.onnx")));

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString corrupt = Testing::writeBytes(dir.filePath(QStringLiteral("corrupt.onnx")), "not a model");
    const AiRuntimeDiagnostics bad = AiSession::diagnostics(corrupt, {}, 1);
    EXPECT_FALSE(bad.modelCompatible);
    EXPECT_EQ(bad.modelSha256.size(), 64);
    ASSERT_FALSE(bad.errors.isEmpty());
    EXPECT_TRUE(bad.errors.last().startsWith(
        QStringLiteral("Model compatibility check failed: ONNX Runtime error: ")))
        << bad.errors.last().toStdString();

    const QString absent = dir.filePath(QStringLiteral("absent.onnx"));
    const AiRuntimeDiagnostics missing = AiSession::diagnostics(absent, {}, 1);
    EXPECT_EQ(missing.errors.last(), QStringLiteral("ONNX model file cannot be read: %1").arg(absent));
    EXPECT_TRUE(missing.modelSha256.isEmpty());
}
