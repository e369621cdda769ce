// The runtime's common helpers: the one SHA-256 and the GDAL owners.

#include "runtime/gdal_handles.h"
#include "runtime/sha256.h"

#include "support/expectations.h"
#include "support/raster_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QCryptographicHash>
#include <QTemporaryDir>

using namespace Tarnivale::AI;
using namespace Qt::StringLiterals;

TEST(Sha256, KnownVectorsAndFilesAcrossReadBufferBoundaries) {
    EXPECT_EQ(Sha256::hex({}), u"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"_s);
    EXPECT_EQ(Sha256::hex("abc"), u"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"_s);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Sizes around the 1 MiB read buffer, hashed in several updates; Qt's own digest is the reference.
    for (const qsizetype size : {0, 1, (1 << 20) - 1, 1 << 20, (1 << 20) + 1, (3 << 20) + 17}) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
        }
        const Sha256FileResult result = sha256File(Testing::writeBytes(dir.filePath(u"f"_s), bytes));
        EXPECT_EQ(result.error, Sha256FileError::None);
        EXPECT_EQ(result.hex, QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()) << size;
    }
    const Sha256FileResult missing = sha256File(dir.filePath(u"missing"_s));
    EXPECT_EQ(missing.error, Sha256FileError::Open);
    EXPECT_TRUE(missing.hex.isEmpty());
    EXPECT_NE(sha256File(dir.path()).error, Sha256FileError::None);
    // Devices and FIFOs are refused before anything is read (/dev/zero never ends; a FIFO blocks the open),
    // also through a symbolic link.
    ASSERT_EQ(mkfifo(QFile::encodeName(dir.filePath(u"fifo"_s)).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link(u"/dev/zero"_s, dir.filePath(u"zero"_s)));
    for (const QString& path : {u"/dev/zero"_s, dir.filePath(u"zero"_s), dir.filePath(u"fifo"_s)}) {
        EXPECT_EQ(sha256File(path).error, Sha256FileError::Open) << path.toStdString();
    }
}

TEST(GdalHandles, OpenFailsCleanlyAndProgressStopsACopy) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_FALSE(Gdal::open(dir.filePath(u"missing.tif"_s), GDAL_OF_RASTER));
    Testing::TestRasterSpec spec;
    spec.width = spec.height = 64;
    Testing::writeTestRaster(dir.filePath(u"source.tif"_s), spec);
    const Gdal::Dataset dataset = Gdal::open(dir.filePath(u"source.tif"_s), GDAL_OF_RASTER);
    ASSERT_TRUE(dataset);
    // A callable that refuses stops GDAL; one that throws stops it too and its exception comes back after.
    int calls = 0;
    const std::tuple<std::function<bool(double)>, bool, const char*> rows[] = {
        {[](double) { return false; }, false, "no error"},
        {[](double) -> bool { throw std::runtime_error("stop here"); }, false, "stop here"},
        {[&calls](double) { return ++calls > 0; }, true, "no error"},
    };
    for (const auto& [callback, copied, error] : rows) {
        Gdal::ProgressAdapter progress(callback);
        const Gdal::Dataset copy(
            GDALCreateCopy(GDALGetDriverByName("GTiff"), dir.filePath(u"copy.tif"_s).toUtf8().constData(),
                           dataset.get(), FALSE, nullptr, progress.function(), progress.data()));
        EXPECT_EQ(static_cast<bool>(copy), copied) << error;
        EXPECT_EQ(Testing::errorOf<std::runtime_error>([&] { progress.rethrowIfFailed(); }), error);
    }
    EXPECT_GT(calls, 0);
}
