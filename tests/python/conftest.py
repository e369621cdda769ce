"""Fixtures of the Python package's tests: the library, models and command line from the environment (the
CTest registration passes them), GeoTIFFs written with GDAL, packages made with `tarnivale-ai package create`."""

import json
import os
import subprocess

import numpy as np
import pytest
from osgeo import gdal, osr

import tarnivale_ai

MODELS = os.environ["TARNIVALE_TEST_MODEL_DIR"]
CLI = os.environ["TARNIVALE_AI_CLI"]
DYNAMIC_WORLD_LABELS = ["water", "trees", "grass", "flooded_vegetation", "crops", "shrub_and_scrub", "built",
                        "bare", "snow_and_ice"]

gdal.UseExceptions()


def pytest_configure():
    tarnivale_ai.load_library(os.environ["TARNIVALE_AI_LIBRARY"])


def write_raster(path, bands, data_type=gdal.GDT_Float32):
    """A GeoTIFF in UTM 33N with 10 m pixels from a (bands, height, width) array."""
    count, height, width = bands.shape
    dataset = gdal.GetDriverByName("GTiff").Create(str(path), width, height, count, data_type,
                                                   ["TILED=YES", "COMPRESS=DEFLATE"])
    dataset.SetGeoTransform((500000, 10, 0, 4100000, 0, -10))
    crs = osr.SpatialReference()
    crs.ImportFromEPSG(32633)
    dataset.SetProjection(crs.ExportToWkt())
    for index, band in enumerate(bands, start=1):
        dataset.GetRasterBand(index).WriteArray(band)
    dataset = None
    return str(path)


def make_package(directory, manifest, model):
    """A package of a generated model, the manifest's model name and digest filled in by the command line."""
    manifest_path = directory.parent / (directory.name + ".json")
    manifest_path.write_text(json.dumps({"schemaVersion": "1.0", "modelPath": "x", **manifest}))
    subprocess.run([CLI, "package", "create", "--manifest", str(manifest_path), "--model",
                    os.path.join(MODELS, model), "--output", str(directory)], check=True, capture_output=True)
    return str(directory)


def classes_of(width, height):
    """The class of each pixel of the Dynamic World scenes: stripes 16 pixels wide shifted every 32 rows."""
    return (np.arange(width)[None, :] // 16 + np.arange(height)[:, None] // 32) % 9


def dynamic_world_scene(directory, name, width, height):
    """Nine Float32 bands, band c + 1 holding 1 where the class is c, and an all-valid Byte mask."""
    classes = classes_of(width, height)
    bands = np.stack([(classes == band).astype(np.float32) for band in range(9)])
    return (write_raster(directory / f"{name}.tif", bands),
            write_raster(directory / f"{name}-mask.tif", np.ones((1, height, width), np.uint8), gdal.GDT_Byte))


def dynamic_world_package(directory, model="dynamic_world.onnx"):
    return make_package(directory, {
        "id": "google-dynamicworld", "version": "1", "task": "semantic_segmentation", "labels": DYNAMIC_WORLD_LABELS,
        "inputs": [{"name": "image", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
        "outputs": [{"name": "scores", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
        "inputAdapters": [{"tensor": "image", "bands": list(range(1, 10))}],
        "outputDecoders": [{"id": "classes", "tensor": "scores", "activation": "softmax"}],
        "tiling": {"width": 64, "height": 64, "overlapX": 8, "overlapY": 8}}, model)


@pytest.fixture(scope="session")
def files(tmp_path_factory):
    """A session directory holding the Dynamic World package and a small scene with its mask."""
    directory = tmp_path_factory.mktemp("fixtures")
    package = dynamic_world_package(directory / "dynamic-world")
    raster, mask = dynamic_world_scene(directory, "scene", 160, 96)
    return {"directory": directory, "package": package, "raster": raster, "mask": mask}


@pytest.fixture
def task_request(files):
    return {"task": "dynamic-world", "modelPackagePath": files["package"], "rasterPath": files["raster"],
            "validityMaskPath": files["mask"], "intraOpThreads": 1}
