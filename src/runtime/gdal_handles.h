#pragma once

// Owners for GDAL/OGR/OSR C handles, shared by every subsystem: each handle is closed exactly once on
// every path, the way GDALDatasetUniquePtr does for datasets.

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_api.h>
#include <ogr_srs_api.h>

#include <QString>

#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

namespace Tarnivale::AI::Gdal {

template <auto Close>
struct HandleCloser {
    template <typename Pointer>
    void operator()(Pointer handle) const noexcept {
        if (handle != nullptr) {
            Close(handle);
        }
    }
};

template <typename Handle, auto Close>
using Owned = std::unique_ptr<std::remove_pointer_t<Handle>, HandleCloser<Close>>;

using Dataset = Owned<GDALDatasetH, &GDALClose>;
using SpatialReference = Owned<OGRSpatialReferenceH, &OSRRelease>;
using CoordinateTransformation = Owned<OGRCoordinateTransformationH, &OCTDestroyCoordinateTransformation>;
using Feature = Owned<OGRFeatureH, &OGR_F_Destroy>;
using Geometry = Owned<OGRGeometryH, &OGR_G_DestroyGeometry>;
using FieldDefinition = Owned<OGRFieldDefnH, &OGR_Fld_Destroy>;
using CplString = std::unique_ptr<char, HandleCloser<&VSIFree>>;
using StringList = Owned<char**, &CSLDestroy>;

/// Registers the GDAL drivers (idempotent); called at the start of each operation that opens a dataset.
void registerDrivers();

/// Opens a dataset with GDALOpenEx; null when GDAL cannot open it.
Dataset open(const QString& path, unsigned int flags, const char* const* allowedDrivers = nullptr);

/// The spatial reference the WKT text describes; null when it is empty or does not parse.
SpatialReference spatialReferenceFromWkt(const QString& wkt);

/// The last GDAL error message, or the given fallback when GDAL recorded none.
QString lastErrorMessage(const QString& fallback = {});

/// Drops from GDAL's block cache every block row of every band that lies wholly above row `y` (writing dirty
/// blocks first when `writeDirty`), so a pass that moves down a raster keeps only its current rows cached
/// whatever the raster's size. `released` remembers, per band, the block rows already dropped.
void releaseBlockRowsAbove(GDALDatasetH dataset, int y, std::vector<int>& released, bool writeDirty);

/// Adapts a callable to GDALProgressFunc; returning false from the callable asks GDAL to stop. An exception
/// thrown by the callable also stops GDAL and is kept for rethrowIfFailed() once GDAL has returned.
class ProgressAdapter {
public:
    explicit ProgressAdapter(std::function<bool(double)> callback) : m_callback(std::move(callback)) {}
    GDALProgressFunc function() const { return &ProgressAdapter::trampoline; }
    void* data() { return this; }
    void rethrowIfFailed() const {
        if (m_error) {
            std::rethrow_exception(m_error);
        }
    }

private:
    static int CPL_STDCALL trampoline(double complete, const char* message, void* data);
    std::function<bool(double)> m_callback;
    std::exception_ptr m_error;
};

}  // namespace Tarnivale::AI::Gdal
