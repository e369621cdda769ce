#include "sam3/sam3_gis_writer_impl.h"

#include "runtime/errors.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <gdal.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <unordered_map>

namespace Tarnivale::AI {

namespace SamGis {

std::int64_t ObservationSets::add(double score) {
    m_parent.push_back(static_cast<std::int64_t>(m_parent.size()));
    m_setPixels.push_back(0);
    m_bestScore.push_back(score);
    return count();
}

std::int64_t ObservationSets::find(std::int64_t observation) {
    std::int64_t root = observation;
    while (m_parent[static_cast<size_t>(root)] != root) {
        root = m_parent[static_cast<size_t>(root)];
    }
    while (m_parent[static_cast<size_t>(observation)] != root) {  // path compression
        observation = std::exchange(m_parent[static_cast<size_t>(observation)], root);
    }
    return root;
}

bool ObservationSets::unite(std::int64_t a, std::int64_t b) {
    std::int64_t rootA = find(a);
    std::int64_t rootB = find(b);
    if (rootA == rootB) {
        return false;
    }
    if (rootB < rootA) {
        std::swap(rootA, rootB);
    }
    m_parent[static_cast<size_t>(rootB)] = rootA;
    m_setPixels[static_cast<size_t>(rootA)] += m_setPixels[static_cast<size_t>(rootB)];
    m_bestScore[static_cast<size_t>(rootA)] =
        std::max(m_bestScore[static_cast<size_t>(rootA)], m_bestScore[static_cast<size_t>(rootB)]);
    return true;
}

}  // namespace SamGis

namespace {

constexpr std::int64_t MaximumTileSide = 32768;
constexpr std::int64_t MaximumTilePixels = 67108864;
// The work rasters never leave the staging directory: the fastest DEFLATE level, since their rows are
// compressed as they are written out during the run.
const char* const WorkRasterOptions[] = {"TILED=YES",        "BLOCKXSIZE=256", "BLOCKYSIZE=256",
                                         "COMPRESS=DEFLATE", "SPARSE_OK=YES",  "BIGTIFF=IF_SAFER",
                                         "ZLEVEL=1",         nullptr};

bool hasGeos() {
    return QByteArray(GDALVersionInfo("BUILD_INFO")).contains("GEOS_ENABLED=YES");
}

bool invertible(const std::array<double, 6>& t) {
    const double determinant = t[1] * t[5] - t[2] * t[4];
    return std::isfinite(determinant) && determinant != 0.0;
}

std::array<double, 6> shifted(const std::array<double, 6>& t, std::int64_t x, std::int64_t y) {
    std::array<double, 6> result = t;
    result[0] = t[0] + static_cast<double>(x) * t[1] + static_cast<double>(y) * t[2];
    result[3] = t[3] + static_cast<double>(x) * t[4] + static_cast<double>(y) * t[5];
    return result;
}

void checkLimits(const AiSamGisOptions& o) {
    const bool valid = std::isfinite(o.mergeIou) && o.mergeIou > 0.0 && o.mergeIou <= 1.0 &&
                       o.minimumMergePixels >= 1 && o.minimumRegionPixels >= 1 &&
                       o.maximumObservations >= 1 && o.maximumObservations <= 1000000 &&
                       o.maximumOutputPixels >= 1 && o.maximumStagingBytes >= 1 && o.maximumBufferBytes >= 1;
    if (!valid) {
        throwInvalidArgument(QStringLiteral("Invalid SAM3 GIS limits."));
    }
    if (o.prompt.size() > 4096) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS prompt is too long."));
    }
}

/// Reads or writes a window of a one-band work raster.
void windowIo(GDALDatasetH dataset, GDALRWFlag direction, const AiSamPixelWindow& window, void* data,
              GDALDataType type) {
    if (GDALRasterIO(GDALGetRasterBand(dataset, 1), direction, window.x, window.y, window.width,
                     window.height, data, window.width, window.height, type, 0, 0) != CE_None) {
        throwRuntimeError(QStringLiteral("SAM3 GIS raster I/O failed."));
    }
}

}  // namespace

void AiSamGisWriter::Impl::check(bool succeeded, const char* message) {
    if (!succeeded) {
        throwRuntimeError(QString::fromUtf8(message));
    }
}

void AiSamGisWriter::Impl::checkStagingBudget() const {
    std::int64_t bytes = 0;
    QDirIterator files(staging->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        bytes += QFileInfo(files.next()).size();
    }
    if (bytes > options.maximumStagingBytes) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS staging disk budget exceeded."));
    }
}

AiSamGisWriter::AiSamGisWriter(const QString& sourceRasterPath, const AiSamGisOptions& options)
    : d(std::make_unique<Impl>(options)) {
    d->budget.check();
    if (options.outputDirectory.trimmed().isEmpty()) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS output directory is required."));
    }
    checkLimits(options);
    d->destination = QDir::cleanPath(QFileInfo(options.outputDirectory).absoluteFilePath());
    const QFileInfo destination(d->destination);
    if (destination.exists() || destination.isSymLink() || destination.fileName().isEmpty()) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS destination must be a new directory."));
    }
    if (!hasGeos()) {
        throwRuntimeError(
            QStringLiteral("SAM3 GIS output requires GEOS-enabled GDAL. Deploy gdal.dll with geos_c.dll "
                           "and geos.dll before running inference."));
    }
    d->sourcePath = QFileInfo(sourceRasterPath).absoluteFilePath();
    {
        const Gdal::Dataset source = Gdal::open(sourceRasterPath, GDAL_OF_RASTER | GDAL_OF_READONLY);
        if (!source) {
            throwInvalidArgument(QStringLiteral("Cannot open SAM3 GIS source."));
        }
        const int width = GDALGetRasterXSize(source.get());
        const int height = GDALGetRasterYSize(source.get());
        d->area = options.hasWindow ? options.window : AiSamPixelWindow{0, 0, 0, 0, width, height};
        const AiSamPixelWindow& a = d->area;
        if (a.width < 1 || a.height < 1 || a.x < 0 || a.y < 0 || std::int64_t{a.x} + a.width > width ||
            std::int64_t{a.y} + a.height > height) {
            throwInvalidArgument(QStringLiteral("SAM3 window is outside the raster."));
        }
        const std::int64_t pixels = std::int64_t{a.width} * a.height;
        if (pixels > options.maximumOutputPixels || pixels > options.maximumStagingBytes / 17) {
            throwInvalidArgument(
                QStringLiteral("SAM3 GIS output exceeds its pixel/staging admission limit."));
        }
        if (GDALGetGeoTransform(source.get(), d->sourceTransform.data()) != CE_None) {
            throwInvalidArgument(QStringLiteral("SAM3 GIS output requires an affine transform."));
        }
        if (!invertible(d->sourceTransform)) {
            throwInvalidArgument(QStringLiteral("SAM3 GIS source transform is singular."));
        }
        if (!std::all_of(d->sourceTransform.begin(), d->sourceTransform.end(),
                         [](double t) { return std::isfinite(t); })) {
            throwInvalidArgument(QStringLiteral("Nonfinite SAM3 source transform."));
        }
        d->sourceWkt = QString::fromUtf8(GDALGetProjectionRef(source.get()));
        if (d->sourceWkt.isEmpty()) {
            throwInvalidArgument(QStringLiteral("SAM3 GIS output requires a source CRS."));
        }
        d->sourceCrs = Gdal::spatialReferenceFromWkt(d->sourceWkt);
        if (!d->sourceCrs) {
            throwInvalidArgument(QStringLiteral("Cannot parse SAM3 GIS source CRS."));
        }
        d->outputTransform = shifted(d->sourceTransform, a.x, a.y);
    }
    const QString parent = QFileInfo(d->destination).absolutePath();
    if (!QDir().mkpath(parent)) {
        throwRuntimeError(QStringLiteral("Cannot create SAM3 output parent."));
    }
    d->staging = std::make_unique<QTemporaryDir>(parent + QStringLiteral("/.sam3-XXXXXX"));
    if (!d->staging->isValid()) {
        throwRuntimeError(QStringLiteral("Cannot create SAM3 staging directory."));
    }
    GDALDriverH driver = GDALGetDriverByName("GTiff");
    Impl::check(driver != nullptr, "GeoTIFF driver is unavailable.");
    const auto create = [&](const char* name, GDALDataType type) {
        Gdal::Dataset dataset(
            GDALCreate(driver, QDir(d->staging->path()).filePath(QLatin1String(name)).toUtf8().constData(),
                       d->area.width, d->area.height, 1, type, const_cast<char**>(WorkRasterOptions)));
        Impl::check(dataset != nullptr, "Cannot create SAM3 staging raster.");
        Impl::check(GDALSetGeoTransform(dataset.get(), d->outputTransform.data()) == CE_None &&
                        GDALSetProjection(dataset.get(), d->sourceWkt.toUtf8().constData()) == CE_None,
                    "Cannot set SAM3 raster georeferencing.");
        return dataset;
    };
    d->labels = create("labels-work.tif", GDT_Int32);
    d->scores = create("scores-work.tif", GDT_Float64);
    d->coverage = create("coverage-work.tif", GDT_Byte);
    d->budget.check();
}

AiSamGisWriter::~AiSamGisWriter() = default;
AiSamGisWriter::AiSamGisWriter(AiSamGisWriter&& other) noexcept = default;
AiSamGisWriter& AiSamGisWriter::operator=(AiSamGisWriter&& other) noexcept = default;

void AiSamGisWriter::consume(const AiSamTileResult& tile) {
    if (!d || !d->writable) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS writer is no longer writable."));
    }
    d->writable = false;  // until this tile is merged whole
    const AiSamTextResult& result = tile.result;
    const AiSamPixelWindow& area = d->area;
    AiSamPixelWindow local = tile.window;  // in output-area pixels
    local.x -= area.x;
    local.y -= area.y;
    if (local.x < 0 || local.y < 0 || local.width < 1 || local.height < 1 ||
        std::int64_t{local.x} + local.width > area.width ||
        std::int64_t{local.y} + local.height > area.height) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS tile is outside the output area."));
    }
    const std::int64_t width = result.width;
    const std::int64_t height = result.height;
    if (width * height * SamGis::TileBytesPerPixel > d->options.maximumBufferBytes) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS tile exceeds the export buffer budget."));
    }
    const std::int64_t maskCells = std::int64_t{result.maskWidth} * result.maskHeight;
    if (width < 1 || height < 1 || width > MaximumTileSide || height > MaximumTileSide ||
        width * height > MaximumTilePixels || width != tile.window.width || height != tile.window.height ||
        result.maskWidth < 1 || result.maskHeight < 1 || result.maskWidth > MaximumTileSide ||
        result.maskHeight > MaximumTileSide || result.validity.size() != width * height) {
        throwInvalidArgument(QStringLiteral("Invalid SAM3 GIS tile layout."));
    }
    if (result.geoTransform.size() != 6) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS tile lacks georeferencing."));
    }
    const std::array<double, 6> expected = shifted(d->sourceTransform, tile.window.x, tile.window.y);
    for (size_t k = 0; k < 6; ++k) {
        const double term = result.geoTransform.at(static_cast<qsizetype>(k));
        if (!std::isfinite(term) ||
            std::fabs(term - expected[k]) > 1e-12 * std::max(std::fabs(expected[k]), 1.0)) {
            throwInvalidArgument(QStringLiteral("SAM3 GIS tile transform differs from the source."));
        }
    }
    const Gdal::SpatialReference tileCrs = Gdal::spatialReferenceFromWkt(result.projectionWkt);
    if (!tileCrs || !OSRIsSame(tileCrs.get(), d->sourceCrs.get())) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS tile CRS differs from the source."));
    }
    if (result.skipped && !result.instances.isEmpty()) {
        throwInvalidArgument(QStringLiteral("Skipped SAM3 tile contains instances."));
    }
    if (d->sets.count() + result.instances.size() > d->options.maximumObservations) {
        throwInvalidArgument(QStringLiteral("SAM3 GIS observation limit exceeded."));
    }
    for (const AiSamTextInstance& instance : result.instances) {
        if (!std::isfinite(instance.score) || instance.score < 0.0 || instance.score > 1.0 ||
            instance.mask.size() != maskCells) {
            throwInvalidArgument(QStringLiteral("Invalid SAM3 GIS instance."));
        }
    }

    const size_t pixels = static_cast<size_t>(width * height);
    std::vector<std::int32_t> labels(pixels);
    std::vector<double> scores(pixels);
    std::vector<std::uint8_t> coverage(pixels);
    windowIo(d->labels.get(), GF_Read, local, labels.data(), GDT_Int32);
    windowIo(d->scores.get(), GF_Read, local, scores.data(), GDT_Float64);
    windowIo(d->coverage.get(), GF_Read, local, coverage.data(), GDT_Byte);
    const auto* validity = reinterpret_cast<const std::uint8_t*>(result.validity.constData());
    std::int64_t valid = 0;
    for (size_t i = 0; i < pixels; ++i) {
        if (validity[i] > 1) {
            throwInvalidArgument(QStringLiteral("Nonbinary SAM3 source validity."));
        }
        if (coverage[i] != SamGis::Unprocessed &&
            (coverage[i] == SamGis::ProcessedValid) != (validity[i] == 1)) {
            throwInvalidArgument(QStringLiteral("Overlapping SAM3 tiles disagree on source validity."));
        }
        valid += validity[i];
    }
    if (valid != result.validPixelCount) {
        throwInvalidArgument(QStringLiteral("SAM3 tile valid-pixel count differs."));
    }
    for (const AiSamTextInstance& instance : result.instances) {
        if (std::any_of(instance.mask.begin(), instance.mask.end(),
                        [](char b) { return b != 0 && b != 1; })) {
            throwInvalidArgument(QStringLiteral("Nonbinary SAM3 instance mask."));
        }
    }

    // Nearest-centre mask cells of every tile column and row.
    std::vector<std::int64_t> cellColumn(static_cast<size_t>(width));
    std::vector<std::int64_t> cellRow(static_cast<size_t>(height));
    for (std::int64_t x = 0; x < width; ++x) {
        cellColumn[static_cast<size_t>(x)] =
            std::min((2 * x + 1) * result.maskWidth / (2 * width), std::int64_t{result.maskWidth} - 1);
    }
    for (std::int64_t y = 0; y < height; ++y) {
        cellRow[static_cast<size_t>(y)] =
            std::min((2 * y + 1) * result.maskHeight / (2 * height), std::int64_t{result.maskHeight} - 1);
    }
    // Labels as they were before this tile: what the merge compares against.
    const std::vector<std::int32_t> earlierLabels = labels;
    std::unordered_map<std::int64_t, std::int64_t> coveredByObservation;  // |B'| per earlier observation
    for (size_t i = 0; i < pixels; ++i) {
        if (coverage[i] != SamGis::Unprocessed && earlierLabels[i] > 0) {
            ++coveredByObservation[earlierLabels[i]];
        }
    }

    for (const AiSamTextInstance& instance : result.instances) {
        const std::int64_t id = d->sets.add(instance.score);
        const auto* mask = reinterpret_cast<const std::uint8_t*>(instance.mask.constData());
        // Only the pixels whose cells lie in the mask's bounding box can be claimed.
        std::int64_t cellTop = result.maskHeight, cellBottom = -1, cellLeft = result.maskWidth,
                     cellRight = -1;
        for (std::int64_t cy = 0; cy < result.maskHeight; ++cy) {
            const std::uint8_t* row = mask + cy * result.maskWidth;
            const std::uint8_t* first = std::find(row, row + result.maskWidth, 1);
            if (first == row + result.maskWidth) {
                continue;
            }
            const std::uint8_t* last = std::find(std::make_reverse_iterator(row + result.maskWidth),
                                                 std::make_reverse_iterator(first), 1)
                                           .base() -
                                       1;
            cellTop = std::min(cellTop, cy);
            cellBottom = cy;
            cellLeft = std::min<std::int64_t>(cellLeft, first - row);
            cellRight = std::max<std::int64_t>(cellRight, last - row);
        }
        if (cellBottom < 0) {
            continue;  // an empty mask claims nothing
        }
        const auto xBegin =
            std::lower_bound(cellColumn.begin(), cellColumn.end(), cellLeft) - cellColumn.begin();
        const auto xEnd =
            std::upper_bound(cellColumn.begin(), cellColumn.end(), cellRight) - cellColumn.begin();
        const auto yBegin = std::lower_bound(cellRow.begin(), cellRow.end(), cellTop) - cellRow.begin();
        const auto yEnd = std::upper_bound(cellRow.begin(), cellRow.end(), cellBottom) - cellRow.begin();

        std::int64_t claimed = 0;                                     // |A|
        std::int64_t claimedCovered = 0;                              // |A'|
        std::vector<std::pair<std::int64_t, std::int64_t>> overlaps;  // o(B) by set root; few per observation
        std::int32_t lastLabel = 0;
        size_t lastOverlap = 0;
        for (std::int64_t y = yBegin; y < yEnd; ++y) {
            if ((y - yBegin) % 32 == 0) {
                d->budget.check();
            }
            const std::uint8_t* maskRow = mask + cellRow[static_cast<size_t>(y)] * result.maskWidth;
            for (std::int64_t x = xBegin; x < xEnd; ++x) {
                const size_t i = static_cast<size_t>(y * width + x);
                if (validity[i] == 0 || maskRow[cellColumn[static_cast<size_t>(x)]] == 0) {
                    continue;
                }
                ++claimed;
                if (coverage[i] != SamGis::Unprocessed) {
                    ++claimedCovered;
                    const std::int32_t earlier = earlierLabels[i];
                    if (earlier > 0) {
                        if (earlier != lastLabel) {
                            const std::int64_t root = d->sets.find(earlier);
                            lastOverlap = static_cast<size_t>(
                                std::find_if(overlaps.begin(), overlaps.end(),
                                             [root](const auto& entry) { return entry.first == root; }) -
                                overlaps.begin());
                            if (lastOverlap == overlaps.size()) {
                                overlaps.emplace_back(root, 0);
                            }
                            lastLabel = earlier;
                        }
                        ++overlaps[lastOverlap].second;
                    }
                }
                const std::int32_t owner = labels[i];
                if (owner == 0 ||
                    instance.score > scores[i]) {  // on equal scores the first observation keeps it
                    if (owner != 0) {
                        d->sets.addPixels(owner, -1);
                    }
                    labels[i] = static_cast<std::int32_t>(id);
                    scores[i] = instance.score;
                    d->sets.addPixels(id, 1);
                }
            }
        }
        for (const auto& [root, overlap] : overlaps) {
            if (overlap < d->options.minimumMergePixels) {
                continue;
            }
            std::int64_t coveredOfB = 0;  // |B'|
            for (const auto& [observation, count] : coveredByObservation) {
                coveredOfB += d->sets.find(observation) == d->sets.find(root) ? count : 0;
            }
            const auto o = static_cast<double>(overlap);
            const double whole = o / (std::max(static_cast<double>(d->sets.setPixels(root)), o) +
                                      static_cast<double>(claimed) - o);
            const double denominator = static_cast<double>(coveredOfB + claimedCovered) - o;
            const double covered = denominator > 0.0 ? o / denominator : 0.0;
            if (std::max(whole, covered) >= d->options.mergeIou && d->sets.unite(id, root)) {
                ++d->merges;
            }
        }
    }
    for (size_t i = 0; i < pixels; ++i) {
        coverage[i] = validity[i] ? SamGis::ProcessedValid : SamGis::ProcessedInvalid;
    }
    windowIo(d->labels.get(), GF_Write, local, labels.data(), GDT_Int32);
    windowIo(d->scores.get(), GF_Write, local, scores.data(), GDT_Float64);
    windowIo(d->coverage.get(), GF_Write, local, coverage.data(), GDT_Byte);
    // Tiles come row by row: the rows above this one are done and go to disk, so the cache holds about two
    // tile rows whatever the output size.
    const GDALDatasetH work[] = {d->labels.get(), d->scores.get(), d->coverage.get()};
    for (size_t k = 0; k < 3; ++k) {
        Gdal::releaseBlockRowsAbove(work[k], local.y, d->releasedRows[k], true);
    }
    ++d->tiles;
    d->skippedTiles += result.skipped ? 1 : 0;
    d->budget.check();
    d->checkStagingBudget();
    d->writable = true;
}

}  // namespace Tarnivale::AI
