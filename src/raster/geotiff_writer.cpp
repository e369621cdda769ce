#include <tarnivale/ai/raster.h>

#include "runtime/errors.h"
#include "runtime/gdal_handles.h"
#include "runtime/publish_file.h"

#include <cpl_conv.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <filesystem>

namespace Tarnivale::AI {

namespace {

// The GeoTIFF is built under a temporary name beside its destination and renamed into place at the end, so
// a reader never sees half a file and a failure leaves nothing behind.
class StagedFile {
public:
    explicit StagedFile(const QString& destination)
        : m_destination(destination),
          m_staging(QFileInfo(destination)
                        .dir()
                        .filePath(QStringLiteral(".%1.%2.part")
                                      .arg(QFileInfo(destination).fileName(),
                                           QUuid::createUuid().toString(QUuid::Id128)))) {}
    ~StagedFile() {
        if (!m_committed) {
            QFile::remove(m_staging);
            QFile::remove(m_staging + QStringLiteral(".aux.xml"));
            QFile::remove(m_staging + QStringLiteral(".ovr.tmp"));  // the COG driver's overviews
        }
    }
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const QString& path() const { return m_staging; }
    PublishOutcome commitWithoutReplacing() {
        const PublishOutcome outcome = publishWithoutReplacing(m_staging, m_destination);
        m_committed = outcome == PublishOutcome::Published;
        return outcome;
    }
    bool commit() {
        std::error_code error;
        std::filesystem::rename(QFile::encodeName(m_staging).toStdString(),
                                QFile::encodeName(m_destination).toStdString(), error);
        m_committed = !error;
        return m_committed;
    }

private:
    QString m_destination;
    QString m_staging;
    bool m_committed = false;
};

// The checks both writers share, in their order; the GDAL type of the result's pixels.
GDALDataType checkedOutputType(const AiRasterInferenceResult& result, const QString& outputPath) {
    if (result.cancelled) {
        throwInvalidArgument(QStringLiteral("A cancelled AI inference result cannot be written."));
    }
    if (outputPath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI raster output path is required."));
    }
    if (result.width < 1 || result.height < 1 || result.bandCount < 1) {
        throwInvalidArgument(QStringLiteral("AI raster output dimensions are invalid."));
    }
    GDALDataType type = GDT_Unknown;
    if (result.dataType == AiTensorDataType::Float32) {
        type = GDT_Float32;
    } else if (result.dataType == AiTensorDataType::Int32) {
        type = GDT_Int32;
    } else {
        throwInvalidArgument(QStringLiteral("AI GeoTIFF output currently supports Float32 and Int32 data."));
    }
    const qsizetype planeBytes = qsizetype{result.width} * result.height * 4;
    if (result.data.size() != planeBytes * result.bandCount) {
        throwInvalidArgument(QStringLiteral("AI raster output buffer size does not match its dimensions."));
    }
    return type;
}

// Georeferencing and the provenance with its digest.
void describeOutput(GDALDatasetH dataset, const AiRasterInferenceResult& result) {
    if (result.geoTransform.size() == 6) {
        double transform[6];
        std::copy(result.geoTransform.begin(), result.geoTransform.end(), transform);
        if (GDALSetGeoTransform(dataset, transform) != CE_None) {
            throwRuntimeError(QStringLiteral("GDAL could not write the AI output geotransform."));
        }
    }
    if (!result.projectionWkt.isEmpty() &&
        GDALSetProjection(dataset, result.projectionWkt.toUtf8().constData()) != CE_None) {
        throwRuntimeError(QStringLiteral("GDAL could not write the AI output projection."));
    }
    const QByteArray canonical = result.provenance.canonicalJson().toUtf8();
    const QByteArray digest = result.provenance.sha256().toUtf8();
    if (GDALSetMetadataItem(dataset, "TARNIVALE_PROVENANCE", canonical.constData(), nullptr) != CE_None ||
        GDALSetMetadataItem(dataset, "TARNIVALE_PROVENANCE_SHA256", digest.constData(), nullptr) != CE_None) {
        throwRuntimeError(QStringLiteral("GDAL could not write AI execution provenance metadata."));
    }
}

// GDAL's COG driver over the source: DEFLATE, 512-pixel tiles, overviews down to one block. Classes are
// never averaged into codes that no pixel has; scores are.
void writeCloudOptimized(GDALDatasetH source, const QString& stagingPath) {
    GDALDriverH driver = GDALGetDriverByName("COG");
    if (driver == nullptr) {
        throwRuntimeError(QStringLiteral("GDAL COG driver is unavailable."));
    }
    const bool classes = GDALDataTypeIsInteger(GDALGetRasterDataType(GDALGetRasterBand(source, 1))) != 0;
    const char* options[] = {"COMPRESS=DEFLATE", "NUM_THREADS=ALL_CPUS", "OVERVIEWS=AUTO",
                             classes ? "RESAMPLING=NEAREST" : "RESAMPLING=AVERAGE", nullptr};
    const QByteArray path = stagingPath.toUtf8();
    CPLErrorReset();
    Gdal::Dataset written(GDALCreateCopy(driver, path.constData(), source, FALSE, const_cast<char**>(options),
                                         nullptr, nullptr));
    if (!written) {
        throwRuntimeError(QStringLiteral("GDAL could not create the AI GeoTIFF output."));
    }
    written.reset();
    if (CPLGetLastErrorType() >= CE_Failure) {
        throwRuntimeError(QStringLiteral("GDAL could not write an AI output band."));
    }
}

}  // namespace

void AiRasterInferenceExecutor::writeGeoTiff(const AiRasterInferenceResult& result,
                                             const QString& outputPath) {
    const GDALDataType type = checkedOutputType(result, outputPath);
    const qsizetype planeBytes = qsizetype{result.width} * result.height * 4;

    Gdal::registerDrivers();
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    if (driver == nullptr) {
        throwRuntimeError(QStringLiteral("GDAL GeoTIFF driver is unavailable."));
    }
    StagedFile staged(outputPath);
    // Blocks are compressed on every core; the file is the same as a single-threaded write.
    const char* options[] = {"TILED=YES", "COMPRESS=DEFLATE", "NUM_THREADS=ALL_CPUS", nullptr};
    const QByteArray stagingPath = staged.path().toUtf8();
    Gdal::Dataset dataset(GDALCreate(driver, stagingPath.constData(), result.width, result.height,
                                     result.bandCount, type, const_cast<char**>(options)));
    if (!dataset) {
        throwRuntimeError(QStringLiteral("GDAL could not create the AI GeoTIFF output."));
    }
    describeOutput(dataset.get(), result);
    for (int band = 1; band <= result.bandCount; ++band) {
        // RasterIO takes a non-const buffer even for writing; it only reads from it.
        void* plane = const_cast<char*>(result.data.constData() + (band - 1) * planeBytes);
        if (GDALRasterIO(GDALGetRasterBand(dataset.get(), band), GF_Write, 0, 0, result.width, result.height,
                         plane, result.width, result.height, type, 0, 0) != CE_None) {
            throwRuntimeError(QStringLiteral("GDAL could not write an AI output band."));
        }
    }
    CPLErrorReset();
    GDALFlushCache(dataset.get());
    dataset.reset();
    if (CPLGetLastErrorType() >= CE_Failure) {
        throwRuntimeError(QStringLiteral("GDAL could not write an AI output band."));
    }
    if (!staged.commit()) {
        throwRuntimeError(QStringLiteral("GDAL could not create the AI GeoTIFF output."));
    }
}

void AiRasterInferenceExecutor::writeCloudOptimizedGeoTiff(const AiRasterInferenceResult& result,
                                                           const QString& outputPath) {
    const GDALDataType type = checkedOutputType(result, outputPath);
    const qsizetype planeBytes = qsizetype{result.width} * result.height * 4;

    Gdal::registerDrivers();
    GDALDriverH memory = GDALGetDriverByName("MEM");
    if (memory == nullptr) {
        throwRuntimeError(QStringLiteral("GDAL COG driver is unavailable."));
    }
    // The COG driver copies from a dataset: an in-memory one whose bands are the result's own planes, so
    // the pixels are not copied before they are compressed.
    Gdal::Dataset source(GDALCreate(memory, "", result.width, result.height, 0, type, nullptr));
    if (!source) {
        throwRuntimeError(QStringLiteral("GDAL could not create the AI GeoTIFF output."));
    }
    for (int band = 0; band < result.bandCount; ++band) {
        char pointer[64] = {};
        CPLPrintPointer(pointer, const_cast<char*>(result.data.constData() + band * planeBytes),
                        sizeof pointer - 1);
        const QByteArray data = QByteArray("DATAPOINTER=") + pointer;
        const char* bandOptions[] = {data.constData(), nullptr};
        if (GDALAddBand(source.get(), type, const_cast<char**>(bandOptions)) != CE_None) {
            throwRuntimeError(QStringLiteral("GDAL could not create the AI GeoTIFF output."));
        }
    }
    describeOutput(source.get(), result);
    StagedFile staged(outputPath);
    writeCloudOptimized(source.get(), staged.path());
    if (!staged.commit()) {
        throwRuntimeError(QStringLiteral("GDAL could not create the AI GeoTIFF output."));
    }
}

void AiRasterInferenceExecutor::copyAsCloudOptimizedGeoTiff(const QString& sourcePath,
                                                            const QString& outputPath) {
    if (outputPath.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("AI raster output path is required."));
    }
    if (pathOccupied(outputPath)) {
        throwRuntimeError(QStringLiteral("Export destination exists."));
    }
    const Gdal::Dataset source = Gdal::open(sourcePath, GDAL_OF_RASTER | GDAL_OF_READONLY);
    if (!source) {
        throwRuntimeError(QStringLiteral("Cannot open GeoTIFF export."));
    }
    StagedFile staged(outputPath);
    writeCloudOptimized(source.get(), staged.path());
    switch (staged.commitWithoutReplacing()) {
        case PublishOutcome::Published:
            return;
        case PublishOutcome::DestinationExists:
            throwRuntimeError(QStringLiteral("Export destination exists."));
        case PublishOutcome::Failed:
            break;
    }
    throwRuntimeError(QStringLiteral("GDAL could not create the AI GeoTIFF output."));
}

}  // namespace Tarnivale::AI
