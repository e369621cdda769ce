// The label-raster polygon writer: which labels become polygons, their fields and areas in the GeoPackage
// read back with OGR, and its failures.

#include "raster/label_polygons.h"
#include "runtime/gdal_handles.h"
#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <map>
#include <stdexcept>
#include <vector>

using namespace Tarnivale::AI;
using Tarnivale::AI::Testing::errorOf;

namespace {

// 6 x 4 pixels of 10 m: two separate regions of 5, one of 3, background 0 and a masked -1 column.
const std::vector<std::int32_t> Labels = {
    5, 5, 0, 3, 3, -1,  //
    5, 5, 0, 3, 3, -1,  //
    0, 0, 0, 0, 0, -1,  //
    5, 0, 0, 0, 0, -1,  //
};

QString utm33() {
    const Gdal::SpatialReference crs(OSRNewSpatialReference(nullptr));
    OSRImportFromEPSG(crs.get(), 32633);
    char* wkt = nullptr;
    OSRExportToWkt(crs.get(), &wkt);
    const Gdal::CplString owned(wkt);
    return QString::fromUtf8(wkt);
}

LabelRaster raster() {
    return LabelRaster{Labels.data(), 6, 4, {500000.0, 10.0, 0.0, 4100000.0, 0.0, -10.0}, utm33()};
}

struct Layer {
    qint64 features = 0;
    std::map<std::int64_t, double> areaByLabel;
    std::map<std::int64_t, int> countByLabel;
    QStringList classNames;
    OGRFieldType labelType = OFTString;
};

Layer readLayer(const QString& path, const char* layerName, const char* field) {
    const Gdal::Dataset dataset = Gdal::open(path, GDAL_OF_VECTOR | GDAL_OF_READONLY);
    OGRLayerH layer = GDALDatasetGetLayerByName(dataset.get(), layerName);
    Layer read;
    OGRFeatureDefnH definition = OGR_L_GetLayerDefn(layer);
    const int labelIndex = OGR_FD_GetFieldIndex(definition, field);
    const int nameIndex = OGR_FD_GetFieldIndex(definition, "class_name");
    read.labelType = OGR_Fld_GetType(OGR_FD_GetFieldDefn(definition, labelIndex));
    for (Gdal::Feature feature(OGR_L_GetNextFeature(layer)); feature;
         feature.reset(OGR_L_GetNextFeature(layer))) {
        ++read.features;
        const std::int64_t label = OGR_F_GetFieldAsInteger64(feature.get(), labelIndex);
        read.areaByLabel[label] += OGR_G_Area(OGR_F_GetGeometryRef(feature.get()));
        ++read.countByLabel[label];
        if (nameIndex >= 0) {
            read.classNames.append(QString::fromUtf8(OGR_F_GetFieldAsString(feature.get(), nameIndex)));
        }
    }
    return read;
}

}  // namespace

TEST(LabelPolygons, SelectionFieldsAndAreas) {
    struct Row {
        LabelSelection selection;
        std::int32_t selected;
        QString className;
        bool wide;
        std::map<std::int64_t, int> polygons;  // label -> polygon count
    };
    // Areas in m²: 5 covers 5 pixels, 3 covers 4, 0 covers 11, each 100 m².
    const std::map<std::int64_t, double> areas{{5, 500.0}, {3, 400.0}, {0, 1100.0}};
    const std::vector<Row> rows = {
        {LabelSelection::EveryPositive, 0, {}, true, {{5, 2}, {3, 1}}},
        {LabelSelection::EveryClass, 0, {}, false, {{5, 2}, {3, 1}, {0, 1}}},
        {LabelSelection::One, 5, QStringLiteral("Water / flood"), false, {{5, 2}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.selection));
        QTemporaryDir directory;
        LabelPolygonTarget target;
        target.path = directory.filePath(QStringLiteral("out.gpkg"));
        target.layerName = QStringLiteral("predictions");
        target.fieldName = QStringLiteral("instance_id");
        target.wideField = row.wide;
        target.selection = row.selection;
        target.selectedLabel = row.selected;
        target.className = row.className;
        bool stageReported = false;
        target.beforePolygonizing = [&] { stageReported = true; };
        const qint64 features = writeLabelPolygons(raster(), target, [] {});

        const Layer layer = readLayer(target.path, "predictions", "instance_id");
        EXPECT_TRUE(stageReported);
        EXPECT_EQ(features, layer.features);
        EXPECT_EQ(layer.countByLabel, row.polygons);
        for (const auto& [label, count] : row.polygons) {
            EXPECT_DOUBLE_EQ(layer.areaByLabel.at(label), areas.at(label)) << label;
        }
        EXPECT_EQ(layer.labelType, row.wide ? OFTInteger64 : OFTInteger);
        EXPECT_EQ(layer.classNames,
                  row.className.isEmpty() ? QStringList() : QStringList(features, row.className));
    }
}

TEST(LabelPolygons, FailuresUseTheCallersMessagesAndNothingEscapesGdal) {
    QTemporaryDir directory;
    const auto write = [&](LabelRaster labels, LabelPolygonTarget target, const Checkpoint& checkpoint) {
        target.path = directory.filePath(target.path);
        target.layerName = QStringLiteral("l");
        target.fieldName = QStringLiteral("id");
        return errorOf<std::exception>([&] { writeLabelPolygons(labels, target, checkpoint); });
    };
    LabelPolygonTarget target;
    target.messages.crs = QStringLiteral("No CRS here.");
    target.messages.budget = QStringLiteral("Too many.");
    target.messages.output = QStringLiteral("No output.");

    LabelRaster noCrs = raster();
    noCrs.projectionWkt.clear();
    target.path = QStringLiteral("a.gpkg");
    EXPECT_EQ(write(noCrs, target, [] {}), "No CRS here.");

    target.path = QStringLiteral("missing/b.gpkg");
    EXPECT_EQ(write(raster(), target, [] {}), "No output.");

    LabelPolygonTarget limited = target;
    limited.path = QStringLiteral("c.gpkg");
    limited.maximumFeatures = 2;  // three regions of positive labels
    EXPECT_EQ(write(raster(), limited, [] {}), "Too many.");
    limited.maximumFeatures = 3;
    limited.path = QStringLiteral("d.gpkg");
    EXPECT_EQ(write(raster(), limited, [] {}), "no error");

    // A checkpoint that stops the work while rows are copied and while GDAL polygonises: its own exception
    // comes back, not a GDAL failure.
    for (int stopAt : {2, 6}) {
        int calls = 0;
        target.path = QStringLiteral("stop-%1.gpkg").arg(stopAt);
        EXPECT_EQ(write(raster(), target,
                        [&] {
                            if (++calls == stopAt) {
                                throw std::runtime_error("AI task cancelled.");
                            }
                        }),
                  "AI task cancelled.")
            << stopAt;
    }
}
