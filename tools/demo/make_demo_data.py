"""Writes the demo's inputs: a synthetic nine-band Sentinel-2-like scene, its validity mask, and a land-cover
model package source (model + manifest).

The scene is made up (a lake, forest, fields, a town, bare ground, a snowy ridge, a cloud), not real imagery.
The model is a DEMONSTRATION model: spectral-index rules written as an ONNX graph. It scores the nine Dynamic
World classes from NDVI, NDWI, brightness and a short-wave infrared ratio; it is not the Dynamic World network
and its answers only mean something on scenes like this one.

Run with Debian's interpreter (python3-onnx, python3-numpy, python3-gdal):
    /usr/bin/python3 make_demo_data.py OUTPUT_DIR [SIZE]
"""

import json
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper
from osgeo import gdal, osr

BANDS = ["B2", "B3", "B4", "B5", "B6", "B7", "B8", "B11", "B12"]
CLASSES = ["water", "trees", "grass", "flooded_vegetation", "crops", "shrub_and_scrub", "built", "bare",
           "snow_and_ice"]

# Typical surface reflectance (x 10000) per class, band order as above.
SPECTRA = {
    "water": [600, 500, 350, 300, 250, 230, 200, 120, 90],
    "trees": [250, 450, 300, 800, 2200, 2700, 3000, 1500, 700],
    "grass": [400, 700, 550, 1100, 2300, 2700, 2900, 2200, 1300],
    "flooded_vegetation": [400, 600, 450, 800, 1500, 1700, 1800, 900, 500],
    "crops": [350, 650, 400, 1200, 2900, 3500, 3800, 2000, 1100],
    "shrub_and_scrub": [600, 850, 900, 1300, 1800, 2000, 2200, 2600, 1900],
    "built": [1200, 1300, 1400, 1500, 1600, 1650, 1700, 2000, 1800],
    "bare": [1300, 1600, 2000, 2300, 2500, 2600, 2700, 3300, 2900],
    "snow_and_ice": [8000, 7800, 7600, 7400, 7200, 7000, 6800, 600, 400],
}


def class_map(size):
    y, x = np.mgrid[0:size, 0:size] / size
    classes = np.full((size, size), CLASSES.index("grass"), dtype=np.int32)
    fields = ((x * 8).astype(int) + (y * 6).astype(int) * 3) % 4
    classes[(y > 0.45) & (x < 0.6) & (fields < 2)] = CLASSES.index("crops")
    classes[(y > 0.45) & (x < 0.6) & (fields == 2)] = CLASSES.index("bare")
    classes[((x - 0.75) ** 2 + (y - 0.3) ** 2) < 0.03] = CLASSES.index("trees")
    classes[(x < 0.35) & (y < 0.4) & (((x - 0.18) ** 2 / 0.02 + (y - 0.2) ** 2 / 0.015) < 1)] = CLASSES.index("water")
    edge = (((x - 0.18) ** 2 / 0.028 + (y - 0.2) ** 2 / 0.021) < 1) & (classes != CLASSES.index("water"))
    classes[edge & (y < 0.4)] = CLASSES.index("flooded_vegetation")
    classes[(x > 0.65) & (y > 0.6) & (x < 0.9) & (y < 0.85)] = CLASSES.index("built")
    classes[(x > 0.6) & (y > 0.88)] = CLASSES.index("shrub_and_scrub")
    classes[(y < 0.08) & (x > 0.5)] = CLASSES.index("snow_and_ice")
    return classes


def write_scene(path, mask_path, size):
    rng = np.random.default_rng(7)
    classes = class_map(size)
    spectra = np.array([SPECTRA[c] for c in CLASSES], dtype=np.float32)  # [9 classes, 9 bands]
    image = spectra[classes]  # [H, W, 9]
    image *= rng.normal(1.0, 0.015, size=image.shape).astype(np.float32)
    image = np.clip(image, 1, 10000).astype(np.uint16)

    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32633)
    transform = (500000.0, 10.0, 0.0, 5000000.0, 0.0, -10.0)
    driver = gdal.GetDriverByName("GTiff")
    options = ["TILED=YES", "BLOCKXSIZE=256", "BLOCKYSIZE=256", "COMPRESS=DEFLATE", "INTERLEAVE=BAND"]
    scene = driver.Create(path, size, size, len(BANDS), gdal.GDT_UInt16, options)
    scene.SetGeoTransform(transform)
    scene.SetProjection(srs.ExportToWkt())
    for b, name in enumerate(BANDS):
        band = scene.GetRasterBand(b + 1)
        band.WriteArray(image[:, :, b])
        band.SetDescription(name)
    scene = None

    y, x = np.mgrid[0:size, 0:size] / size
    valid = (((x - 0.45) ** 2 + (y - 0.7) ** 2) > 0.006).astype(np.uint8)  # a cloud, masked out
    mask = driver.Create(mask_path, size, size, 1, gdal.GDT_Byte, ["TILED=YES", "COMPRESS=DEFLATE"])
    mask.SetGeoTransform(transform)
    mask.SetProjection(srs.ExportToWkt())
    mask.GetRasterBand(1).WriteArray(valid)
    mask = None


def features(spectrum):
    """The rule features of one spectrum (reflectance / 10000), as the graph computes them."""
    b = np.asarray(spectrum, dtype=np.float64) / 10000.0
    blue, green, red, nir, swir1 = b[0], b[1], b[2], b[6], b[7]
    eps = 1e-3
    ndvi = (nir - red) / (nir + red + eps)
    ndwi = (green - nir) / (green + nir + eps)
    bright = (blue + green + red) / 3.0
    swir = (swir1 - nir) / (swir1 + nir + eps)
    return np.array([ndvi, ndwi, bright, swir])


def write_model(path):
    """scores = -sum_k w_k (f_k - p_ck)^2, expanded into a 1 x 1 convolution over [f, f^2] plus a bias."""
    prototypes = np.array([features(SPECTRA[c]) for c in CLASSES])  # [9, 4]
    weights = np.array([4.0, 4.0, 8.0, 4.0])
    linear = 2.0 * weights * prototypes  # coefficient of f_k
    quadratic = -np.tile(weights, (len(CLASSES), 1))  # coefficient of f_k^2
    bias = -(weights * prototypes ** 2).sum(axis=1)
    conv = np.concatenate([linear, quadratic], axis=1).astype(np.float32).reshape(9, 8, 1, 1)

    def band(i):
        return helper.make_node("Slice", ["image", f"s{i}", f"e{i}", "axis1"], [f"b{i}"])

    inits = [numpy_helper.from_array(conv, "w"), numpy_helper.from_array(bias.astype(np.float32), "bias"),
             numpy_helper.from_array(np.array([1], dtype=np.int64), "axis1"),
             numpy_helper.from_array(np.array([1e-3], dtype=np.float32), "eps"),
             numpy_helper.from_array(np.array([3.0], dtype=np.float32), "three")]
    nodes = []
    for i in (0, 1, 2, 6, 7):
        inits += [numpy_helper.from_array(np.array([i], dtype=np.int64), f"s{i}"),
                  numpy_helper.from_array(np.array([i + 1], dtype=np.int64), f"e{i}")]
        nodes.append(band(i))

    def index(a, b, name):
        nodes.extend([helper.make_node("Sub", [a, b], [name + "_num"]),
                      helper.make_node("Add", [a, b], [name + "_sum"]),
                      helper.make_node("Add", [name + "_sum", "eps"], [name + "_den"]),
                      helper.make_node("Div", [name + "_num", name + "_den"], [name])])

    index("b6", "b2", "ndvi")
    index("b1", "b6", "ndwi")
    index("b7", "b6", "swir")
    nodes.extend([helper.make_node("Add", ["b0", "b1"], ["bg"]), helper.make_node("Add", ["bg", "b2"], ["bgr"]),
                  helper.make_node("Div", ["bgr", "three"], ["bright"]),
                  helper.make_node("Concat", ["ndvi", "ndwi", "bright", "swir"], ["f"], axis=1),
                  helper.make_node("Mul", ["f", "f"], ["f2"]),
                  helper.make_node("Concat", ["f", "f2"], ["features"], axis=1),
                  helper.make_node("Conv", ["features", "w", "bias"], ["scores"])])
    graph = helper.make_graph(
        nodes, "demo_land_cover",
        [helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 9, "H", "W"])],
        [helper.make_tensor_value_info("scores", TensorProto.FLOAT, [1, 9, "H", "W"])], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, path)


def write_manifest(path):
    manifest = {
        "schemaVersion": "1.0",
        "id": "google-dynamicworld",
        "version": "demo-1",
        "task": "semantic_segmentation",
        "description": "DEMONSTRATION model: spectral-index rules (NDVI, NDWI, brightness, SWIR) as an ONNX "
                       "graph, scoring the nine Dynamic World classes. Not the Dynamic World network.",
        "modelPath": "demo_land_cover.onnx",
        "inputs": [{"name": "image", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
        "outputs": [{"name": "scores", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
        "inputAdapters": [{"tensor": "image", "source": "raster", "bands": list(range(1, 10))}],
        "outputDecoders": [{"id": "classes", "tensor": "scores", "activation": "softmax", "channelAxis": 1}],
        "normalization": {"scale": 0.0001},
        "tiling": {"width": 256, "height": 256, "overlapX": 16, "overlapY": 16},
        "labels": CLASSES,
        "provenance": {"repository": "tarnivale-ai demo", "license": "CC0-1.0",
                       "attribution": "generated by tools/demo/make_demo_data.py"},
    }
    with open(path, "w") as f:
        json.dump(manifest, f, indent=2)


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: make_demo_data.py OUTPUT_DIR [SIZE]")
    out = sys.argv[1]
    size = int(sys.argv[2]) if len(sys.argv) == 3 else 1024
    os.makedirs(out, exist_ok=True)
    write_scene(os.path.join(out, "scene.tif"), os.path.join(out, "validity.tif"), size)
    write_model(os.path.join(out, "demo_land_cover.onnx"))
    write_manifest(os.path.join(out, "manifest.json"))


if __name__ == "__main__":
    main()
