#include "runtime/gdal_handles.h"

#include <mutex>

#include <cpl_error.h>
#include <gdal_priv.h>

namespace Tarnivale::AI::Gdal {

void registerDrivers() {
    // Once per process: two threads registering at the same time race inside some drivers' registration.
    static std::once_flag once;
    std::call_once(once, [] { GDALAllRegister(); });
}

Dataset open(const QString& path, unsigned int flags, const char* const* allowedDrivers) {
    registerDrivers();
    const QByteArray utf8 = path.toUtf8();
    return Dataset(GDALOpenEx(utf8.constData(), flags, allowedDrivers, nullptr, nullptr));
}

SpatialReference spatialReferenceFromWkt(const QString& wkt) {
    SpatialReference reference(OSRNewSpatialReference(nullptr));
    const QByteArray text = wkt.toUtf8();
    // OSRImportFromWkt advances the cursor; the text itself is not changed.
    char* cursor = const_cast<char*>(text.constData());
    if (!reference || text.isEmpty() || OSRImportFromWkt(reference.get(), &cursor) != OGRERR_NONE) {
        return {};
    }
    return reference;
}

QString lastErrorMessage(const QString& fallback) {
    const char* message = CPLGetLastErrorMsg();
    if (message == nullptr || *message == '\0') {
        return fallback;
    }
    return QString::fromUtf8(message);
}

int CPL_STDCALL ProgressAdapter::trampoline(double complete, const char* /*message*/, void* data) {
    auto* self = static_cast<ProgressAdapter*>(data);
    try {
        return self->m_callback && !self->m_callback(complete) ? FALSE : TRUE;
    } catch (...) {
        // An exception must not unwind through GDAL's C frames: stop GDAL and rethrow after it returns.
        self->m_error = std::current_exception();
        return FALSE;
    }
}

void releaseBlockRowsAbove(GDALDatasetH handle, int y, std::vector<int>& released, bool writeDirty) {
    GDALDataset* dataset = GDALDataset::FromHandle(handle);
    const int bandCount = dataset->GetRasterCount();
    released.resize(static_cast<size_t>(bandCount), 0);
    // Every band, selected or not: pixel-interleaved files cache all bands of a block together.
    for (int band = 1; band <= bandCount; ++band) {
        GDALRasterBand* raster = dataset->GetRasterBand(band);
        int blockWidth = 0;
        int blockHeight = 0;
        raster->GetBlockSize(&blockWidth, &blockHeight);
        if (blockWidth < 1 || blockHeight < 1) {
            continue;
        }
        const int blockColumns = (dataset->GetRasterXSize() + blockWidth - 1) / blockWidth;
        int& done = released[static_cast<size_t>(band - 1)];
        for (; (done + 1) * static_cast<std::int64_t>(blockHeight) <= y; ++done) {
            for (int column = 0; column < blockColumns; ++column) {
                raster->FlushBlock(column, done, writeDirty ? TRUE : FALSE);
            }
        }
    }
}

}  // namespace Tarnivale::AI::Gdal
