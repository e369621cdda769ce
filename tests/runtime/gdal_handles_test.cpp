#include "runtime/gdal_handles.h"
#include "support/raster_fixture.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <stdexcept>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;

TEST(GdalHandles, OpenFailsCleanlyAndProgressStopsACopy) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    EXPECT_FALSE(Gdal::open(dir.filePath(QStringLiteral("missing.tif")), GDAL_OF_RASTER));

    const QString source = dir.filePath(QStringLiteral("source.tif"));
    TestRasterSpec spec;
    spec.width = 64;
    spec.height = 64;
    writeTestRaster(source, spec);
    const Gdal::Dataset dataset = Gdal::open(source, GDAL_OF_RASTER);
    ASSERT_TRUE(dataset);

    // A callable that refuses stops GDAL; one that throws stops it too and the exception comes back after.
    Gdal::ProgressAdapter refuse([](double) { return false; });
    const QByteArray copyPath = dir.filePath(QStringLiteral("copy.tif")).toUtf8();
    GDALDriverH gtiff = GDALGetDriverByName("GTiff");
    Gdal::Dataset copy(GDALCreateCopy(gtiff, copyPath.constData(), dataset.get(), FALSE, nullptr,
                                      refuse.function(), refuse.data()));
    EXPECT_FALSE(copy);
    EXPECT_NO_THROW(refuse.rethrowIfFailed());

    Gdal::ProgressAdapter failing([](double) -> bool { throw std::runtime_error("stop here"); });
    Gdal::Dataset failed(GDALCreateCopy(gtiff, copyPath.constData(), dataset.get(), FALSE, nullptr,
                                        failing.function(), failing.data()));
    EXPECT_FALSE(failed);
    EXPECT_THROW(failing.rethrowIfFailed(), std::runtime_error);

    int calls = 0;
    Gdal::ProgressAdapter counting([&calls](double) {
        ++calls;
        return true;
    });
    Gdal::Dataset done(GDALCreateCopy(gtiff, copyPath.constData(), dataset.get(), FALSE, nullptr,
                                      counting.function(), counting.data()));
    EXPECT_TRUE(done);
    EXPECT_GT(calls, 0);
}
