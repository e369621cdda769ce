#pragma once

// The generated square detector (tests/fixtures/make_models.py, detection_squares*.onnx) as a manifest, and
// scenes of coloured squares for it: shared by the detection and interop tests.

#include <tarnivale/ai/models.h>

#include "support/raster_fixture.h"
#include "support/test_paths.h"

#include <vector>

namespace Tarnivale::AI::Testing {

/// A coloured rectangle of the scene: class 0 red, class 1 green.
struct Square {
    int x, y, width, height, classId;
};

/// A three-band Byte scene on a dark grey ground (51 = 0.2 after scaling by 1/255).
inline void writeScene(const QString& path, int width, int height, const std::vector<Square>& squares,
                       bool georeferenced = true) {
    TestRasterSpec spec;
    spec.width = width;
    spec.height = height;
    spec.bands = 3;
    spec.dataType = GDT_Byte;
    if (!georeferenced) {
        spec.geoTransform.reset();
    }
    spec.value = [squares](int band, int x, int y) {
        for (const Square& s : squares) {
            if (x >= s.x && x < s.x + s.width && y >= s.y && y < s.y + s.height) {
                return band == s.classId + 1 ? 255.0 : 51.0;
            }
        }
        return 51.0;
    };
    writeTestRaster(path, spec);
}

/// The square detector as a package: candidates per 8-pixel cell, score = covered fraction of the cell.
inline AiModelManifest squaresManifest(bool nhwc = false) {
    AiModelManifest m;
    m.id = "squares";
    m.version = "1";
    m.task = AiTaskKind::ObjectDetection;
    m.modelPath = testModelPath(nhwc ? "detection_squares_nhwc.onnx" : "detection_squares.onnx");
    m.labels = {"red", "green"};
    m.inputs = {{"image", AiTensorDataType::Float32, nhwc ? AiTensorLayout::NHWC : AiTensorLayout::NCHW,
                 nhwc ? QList<std::int64_t>{1, 64, 64, 3} : QList<std::int64_t>{1, 3, 64, 64}}};
    m.outputs = {{"boxes", AiTensorDataType::Float32, AiTensorLayout::Unknown, {1, 64, 4}},
                 {"scores", AiTensorDataType::Float32, AiTensorLayout::Unknown, {1, 64}},
                 {"classes", AiTensorDataType::Float32, AiTensorLayout::Unknown, {1, 64}}};
    AiInputAdapterSpec adapter;
    adapter.tensor = "image";
    adapter.bands = {1, 2, 3};
    m.inputAdapters = {adapter};
    AiVariantMap boxOptions{{"role", "boxes"}};
    if (nhwc) {
        boxOptions.insert("boxFormat", "cxcywh");
        boxOptions.insert("normalizedCoordinates", true);
    }
    m.outputDecoders = {{"b", "boxes", "none", 1, 0.5, boxOptions},
                        {"s", "scores", "none", 1, 0.2, {{"role", "scores"}}},
                        {"c", "classes", "none", 1, 0.5, {{"role", "classes"}}}};
    m.normalization.scale = 1.0 / 255.0;
    return m;
}

}  // namespace Tarnivale::AI::Testing
