// Copying a completed task's raster (GeoTIFF) or polygons (Shapefile) out of its workspace. Nothing is
// overwritten and nothing incomplete appears at the destination: the GeoTIFF is written beside it under a
// temporary name and renamed into place without replacing, the Shapefile's files are staged beside the
// destination and moved together.

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"
#include "runtime/publish_file.h"
#include "tasks/task_api.h"
#include "tasks/task_json.h"
#include "tasks/task_table.h"

#include <gdal_utils.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <unistd.h>

namespace Tarnivale::AI::Tasks {

namespace {

constexpr qint64 CopyChunkBytes = 4 * 1024 * 1024;

bool moveWithoutReplacing(const QString& from, const QString& to) {
    return publishWithoutReplacing(from, to) == PublishOutcome::Published;
}

void exportGeoTiff(const QString& sourcePath, const QString& destination) {
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly)) {
        throwRuntimeError(QStringLiteral("Cannot open GeoTIFF export."));
    }
    // Written beside the destination, so that the rename stays on one file system.
    QTemporaryFile staged(
        QFileInfo(destination).absoluteDir().absoluteFilePath(QStringLiteral(".tvai-export-XXXXXX.tif")));
    if (!staged.open()) {
        throwRuntimeError(QStringLiteral("GeoTIFF export failed."));
    }
    QByteArray chunk(CopyChunkBytes, Qt::Uninitialized);
    for (;;) {
        const qint64 read = source.read(chunk.data(), chunk.size());
        if (read < 0) {
            throwRuntimeError(QStringLiteral("GeoTIFF export failed."));
        }
        if (read == 0) {
            break;
        }
        if (staged.write(chunk.constData(), read) != read) {
            throwRuntimeError(QStringLiteral("GeoTIFF export failed."));
        }
    }
    if (!staged.flush() || ::fsync(staged.handle()) != 0) {
        throwRuntimeError(QStringLiteral("GeoTIFF export failed."));
    }
    staged.close();
    if (!moveWithoutReplacing(staged.fileName(), destination)) {
        // A file that appeared at the destination since it was checked is left as it is.
        throwRuntimeError(pathOccupied(destination) ? QStringLiteral("Export destination exists.")
                                                    : QStringLiteral("Cannot commit GeoTIFF export."));
    }
    staged.setAutoRemove(false);
}

void translateToShapefile(const QString& sourcePath, const QString& stagedPath) {
    const Gdal::Dataset source = Gdal::open(sourcePath, GDAL_OF_VECTOR | GDAL_OF_READONLY);
    if (!source) {
        throwRuntimeError(QStringLiteral("Cannot open class polygons for export."));
    }
    const char* const arguments[] = {"-f", "ESRI Shapefile", nullptr};
    const std::unique_ptr<GDALVectorTranslateOptions, Gdal::HandleCloser<&GDALVectorTranslateOptionsFree>>
        options(GDALVectorTranslateOptionsNew(const_cast<char**>(arguments), nullptr));
    if (!options) {
        throwRuntimeError(QStringLiteral("Cannot create vector export options."));
    }
    GDALDatasetH sources[] = {source.get()};
    int usageError = FALSE;
    const Gdal::Dataset staged(GDALVectorTranslate(stagedPath.toUtf8().constData(), nullptr, 1, sources,
                                                   options.get(), &usageError));
    if (!staged || usageError) {
        throwRuntimeError(QStringLiteral("Shapefile translation failed."));
    }
}

void exportShapefile(const QString& sourcePath, const QString& destination) {
    const QFileInfo info(destination);
    if (info.suffix().compare(QLatin1String("shp"), Qt::CaseInsensitive) != 0) {
        throwRuntimeError(QStringLiteral("Shapefile destination must end in .shp."));
    }
    const QString baseName = info.completeBaseName();
    const QDir directory = info.absoluteDir();
    QTemporaryDir staging(directory.absoluteFilePath(QStringLiteral(".tvai-export-XXXXXX")));
    if (!staging.isValid()) {
        throwRuntimeError(QStringLiteral("Cannot create export staging directory."));
    }
    translateToShapefile(sourcePath,
                         QDir(staging.path()).absoluteFilePath(baseName + QStringLiteral(".shp")));

    QStringList staged = QDir(staging.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const char* extension : {"shp", "shx", "dbf", "prj"}) {
        if (!staged.contains(baseName + QLatin1Char('.') + QLatin1String(extension))) {
            throwRuntimeError(QStringLiteral("Shapefile export has missing sidecars."));
        }
    }
    for (const QString& name : staged) {
        if (pathOccupied(directory.absoluteFilePath(name))) {
            throwRuntimeError(QStringLiteral("Shapefile sidecar destination exists."));
        }
    }
    // The .shp goes last: until every sidecar is in place there is no Shapefile to open at the destination.
    const QString mainFile = baseName + QStringLiteral(".shp");
    staged.removeAll(mainFile);
    staged.append(mainFile);
    QStringList moved;
    for (const QString& name : staged) {
        const QString target = directory.absoluteFilePath(name);
        if (!moveWithoutReplacing(QDir(staging.path()).absoluteFilePath(name), target)) {
            for (const QString& done : moved) {
                QFile::remove(done);
            }
            throwRuntimeError(QStringLiteral("Cannot commit Shapefile sidecars."));
        }
        moved.append(target);
    }
}

}  // namespace

QJsonObject exportTaskResult(std::uint64_t taskId, const char* exportJson) {
    const std::shared_ptr<TaskRecord> record = TaskTable::instance().find(taskId);
    const QJsonObject request = parseTaskJson(exportJson);
    const QString format = request.value(QStringLiteral("format")).toString().toLower();
    const bool geoTiff = format == QLatin1String("geotiff");
    if (!geoTiff && format != QLatin1String("shapefile")) {
        throwInvalidArgument(QStringLiteral("Unsupported AI export format."));
    }
    const QString destination = requiredTaskPath(request, "path");
    QString sourcePath;
    {
        const std::lock_guard guard(record->lock);
        if (record->status.state != QLatin1String("completed")) {
            throwRuntimeError(QStringLiteral("Only completed AI tasks can be exported."));
        }
        const QString named =
            record->result.value(geoTiff ? QStringLiteral("rasterPath") : QStringLiteral("vectorPath"))
                .toString();
        sourcePath = QString(named.constData(), named.size());  // shares nothing with the record
    }
    if (sourcePath.isEmpty()) {
        throwRuntimeError(QStringLiteral("This task does not expose the requested export format."));
    }
    if (pathOccupied(destination)) {
        throwRuntimeError(QStringLiteral("Export destination exists."));
    }
    if (!QFileInfo(destination).absoluteDir().exists()) {
        throwRuntimeError(QStringLiteral("Export directory does not exist."));
    }
    Gdal::registerDrivers();
    if (geoTiff) {
        exportGeoTiff(sourcePath, destination);
    } else {
        exportShapefile(sourcePath, destination);
    }
    return QJsonObject{{QStringLiteral("format"), format},
                       {QStringLiteral("path"), destination},
                       {QStringLiteral("exported"), true}};
}

}  // namespace Tarnivale::AI::Tasks
