// Model registries: AiModelProfileRegistry::recognize of a 256 MiB and a 1 GiB model file (throughput, and
// peak resident memory that must not grow with the file), and reading a signed index of 10 000 entries
// (signature verification, parsing, entry rules) followed by one resolution.
//
//   build/bench/bench_registry [DIRECTORY]     (default: the system temporary directory)

#include <tarnivale/ai/models.h>

#include "bench_support.h"
#include "runtime/sha256.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Bench;

namespace {

// Writes `bytes` of varied content and returns their SHA-256 (hashed as written, so no extra pass).
QString writeModel(const QString& path, qint64 bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return {};
    }
    QByteArray block(1 << 20, Qt::Uninitialized);
    Sha256 hash;
    for (qint64 written = 0; written < bytes; written += block.size()) {
        for (qsizetype i = 0; i < block.size(); i += 8) {
            const quint64 value = static_cast<quint64>(written + i) * 0x9E3779B97F4A7C15ULL;
            std::memcpy(block.data() + i, &value, sizeof value);
        }
        if (file.write(block) != block.size()) {
            return {};
        }
        hash.update(block);
    }
    return hash.finishHex();
}

AiModelProfile profileFor(const QString& id, const QString& sha256) {
    AiModelProfile profile;
    profile.id = id;
    profile.displayName = id;
    profile.sha256 = sha256;
    profile.manifest.id = id;
    profile.manifest.version = QStringLiteral("1");
    profile.manifest.modelPath = QStringLiteral("model.onnx");
    profile.manifest.inputs = {
        {QStringLiteral("x"), AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 3, -1, -1}}};
    profile.manifest.outputs = {
        {QStringLiteral("y"), AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 2, -1, -1}}};
    return profile;
}

struct Recognition {
    double seconds = 0;
    long peakGrowthKiB = 0;
    bool found = false;
};

Recognition recognizeOnce(const QString& path) {
    const long before = statusKilobytes("VmRSS");
    resetPeak();
    AiModelProfile found;
    const auto start = Clock::now();
    Recognition result;
    result.found = AiModelProfileRegistry::recognize(path, found);
    result.seconds = secondsSince(start);
    result.peakGrowthKiB = statusKilobytes("VmHWM") - before;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir dir(argc > 1
                          ? QDir(QString::fromLocal8Bit(argv[1])).filePath(QStringLiteral("registry-XXXXXX"))
                          : QDir::temp().filePath(QStringLiteral("registry-XXXXXX")));
    const QString medium = dir.filePath(QStringLiteral("medium.onnx"));
    const QString large = dir.filePath(QStringLiteral("large.onnx"));
    const qint64 mediumBytes = qint64{256} << 20;
    const qint64 largeBytes = qint64{1} << 30;
    const QString mediumSha = writeModel(medium, mediumBytes);
    const QString largeSha = writeModel(large, largeBytes);
    if (!dir.isValid() || mediumSha.isEmpty() || largeSha.isEmpty() ||
        !AiModelProfileRegistry::registerProfile(profileFor(QStringLiteral("medium"), mediumSha)) ||
        !AiModelProfileRegistry::registerProfile(profileFor(QStringLiteral("large"), largeSha))) {
        std::fprintf(stderr, "bench_registry: cannot write the model files\n");
        return 1;
    }

    const Recognition mediumRun = recognizeOnce(medium);
    std::vector<double> largeSeconds;
    long largePeak = 0;
    bool found = mediumRun.found;
    for (int i = 0; i < 3; ++i) {
        const Recognition run = recognizeOnce(large);
        largeSeconds.push_back(run.seconds);
        largePeak = std::max(largePeak, run.peakGrowthKiB);
        found = found && run.found;
    }
    if (!found) {
        std::fprintf(stderr, "bench_registry: a model was not recognised\n");
        return 1;
    }
    const double gigabytes = static_cast<double>(largeBytes) / 1e9;
    std::printf("recognize (page cache warm), median of 3\n");
    std::printf("  1 GiB model         %.2f GB/s  (target >= 1 GB/s)\n", gigabytes / median(largeSeconds));
    std::printf(
        "  peak RSS growth     256 MiB file %ld KiB, 1 GiB file %ld KiB  (target: independent of size)\n",
        mediumRun.peakGrowthKiB, largePeak);

    // Ten thousand entries: 2 500 ids with four versions each, half with SDK bounds.
    QList<AiModelRegistryEntry> entries;
    for (int i = 0; i < 10000; ++i) {
        const int major = i % 4;
        AiModelRegistryEntry entry{QStringLiteral("model-%1").arg(i / 4),
                                   QStringLiteral("%1.%2.0").arg(major).arg(i % 7),
                                   QStringLiteral("https://models.example/model-%1/%2").arg(i / 4).arg(major),
                                   Sha256::hex(QByteArray::number(i)),
                                   QStringLiteral("Apache-2.0"),
                                   QStringLiteral("https://www.apache.org/licenses/LICENSE-2.0"),
                                   i % 2 == 0 ? QStringLiteral("1.0") : QString(),
                                   i % 2 == 0 ? QStringLiteral("4.0") : QString()};
        entries.append(entry);
    }
    const QByteArray key = "bench registry key";
    const QByteArray document = AiModelRegistryIndex::signedJson(entries, key);
    std::vector<double> readSeconds;
    std::vector<double> totalSeconds;
    QString resolved;
    for (int i = 0; i < 21; ++i) {
        const auto start = Clock::now();
        const AiModelRegistryIndex index = AiModelRegistryIndex::fromSignedJson(document, key);
        readSeconds.push_back(secondsSince(start));
        resolved = index.resolve(QStringLiteral("model-1234"), QStringLiteral("2.5")).version;
        totalSeconds.push_back(secondsSince(start));
    }
    std::printf("signed index of 10 000 entries (%.1f MB), median of 21\n",
                static_cast<double>(document.size()) / 1e6);
    std::printf("  verify and read     %.1f ms (fastest %.1f ms)\n", median(readSeconds) * 1e3,
                *std::min_element(readSeconds.begin(), readSeconds.end()) * 1e3);
    std::printf("  ... and resolve     %.1f ms  (target <= 50 ms; resolved version %s)\n",
                median(totalSeconds) * 1e3, resolved.toUtf8().constData());
    return 0;
}
