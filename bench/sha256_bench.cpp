// SHA-256 throughput and memory: the library's helper (OpenSSL libcrypto) on a 256 MiB file, against
// QCryptographicHash on the same bytes, and the peak resident memory after hashing a 16 MiB and a 256 MiB
// file (it must not grow with the file).
//
//   build/bench/bench_sha256 [DIRECTORY]     (default: the system temporary directory)

#include "runtime/sha256.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace Tarnivale::AI;
using Clock = std::chrono::steady_clock;

namespace {

long peakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool writeFile(const QString& path, qint64 bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>((i * 131) ^ (i >> 7));
    }
    for (qint64 written = 0; written < bytes; written += block.size()) {
        if (file.write(block) != block.size()) {
            return false;
        }
    }
    return true;
}

double medianSeconds(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir dir(argc > 1 ? QDir(QString::fromLocal8Bit(argv[1])).filePath(QStringLiteral("sha-XXXXXX"))
                               : QDir::temp().filePath(QStringLiteral("sha-XXXXXX")));
    const QString small = dir.filePath(QStringLiteral("small.bin"));
    const QString large = dir.filePath(QStringLiteral("large.bin"));
    const qint64 largeBytes = qint64{256} << 20;
    if (!dir.isValid() || !writeFile(small, qint64{16} << 20) || !writeFile(large, largeBytes)) {
        std::fprintf(stderr, "bench_sha256: cannot write the test files\n");
        return 1;
    }

    const long before = peakResidentKiB();
    sha256File(small);
    const long afterSmall = peakResidentKiB();
    std::vector<double> ours;
    for (int i = 0; i < 5; ++i) {
        const auto start = Clock::now();
        const Sha256FileResult result = sha256File(large);
        ours.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        if (result.error != Sha256FileError::None) {
            std::fprintf(stderr, "bench_sha256: hashing failed\n");
            return 1;
        }
    }
    const long afterLarge = peakResidentKiB();

    std::vector<double> qt;
    for (int i = 0; i < 3; ++i) {
        QFile file(large);
        file.open(QIODevice::ReadOnly);
        const auto start = Clock::now();
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(&file);
        hash.result();
        qt.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }

    const double gib = static_cast<double>(largeBytes) / (1 << 30);
    std::printf("SHA-256 of a 256 MiB file (page cache warm), median of runs\n");
    std::printf("  library helper (libcrypto)  %.2f GiB/s  (target >= 1 GB/s)\n", gib / medianSeconds(ours));
    std::printf("  QCryptographicHash          %.2f GiB/s  (reference)\n", gib / medianSeconds(qt));
    std::printf(
        "Peak resident memory: start %ld KiB, after 16 MiB file %ld KiB, after 256 MiB file %ld KiB\n",
        before, afterSmall, afterLarge);
    return 0;
}
