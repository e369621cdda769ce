#pragma once

// The staging state of AiSamGisWriter: the hidden directory beside the destination, the three work rasters
// (observation labels, their scores, coverage with source validity), the observation union-find and the
// running totals. Construction and consumption live in sam3_gis_writer.cpp, publication in
// sam3_gis_finish.cpp.

#include <tarnivale/ai/sam3.h>

#include "runtime/gdal_handles.h"
#include "sam3/sam_raster.h"

#include <QTemporaryDir>

#include <array>
#include <memory>
#include <vector>

namespace Tarnivale::AI {

namespace SamGis {

/// Coverage bytes: a pixel never processed, processed but invalid in the source, processed and valid.
inline constexpr std::uint8_t Unprocessed = 0;
inline constexpr std::uint8_t ProcessedInvalid = 1;
inline constexpr std::uint8_t ProcessedValid = 2;

/// Export buffer bytes one tile pixel may need (labels, scores, coverage, their snapshots and the claims).
inline constexpr std::int64_t TileBytesPerPixel = 28;

/// A seam for kill tests: when set, `finish` calls it with the number of each step (1 raster, 2 GeoPackage,
/// 3 manifest, 4 publication, 5 published) right before the step runs.
extern void (*finishStepHook)(int step);

/// Observations merged into instances: parent links, pixels currently owned, best score.
class ObservationSets {
public:
    std::int64_t add(double score);
    std::int64_t find(std::int64_t observation);
    /// Unites two sets under the smaller root id; false when they already are one.
    bool unite(std::int64_t a, std::int64_t b);
    void addPixels(std::int64_t observation, std::int64_t delta) { m_setPixels[find(observation)] += delta; }
    std::int64_t setPixels(std::int64_t observation) { return m_setPixels[find(observation)]; }
    double setScore(std::int64_t observation) { return m_bestScore[find(observation)]; }
    std::int64_t count() const { return static_cast<std::int64_t>(m_parent.size()) - 1; }

private:
    std::vector<std::int64_t> m_parent{0};  // observation ids start at 1
    std::vector<std::int64_t> m_setPixels{0};
    std::vector<double> m_bestScore{0.0};
};

}  // namespace SamGis

struct AiSamGisWriter::Impl {
    explicit Impl(const AiSamGisOptions& gisOptions)
        : options(gisOptions), budget(gisOptions.execution, gisOptions.cancellationRequested) {}

    void checkStagingBudget() const;
    /// Throws the runtime error `message` unless GDAL's call succeeded.
    static void check(bool succeeded, const char* message);

    AiSamGisOptions options;
    SamRaster::Budget budget;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    QString sourcePath;
    QString destination;
    std::unique_ptr<QTemporaryDir> staging;
    AiSamPixelWindow area;  // output area in source pixels
    std::array<double, 6> sourceTransform{};
    std::array<double, 6> outputTransform{};
    Gdal::SpatialReference sourceCrs;
    QString sourceWkt;
    Gdal::Dataset labels;  // declared after the staging directory: closed before it is removed
    Gdal::Dataset scores;
    Gdal::Dataset coverage;
    std::vector<int> releasedRows[3];  // block rows of labels, scores, coverage written out and dropped
    SamGis::ObservationSets sets;
    std::int64_t merges = 0;
    std::int64_t tiles = 0;
    std::int64_t skippedTiles = 0;
    bool writable = true;
    bool finished = false;
};

}  // namespace Tarnivale::AI
